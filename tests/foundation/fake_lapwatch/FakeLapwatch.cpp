// A stand-in profiler library for tests: records the calls it receives.
#include <cstdint>
#include <mutex>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex mutex;
int starts = 0;
int stops = 0;
std::wstring startName, stopName;
bool startEnabled = false, stopEnabled = false;
std::uint32_t stopContext = 0;
std::uint32_t nextContext = 0x1000;
}  // namespace

FAKE_EXPORT std::uint32_t LapwatchStartContext(const wchar_t* name, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex);
  ++starts;
  startName = name ? name : L"";
  startEnabled = enabled;
  return ++nextContext;
}

FAKE_EXPORT void LapwatchStopContext(const wchar_t* name, bool enabled, std::uint32_t context) {
  std::lock_guard<std::mutex> lock(mutex);
  ++stops;
  stopName = name ? name : L"";
  stopEnabled = enabled;
  stopContext = context;
}

// What the test reads back. Returns the number of starts; the rest by pointer.
FAKE_EXPORT int FakeLapwatchCalls(int* stopCount, const wchar_t** lastStartName, const wchar_t** lastStopName,
                                  bool* lastStartEnabled, bool* lastStopEnabled, std::uint32_t* lastStopContext,
                                  std::uint32_t* lastStartContext) {
  std::lock_guard<std::mutex> lock(mutex);
  *stopCount = stops;
  *lastStartName = startName.c_str();
  *lastStopName = stopName.c_str();
  *lastStartEnabled = startEnabled;
  *lastStopEnabled = stopEnabled;
  *lastStopContext = stopContext;
  *lastStartContext = nextContext;
  return starts;
}
