// A token bucket of one token per interval shared by every thread of the
// process: each request takes the next free slot, so requests leave at least
// one interval apart whatever the number of threads. A back-off (an answer
// 503 with or without Retry-After) moves the next free slot for everyone.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "PluginClock.h"

class RateLimiter {
 public:
  explicit RateLimiter(std::int64_t intervalMs) : intervalMs_(intervalMs) {}

  // Null restores the real clock. The clock must outlive its use.
  void SetClock(const PluginClock* clock);
  const PluginClock& Clock() const;

  // Waits for this caller's slot; returns the slot's time.
  std::int64_t Acquire();
  // No slot before now + `delayMs`.
  void BackOff(std::int64_t delayMs);

 private:
  std::int64_t intervalMs_;
  std::atomic<const PluginClock*> clock_{nullptr};
  std::mutex mutex_;
  std::int64_t nextSlot_ = 0;
};
