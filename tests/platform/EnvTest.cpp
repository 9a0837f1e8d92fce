#include "platform/Env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cwctype>
#include <string>

#include "support/FakeEnv.h"
#include "support/ScopedEnvironment.h"

using namespace platform;

namespace {

std::int64_t SecondsOf(const SystemTime& t) {
  using namespace std::chrono;
  const sys_days d = year(t.year) / month(static_cast<unsigned>(t.month)) / day(static_cast<unsigned>(t.day));
  return d.time_since_epoch().count() * 86400LL + (t.hour * 60 + t.minute) * 60 + t.second;
}

}  // namespace

TEST(Env, DefaultClocksAgreeAndAnInstalledEnvironmentIsCurrentForItsScope) {
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

TEST(Env, TempFolderIsTmpdirOrOurOwnFolderUnderTmp) {
  const testing_support::ScopedEnvironment tmpdir("TMPDIR", "/var/scratch");  // restored even after a failure
  EXPECT_EQ(Env::Default()->TempFolder(), L"/var/scratch/");
  EXPECT_FALSE(Env::Default()->TempFolderIsPrivate());  // one the user chose is taken as is
  setenv("TMPDIR", "/var/tmp-\xE4/", 1);  // a Latin-1 name keeps its byte (escaped)
  EXPECT_EQ(Env::Default()->TempFolder(), L"/var/tmp-\xDCE4/");
  for (const bool set : {true, false}) {
    set ? setenv("TMPDIR", "", 1) : unsetenv("TMPDIR");
    // Never the shared /tmp/ itself: /tmp/nimbrel-<uid>/, ours to make and check.
    const std::wstring own = Env::Default()->TempFolder();
    ASSERT_EQ(own.rfind(L"/tmp/nimbrel-", 0), 0u) << testing::PrintToString(own);
    ASSERT_EQ(own.back(), L'/');
    for (std::size_t i = 13; i + 1 < own.size(); ++i) EXPECT_TRUE(std::iswdigit(own[i]));
    EXPECT_TRUE(Env::Default()->TempFolderIsPrivate());
  }
}

