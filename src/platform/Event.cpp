#include "platform/Event.h"

#include <chrono>

void CEvent::SetEvent() {
  // Notifying under the lock keeps this safe when a released waiter destroys
  // the event as soon as its wait returns.
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  // An auto-reset event lets only one waiter through, so waking more is wasted work.
  if (manualReset_) {
    cond_.notify_all();
  } else {
    cond_.notify_one();
  }
}

void CEvent::ResetEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool CEvent::Wait(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto isSignalled = [this] { return signalled_; };
  if (timeoutMs == platform::kInfinite) {
    cond_.wait(lock, isSignalled);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!cond_.wait_until(lock, deadline, isSignalled)) return false;
  }
  if (!manualReset_) signalled_ = false;
  return true;
}

bool CEvent::IsSignalled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}
