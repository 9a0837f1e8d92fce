// libmeridex as a host that loads it at run time sees it: it exports its API
// and nothing the loader would pin it for (a GNU unique symbol, such as a
// function's static variable in an exported inline function, keeps a library
// loaded for good), so that it is gone after the last close. This program
// does not link libmeridex; it only borrows the header for the class's size.
#include <gtest/gtest.h>

#include "meridex/Tags.h"
#include "platform/DynamicLibrary.h"
#include "platform/TextCodec.h"

namespace {

TEST(MeridexUnloadTest, LoadsUsesAndUnloadsCompletely) {
  for (int round = 0; round < 2; ++round) {
    platform::DynamicLibrary library;
    std::wstring error;
    ASSERT_TRUE(library.Open(platform::FromUtf8(NIMBREL_MERIDEX_PATH), &error)) << platform::ToUtf8(error);
    // A tag set made and destroyed through the exported constructor and
    // destructor (Itanium ABI: the object's address is the one argument).
    using Member = void (*)(void*);
    auto construct = reinterpret_cast<Member>(library.Symbol("_ZN7Meridex5CTagsC1Ev"));
    auto destroy = reinterpret_cast<Member>(library.Symbol("_ZN7Meridex5CTagsD1Ev"));
    ASSERT_NE(nullptr, construct);
    ASSERT_NE(nullptr, destroy);
    alignas(Meridex::CTags) unsigned char storage[sizeof(Meridex::CTags)];
    construct(storage);
    destroy(storage);
    // Internals stay inside.
    EXPECT_EQ(nullptr, library.Symbol("_ZN7Meridex11CPictureTag6Record6NextIdEv"));
    EXPECT_TRUE(library.Close()) << "libmeridex is still loaded after its last close";
  }
}

}  // namespace
