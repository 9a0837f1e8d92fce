#include "platform/Event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Threads that each wait once on an event and count themselves released.
struct Waiters {
  Waiters(CEvent& event, int count) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, &event] {
        const bool signalled = event.Wait();
        std::lock_guard<std::mutex> lock(mutex);
        released += signalled;
        changed.notify_all();
      });
    }
  }
  ~Waiters() {
    for (auto& t : threads) t.join();
  }
  // Whether at least `count` are released within `timeout`; 10 s only bounds a hung test.
  bool Released(int count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return released >= count; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  int released = 0;
  std::vector<std::thread> threads;
};

}  // namespace

TEST(Event, ManualResetReleasesAllWaitersAndStaysSignalled) {
  CEvent event(false, true);
  {
    Waiters waiters(event, 4);
    event.SetEvent();
    EXPECT_TRUE(waiters.Released(4));
  }
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.IsSignalled());
  event.ResetEvent();
  EXPECT_FALSE(event.Wait(20));
}

TEST(Event, AutoResetReleasesExactlyOneWaiterPerSetAndTimedWaitsEnd) {
  CEvent event;
  Waiters waiters(event, 4);
  for (int set = 1; set <= 4; ++set) {
    event.SetEvent();
    ASSERT_TRUE(waiters.Released(set));
    EXPECT_FALSE(waiters.Released(set + 1, 30ms)) << "a second waiter got through on one signal";
  }
  EXPECT_FALSE(event.IsSignalled());

  // Timed waits; looking does not consume an auto-reset signal, a wait does.
  CEvent timed;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(timed.Wait(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  CEvent initiallySet(true);
  EXPECT_TRUE(initiallySet.IsSignalled());  // looking does not consume it
  EXPECT_TRUE(initiallySet.Wait(0));
  EXPECT_FALSE(initiallySet.Wait(0));

  std::thread setter([&] { timed.SetEvent(); });  // ends a long timed wait early
  EXPECT_TRUE(timed.Wait(10000));
  setter.join();
}
