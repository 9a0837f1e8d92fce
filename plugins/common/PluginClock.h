// Time as the plug-ins see it: a replaceable clock so that a test can run the
// politeness rules (request spacing, back-off) and the cache lifetime without
// waiting. A plug-in takes one through the property "Clock" (a PluginClock*;
// null restores the real clock).
#pragma once

#include <cstdint>

struct PluginClock {
  void* context;
  // Milliseconds on a clock that never goes back; also the cache's time stamps.
  std::int64_t (*nowMs)(void* context);
  // Returns at `whenMs` on the clock above, or at once when that has passed.
  void (*sleepUntilMs)(void* context, std::int64_t whenMs);
};

namespace plugin_clock {
// The real clock: milliseconds since the epoch, and sleeping.
const PluginClock& RealClock();
}  // namespace plugin_clock
