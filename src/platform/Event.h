// Event object with manual- and auto-reset behaviour and timed waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {
// A wait time-out that never expires.
constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
}  // namespace platform

// A manual-reset event stays signalled until reset and releases every waiter;
// an auto-reset event releases exactly one waiter and resets itself.
class CEvent {
 public:
  explicit CEvent(bool initiallySignalled = false, bool manualReset = false)
      : signalled_(initiallySignalled), manualReset_(manualReset) {}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Waits until signalled or `timeoutMs` have passed (platform::kInfinite:
  // no limit). True when signalled; an auto-reset event is then reset.
  bool Wait(std::uint32_t timeoutMs = platform::kInfinite);
  // Signalled state without waiting or consuming it.
  bool IsSignalled() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_;
  const bool manualReset_;
};
