#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/Event.h"
#include "platform/SystemError.h"

using platform::Thread;

TEST(Thread, RefusedStartIsReportedAndARunningThreadIsPolledThenJoined) {
  const int liveBefore = Thread::LiveCount();
  CEvent gate(false, true);
  bool done = false;
  {
    Thread thread;
    Thread::FailNextStarts(1);
    EXPECT_FALSE(thread.Start([&] { done = true; }));  // reported, not thrown
    EXPECT_EQ(platform::LastError(), EAGAIN);
    ASSERT_TRUE(thread.Start([&] {  // the failure was one-off
      gate.Wait();
      done = true;
    }));
    EXPECT_EQ(Thread::LiveCount(), liveBefore + 1);
    EXPECT_FALSE(thread.HasEnded());
    EXPECT_FALSE(thread.Start([] {})) << "one thread per object";
    gate.SetEvent();
  }
  EXPECT_TRUE(done);  // a detached thread would race here (reported under TSan)
  EXPECT_EQ(Thread::LiveCount(), liveBefore);
}

TEST(Thread, BelowNormalPriorityRaisesTheNiceValue) {
  EXPECT_EQ(platform::NiceForPriority(platform::kThreadPriorityLowest, 0), 10);
  EXPECT_EQ(platform::NiceForPriority(platform::kThreadPriorityBelowNormal, 17), 19);
  // Lowering one's own priority needs no privilege, so it must take effect.
  const int processNice = platform::CurrentThreadNice();  // tests run on the main thread
  int seen = processNice;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { seen = platform::CurrentThreadNice(); }, platform::kThreadPriorityBelowNormal));
  thread.Join();
  EXPECT_TRUE(thread.HasEnded());
  EXPECT_EQ(seen, platform::NiceForPriority(platform::kThreadPriorityBelowNormal, processNice));
}
