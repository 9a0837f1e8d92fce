#include "PluginClock.h"

#include <chrono>
#include <thread>

namespace plugin_clock {

namespace {

std::int64_t Now(void*) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void SleepUntil(void*, std::int64_t whenMs) {
  const std::int64_t wait = whenMs - Now(nullptr);
  // A clock set back would otherwise hold a request forever.
  if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait > 600000 ? 600000 : wait));
}

const PluginClock kReal{nullptr, &Now, &SleepUntil};

}  // namespace

const PluginClock& RealClock() { return kReal; }

}  // namespace plugin_clock
