// libnimbrel as a host loads it: every symbol bound at load, the process-wide
// objects built at load and torn down at unload, repeatedly.
#include <gtest/gtest.h>

#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/TextCodec.h"

namespace {

TEST(Library, LoadsWithAllSymbolsBoundAndUnloadsCleanly) {
  for (int round = 0; round < 3; ++round) {
    platform::DynamicLibrary library;
    std::wstring error;
    ASSERT_TRUE(library.Open(platform::FromUtf8(NIMBREL_LIBRARY_PATH), &error)) << platform::ToUtf8(error);
    // Internals stay hidden.
    EXPECT_EQ(library.Symbol("_ZN14CNimbrelConfig8InstanceEv"), nullptr);
    EXPECT_EQ(library.Symbol("_ZN10CMasterlog8InstanceEv"), nullptr);
    library.Close();
  }
}

}  // namespace
