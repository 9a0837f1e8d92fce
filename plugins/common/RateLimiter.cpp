#include "RateLimiter.h"

#include <algorithm>

void RateLimiter::SetClock(const PluginClock* clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = clock;
  nextSlot_ = 0;
}

const PluginClock& RateLimiter::Clock() const {
  const PluginClock* clock = clock_.load();
  return clock ? *clock : plugin_clock::RealClock();
}

std::int64_t RateLimiter::Acquire() {
  const PluginClock& clock = Clock();
  std::int64_t slot = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = std::max(clock.nowMs(clock.context), nextSlot_);
    nextSlot_ = slot + intervalMs_;
  }
  clock.sleepUntilMs(clock.context, slot);
  return slot;
}

void RateLimiter::BackOff(std::int64_t delayMs) {
  const PluginClock& clock = Clock();
  std::lock_guard<std::mutex> lock(mutex_);
  nextSlot_ = std::max(nextSlot_, clock.nowMs(clock.context) + delayMs);
}
