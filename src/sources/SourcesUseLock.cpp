#include "sources/SourcesUseLock.h"

#include <cstdint>

namespace {

// The shared holds of the calling thread, per lock. Plain data, so that no
// thread-exit destructor ties the module to the process. A thread holds at
// most a few locks (one in practice); holds beyond the table's size are
// taken without re-entrance tracking.
struct HeldLock {
  const CSourcesUseLock* lock;
  std::uint32_t depth;
};
constexpr int kMaxHeldLocks = 4;
thread_local HeldLock tHeld[kMaxHeldLocks] = {};

HeldLock* FindHeld(const CSourcesUseLock* lock) {
  for (HeldLock& held : tHeld) {
    if (held.lock == lock && held.depth > 0) return &held;
  }
  return nullptr;
}

HeldLock* FreeSlot() {
  for (HeldLock& held : tHeld) {
    if (held.depth == 0) return &held;
  }
  return nullptr;
}

}  // namespace

void CSourcesUseLock::LockShared() {
  if (HeldLock* held = FindHeld(this)) {
    // Nested: this thread already keeps the exclusive side out.
    std::lock_guard<std::mutex> hold(mutex_);
    ++readers_;
    ++held->depth;
    return;
  }
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [this] { return !writer_ && exclusiveWaiting_ == 0; });
  ++readers_;
  if (HeldLock* slot = FreeSlot()) *slot = {this, 1};
}

void CSourcesUseLock::UnlockShared() {
  if (HeldLock* held = FindHeld(this)) --held->depth;
  std::lock_guard<std::mutex> hold(mutex_);
  if (readers_ > 0) --readers_;
  // An exclusive request may be waiting for this very count (see LockExclusive).
  changed_.notify_all();
}

void CSourcesUseLock::LockExclusive() {
  const HeldLock* own = FindHeld(this);
  const std::size_t ownHolds = own ? own->depth : 0;
  std::unique_lock<std::mutex> hold(mutex_);
  ++exclusiveWaiting_;
  changed_.wait(hold, [this, ownHolds] { return !writer_ && readers_ <= ownHolds; });
  --exclusiveWaiting_;
  writer_ = true;
}

void CSourcesUseLock::UnlockExclusive() {
  std::lock_guard<std::mutex> hold(mutex_);
  writer_ = false;
  changed_.notify_all();
}

bool CSourcesUseLock::HeldSharedByThisThread() const { return FindHeld(this) != nullptr; }

std::size_t CSourcesUseLock::ExclusiveWaiting() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return exclusiveWaiting_;
}

std::size_t CSourcesUseLock::SharedHolds() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return readers_;
}
