// With a profiler library in the search path, each scope starts and stops
// exactly once with its name, flag and context.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "foundation/StopWatch.h"
#include "platform/DynamicLibrary.h"

namespace {

struct Calls {
  int starts = 0, stops = 0;
  const wchar_t* startName = nullptr;
  const wchar_t* stopName = nullptr;
  bool startEnabled = false, stopEnabled = false;
  std::uint32_t stopContext = 0, startContext = 0;
};

Calls Read() {
  static platform::DynamicLibrary fake;
  if (!fake.IsOpen()) {
    EXPECT_TRUE(fake.Open(L"liblapwatch.so"));
  }
  using Fn = int (*)(int*, const wchar_t**, const wchar_t**, bool*, bool*, std::uint32_t*, std::uint32_t*);
  auto fn = reinterpret_cast<Fn>(fake.Symbol("FakeLapwatchCalls"));
  Calls c;
  EXPECT_NE(fn, nullptr);
  if (fn) {
    c.starts = fn(&c.stops, &c.startName, &c.stopName, &c.startEnabled, &c.stopEnabled, &c.stopContext,
                  &c.startContext);
  }
  return c;
}

TEST(StopWatchWithProfiler, StartAndStopOnceEachAndAnExplicitStopIsNotRepeated) {
  const Calls before = Read();
  {
    StopWatch scope(L"CNimbrelConfig::SetMainSettings", true);
    const Calls during = Read();
    EXPECT_EQ(during.starts, before.starts + 1);
    EXPECT_EQ(during.stops, before.stops);
    EXPECT_STREQ(during.startName, L"CNimbrelConfig::SetMainSettings");
    EXPECT_TRUE(during.startEnabled);
  }
  const Calls after = Read();
  EXPECT_EQ(after.stops, before.stops + 1);
  EXPECT_STREQ(after.stopName, L"CNimbrelConfig::SetMainSettings");
  EXPECT_EQ(after.stopContext, after.startContext);  // the context the start returned

  {
    StopWatch disabled(L"Disabled::Scope", false);
    disabled.Stop();
    disabled.Stop();  // not repeated, nor at the end of the scope
  }
  const Calls last = Read();
  EXPECT_EQ(last.starts, after.starts + 1);
  EXPECT_EQ(last.stops, after.stops + 1);
  EXPECT_FALSE(last.stopEnabled);
  EXPECT_FALSE(last.startEnabled);
}

}  // namespace
