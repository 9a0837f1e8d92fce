#include "sources/SourcesUseLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void WaitForExclusiveRequest(const CSourcesUseLock& lock) {
  while (lock.ExclusiveWaiting() == 0) std::this_thread::yield();
}

TEST(SourcesUseLock, ExclusiveWaitsForEveryUserAndHoldsBackNewOnes) {
  CSourcesUseLock lock;
  lock.LockShared();
  std::atomic<bool> exclusiveHeld{false}, exclusiveDone{false};
  std::thread update([&] {
    lock.LockExclusive();
    exclusiveHeld = true;
    lock.UnlockExclusive();
    exclusiveDone = true;
  });
  WaitForExclusiveRequest(lock);
  EXPECT_FALSE(exclusiveHeld.load());

  // A newcomer queues behind the waiting update; it gets in only after it.
  std::atomic<bool> newcomerSawUpdate{false};
  std::thread newcomer([&] {
    lock.LockShared();
    newcomerSawUpdate = exclusiveHeld.load();
    lock.UnlockShared();
  });
  // Nested use on a thread that already holds the lock never blocks, even
  // with the update waiting (it would otherwise wait for itself).
  lock.LockShared();
  EXPECT_TRUE(lock.HeldSharedByThisThread());
  EXPECT_EQ(2u, lock.SharedHolds());
  lock.UnlockShared();
  EXPECT_FALSE(exclusiveHeld.load());
  lock.UnlockShared();
  EXPECT_FALSE(lock.HeldSharedByThisThread());
  update.join();
  newcomer.join();
  EXPECT_TRUE(exclusiveDone.load());
  EXPECT_TRUE(newcomerSawUpdate.load());
  EXPECT_EQ(0u, lock.SharedHolds());
}

TEST(SourcesUseLock, AnUpdateByAThreadThatUsesThePluginsDoesNotWaitForItself) {
  CSourcesUseLock lock;
  lock.LockShared();
  lock.LockExclusive();  // would never return if it waited for this thread's hold
  lock.UnlockExclusive();
  lock.UnlockShared();
  EXPECT_EQ(0u, lock.SharedHolds());
}

}  // namespace
