// Without a profiler library in the search path, scopes are inert.
#include "foundation/StopWatch.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/DebugOutput.h"
#include "platform/DynamicLibrary.h"

namespace {

TEST(StopWatchWithoutProfiler, ScopesRunSilently) {
  platform::DynamicLibrary probe;
  ASSERT_FALSE(probe.Open(L"liblapwatch.so")) << "this test needs liblapwatch.so to be absent";
  std::vector<std::wstring> output;
  platform::SetDebugOutputSink([&](std::wstring_view t) { output.emplace_back(t); });
  {
    StopWatch outer(L"Outer::Scope");
    StopWatch inner(L"Inner::Scope", false);
    inner.Stop();
    inner.Stop();
  }
  platform::SetDebugOutputSink(nullptr);
  EXPECT_TRUE(output.empty());
}

}  // namespace
