#include "platform/Env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "support/FakeEnv.h"

using namespace platform;

namespace {

std::int64_t SecondsOf(const SystemTime& t) {
  using namespace std::chrono;
  const sys_days d = year(t.year) / month(static_cast<unsigned>(t.month)) / day(static_cast<unsigned>(t.day));
  return d.time_since_epoch().count() * 86400LL + (t.hour * 60 + t.minute) * 60 + t.second;
}

}  // namespace

TEST(Env, DefaultClocksAgree) {
  Env* env = Env::Default();
  const std::int64_t before = env->UnixTime();
  const SystemTime utc = env->UtcTime(), local = env->LocalTime();
  EXPECT_GE(SecondsOf(utc), before);
  EXPECT_LE(SecondsOf(utc), env->UnixTime());
  EXPECT_EQ(utc.dayOfWeek, (SecondsOf(utc) / 86400 + 4) % 7);  // 1970-01-01 was a Thursday
  EXPECT_TRUE(utc.milliseconds >= 0 && utc.milliseconds <= 999);
  EXPECT_LE(std::abs(SecondsOf(local) - SecondsOf(utc)), 14 * 3600 + 1);  // at most a zone offset apart

  const std::uint32_t tick = env->TickCount();
  env->SleepMs(25);
  EXPECT_GE(static_cast<std::uint32_t>(env->TickCount() - tick), 25u);
}

TEST(Env, TempFolderFollowsTmpdirWithTrailingSlash) {
  const char* saved = std::getenv("TMPDIR");
  const std::string old = saved ? saved : "";
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"/var/scratch", L"/var/scratch/"}, {"/var/tmp-\xC3\xA4/", L"/var/tmp-\u00E4/"}, {"", L"/tmp/"}, {nullptr, L"/tmp/"}};
  for (const auto& [value, expected] : cases) {
    value ? setenv("TMPDIR", value, 1) : unsetenv("TMPDIR");
    EXPECT_EQ(Env::Default()->TempFolder(), expected);
  }
  saved ? setenv("TMPDIR", old.c_str(), 1) : unsetenv("TMPDIR");
}

TEST(Env, InstalledEnvironmentIsCurrentForItsScope) {
  ASSERT_EQ(Env::Current(), Env::Default());
  testing_support::FakeEnv outer, inner(2030);
  {
    ScopedEnv a(&outer);
    {
      ScopedEnv b(&inner);
      EXPECT_EQ(Env::Current()->LocalTime().year, 2030);
    }
    EXPECT_EQ(Env::Current(), &outer);
  }
  EXPECT_EQ(Env::Current(), Env::Default());
  EXPECT_EQ(Env::Install(&outer), Env::Default());
  EXPECT_EQ(Env::Install(nullptr), &outer);
  EXPECT_EQ(Env::Current(), Env::Default());
}
