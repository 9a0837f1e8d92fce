// The shared/exclusive lock between the users of source plug-ins and the
// unloading that precedes a plug-in update.
//
// A thread that calls into a plug-in (or holds an interface pointer it got
// from the sources manager) holds the lock shared for the whole use; the
// update's unloading holds it exclusively, so it waits until every use has
// ended, and no use begins while it unloads. An exclusive request that is
// waiting holds back new shared holders, so a steady stream of searches
// cannot put off an update for ever; a thread that already holds the lock
// shared may take it shared again at any time (nested use never blocks).
//
// Never wait for the update-finished event while holding the lock shared:
// the update that would signal it first needs the exclusive lock.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

class CSourcesUseLock {
 public:
  CSourcesUseLock() = default;
  CSourcesUseLock(const CSourcesUseLock&) = delete;
  CSourcesUseLock& operator=(const CSourcesUseLock&) = delete;

  // Shared: waits while an exclusive holder or request exists, unless this
  // thread holds the lock shared already. Every LockShared is matched by
  // one UnlockShared on the same thread.
  void LockShared();
  void UnlockShared();
  // Exclusive: waits until no other thread holds the lock shared. A thread
  // that holds it shared itself does not wait for its own holds (it would
  // wait for ever); what it then uses after the exclusive section is its
  // own risk.
  void LockExclusive();
  void UnlockExclusive();

  // Whether the calling thread holds the lock shared.
  bool HeldSharedByThisThread() const;
  // Exclusive requests waiting for shared holders to leave (diagnostics, tests).
  std::size_t ExclusiveWaiting() const;
  // Shared holds of all threads, nested ones counted (diagnostics, tests).
  std::size_t SharedHolds() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t readers_ = 0;
  std::size_t exclusiveWaiting_ = 0;
  bool writer_ = false;
};
