// The request spacing: back-offs, waiters overtaken by a back-off, stops, and
// the slot shared between processes through a file that a hostile local user
// must not be able to turn against the tagger.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../../../plugins/common/RateLimiter.h"
#include "support/ScratchFolder.h"

namespace {

using Result = RateLimiter::Result;
constexpr std::int64_t kStart = 1'700'000'000'000;

// Time that passes only when a limiter waits; `onSleep` runs once, at the
// next wait, before the time moves on (as another thread would meanwhile).
struct StepClock {
  std::atomic<std::int64_t> now{kStart};
  std::mutex mutex;
  std::vector<std::int64_t> sleeps;
  std::function<void()> onSleep;
  PluginClock clock{this, &Now, &SleepUntil};

  static std::int64_t Now(void* self) { return static_cast<StepClock*>(self)->now.load(); }
  static void SleepUntil(void* context, std::int64_t when) {
    auto* self = static_cast<StepClock*>(context);
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->sleeps.push_back(when - kStart);
      hook.swap(self->onSleep);
    }
    if (hook) hook();
    if (self->now < when) self->now = when;
  }
  std::int64_t LastSleep() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps.empty() ? -1 : sleeps.back();
  }
};

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

struct BackOffCase {
  const char* what;
  std::vector<std::int64_t> backOffsMs;
  std::int64_t laterMs;  // time passing before the request
  Result result;
  std::int64_t slotMs;  // of the request, from the start (when it goes)
};

TEST(RateLimiter, BackOffsDecideWhenTheNextRequestGoes) {
  const BackOffCase cases[] = {
      {"no back-off", {}, 0, Result::kGo, 0},
      {"a back-off is waited for", {5000}, 0, Result::kGo, 5000},
      {"the longest wait honoured", {60000}, 0, Result::kGo, 60000},
      {"a longer one gives the request up", {60001}, 0, Result::kBlocked, -1},
      {"a short one after a long one keeps the long one", {3'600'000, 2000}, 5000, Result::kBlocked, -1},
      {"a long one ends at its time", {3'600'000, 2000}, 3'600'000, Result::kGo, 3'600'000},
      {"a longer one after a short one moves it", {2000, 30000}, 0, Result::kGo, 30000},
      {"a back-off that has passed", {2000}, 10000, Result::kGo, 10000},
  };
  for (const auto& c : cases) {
    StepClock clock;
    RateLimiter limiter(1000, 60000);
    limiter.SetClock(&clock.clock);
    for (const std::int64_t ms : c.backOffsMs) limiter.BackOff(ms);
    clock.now += c.laterMs;
    EXPECT_EQ(limiter.Acquire(), c.result) << c.what;
    EXPECT_EQ(clock.LastSleep(), c.slotMs) << c.what;
  }
}

TEST(RateLimiter, AWaiterOvertakenByABackOffTakesASlotAfterIt) {
  StepClock clock;
  RateLimiter limiter(1000, 60000);
  limiter.SetClock(&clock.clock);
  ASSERT_EQ(limiter.Acquire(), Result::kGo);
  // While the second waits for its slot (1 s), another request meets a 503.
  clock.onSleep = [&] { limiter.BackOff(5000); };
  ASSERT_EQ(limiter.Acquire(), Result::kGo);
  ASSERT_EQ(limiter.Acquire(), Result::kGo);
  std::lock_guard<std::mutex> lock(clock.mutex);
  EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{0, 1000, 5000, 6000}));
}

TEST(RateLimiter, AStopEndsTheWait) {
  RateLimiter limiter(1000, 60000);  // the real clock
  limiter.BackOff(30000);
  int asked = 0;
  // Not stopped when the wait begins; stopped at the first look during it.
  EXPECT_EQ(limiter.Acquire([&asked] { return ++asked > 1; }), Result::kStopped);
  EXPECT_EQ(asked, 2);
}

TEST(RateLimiter, ProcessesSharingAFolderShareTheSlot) {
  testing_support::ScratchFolder folder;
  StepClock clock;
  RateLimiter first(1000, 60000), second(1000, 60000);
  for (RateLimiter* limiter : {&first, &second}) {
    limiter->SetClock(&clock.clock);
    ASSERT_TRUE(limiter->ShareThrough(Narrow(folder.path())));
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(first.Acquire(), Result::kGo);
    ASSERT_EQ(second.Acquire(), Result::kGo);
  }
  // A back-off one process met holds the other back too.
  first.BackOff(3'600'000);
  EXPECT_EQ(second.Acquire(), Result::kBlocked);
  std::lock_guard<std::mutex> lock(clock.mutex);
  EXPECT_EQ(clock.sleeps, (std::vector<std::int64_t>{0, 1000, 2000, 3000, 4000, 5000}));
  struct stat status {};
  ASSERT_EQ(::stat((Narrow(folder.path()) + RateLimiter::kFileName).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

struct FolderCase {
  const char* what;
  // Prepares `folder` (ending without "/"); returns the folder to share through.
  std::function<std::string(const std::string& folder)> prepare;
  bool shared;
};

TEST(RateLimiter, TheSlotFileIsUsedOnlyWhenNoOneElseCanTouchIt) {
  const std::string file = std::string("/") + RateLimiter::kFileName;
  const FolderCase cases[] = {
      {"a private folder", [](const std::string& f) { return f; }, true},
      {"a folder others may write",
       [](const std::string& f) {
         ::chmod(f.c_str(), 0777);
         return f;
       },
       false},
      {"a link to a folder",
       [](const std::string& f) {
         EXPECT_EQ(::symlink(f.c_str(), (f + "-link").c_str()), 0);
         return f + "-link";
       },
       false},
      {"the file is a link",
       [&file](const std::string& f) {
         EXPECT_EQ(::symlink((f + "-target").c_str(), (f + file).c_str()), 0);
         return f;
       },
       false},
      {"the file others may read",
       [&file](const std::string& f) {
         testing_support::WriteFileBytes(std::wstring(f.begin(), f.end()) + L"/request-slot", "");
         ::chmod((f + file).c_str(), 0644);
         return f;
       },
       false},
      {"the file is a pipe",
       [&file](const std::string& f) {
         EXPECT_EQ(::mkfifo((f + file).c_str(), 0600), 0);
         return f;
       },
       false},
      {"the file has a second name",
       [&file](const std::string& f) {
         testing_support::WriteFileBytes(std::wstring(f.begin(), f.end()) + L"/request-slot", "");
         ::chmod((f + file).c_str(), 0600);
         EXPECT_EQ(::link((f + file).c_str(), (f + "/other").c_str()), 0);
         return f;
       },
       false},
  };
  for (const auto& c : cases) {
    testing_support::ScratchFolder scratch;
    const std::string folder = Narrow(scratch.path()) + "slot";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    RateLimiter limiter(1000, 60000);
    EXPECT_EQ(limiter.ShareThrough(c.prepare(folder)), c.shared) << c.what;
    // Nothing was created through a link.
    EXPECT_NE(::access((folder + "-target").c_str(), F_OK), 0) << c.what;
    ::chmod(folder.c_str(), 0700);
  }
}

}  // namespace
