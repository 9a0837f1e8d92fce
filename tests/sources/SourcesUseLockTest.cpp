#include "sources/SourcesUseLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nimbrel/NimbrelSettings.h"
#include "sources/DllSourcesManager.h"
#include "sources/SourcesInUse.h"
#include "support/ScratchFolder.h"

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

TEST(SourcesUseLock, HoldsAreCountedPerThreadAndPerLock) {
  CSourcesUseLock first, second;
  first.LockShared();
  EXPECT_TRUE(first.HeldSharedByThisThread());
  EXPECT_FALSE(second.HeldSharedByThisThread());
  bool heldElsewhere = true;
  std::thread other([&] { heldElsewhere = first.HeldSharedByThisThread(); });
  other.join();
  EXPECT_FALSE(heldElsewhere);
  // Holding another lock does not count as holding this one: the exclusive
  // side of `second` is free.
  second.LockExclusive();
  second.UnlockExclusive();
  first.UnlockShared();
}

TEST(SourcesUseLock, AnUpdateByAThreadThatUsesThePluginsDoesNotWaitForItself) {
  CSourcesUseLock lock;
  lock.LockShared();
  lock.LockExclusive();  // would never return if it waited for this thread's hold
  lock.UnlockExclusive();
  lock.UnlockShared();
  EXPECT_EQ(0u, lock.SharedHolds());
}

TEST(SourcesInUse, PreparingAnUpdateWaitsForTheUsersOfTheManager) {
  CDllSourcesManager manager;
  testing_support::ScratchFolder folder;
  NimbrelSettings settings;
  settings.WorkingDirectory = folder.path();
  std::atomic<bool> prepared{false};
  std::thread update;
  {
    SourcesInUse search(manager);
    {
      SourcesInUse nested(manager);  // the flow holding while cover retrieval holds again
      EXPECT_EQ(2u, manager.UseLock().SharedHolds());
    }
    update = std::thread([&] {
      manager.PrepareUpdate(settings);
      prepared = true;
    });
    while (manager.UseLock().ExclusiveWaiting() == 0 && !prepared) std::this_thread::yield();
    EXPECT_FALSE(prepared.load());
  }
  update.join();
  EXPECT_TRUE(prepared.load());
}

}  // namespace
