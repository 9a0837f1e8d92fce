// libnimbrel as a host loads it: every symbol bound at load, the process-wide
// objects built at load and torn down at unload, repeatedly.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "nimbrel/NimbrelSettings.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/TextCodec.h"
#include "sources/PluginFolder.h"

namespace {

// The picture library stays loaded for the whole process, as in a host that
// uses it too: its HEIF codec (libheif, libde265) allocates in its
// initialisers and frees nothing when unloaded, which the leak checker would
// otherwise count against each unload of ours.
const bool kPictureLibraryKept = [] {
  static platform::DynamicLibrary gd;
  return gd.Open(L"libgd.so.3");
}();

TEST(Library, LoadsWithAllSymbolsBoundAndUnloadsCleanly) {
  EXPECT_TRUE(kPictureLibraryKept);
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

// Without an update address the update fails at once and touches no network;
// the completion routine still loads the plug-ins on the update's thread.
// Unloading right after InitialiseNimbrel must not wait for that thread under
// the loader's lock (it would hang there): the library stays loaded instead,
// and waits for the thread at exit. The working folder therefore lives in the
// test's own temporary folder, as do the logs, not in scratch folders that
// the test removes while the library may still use them.
TEST(Library, InitialiseThenUnloadDoesNotHang) {
  const std::filesystem::path work = platform::ToUtf8(platform::Env::Current()->TempFolder()) + "library-work";
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work / "General");
  std::filesystem::copy_file(platform::ToUtf8(testing_support::PluginFolder::ModulePath(L"Alpha")),
                             work / "General" / "Alpha.so");
  const std::filesystem::path logs = platform::ToUtf8(platform::Env::Current()->TempFolder()) + "library-logs";
  for (int round = 0; round < 3; ++round) {
    platform::DynamicLibrary library;
    ASSERT_TRUE(library.Open(platform::FromUtf8(NIMBREL_LIBRARY_PATH)));
    using Initialise = void (*)(const NimbrelSettings&);
    using UpdateSync = bool (*)(const NimbrelSettings&);
    auto initialise = reinterpret_cast<Initialise>(library.Symbol("_Z17InitialiseNimbrelRK15NimbrelSettings"));
    auto updateSync = reinterpret_cast<UpdateSync>(library.Symbol("_Z24NimbrelSourcesUpdateSyncRK15NimbrelSettings"));
    ASSERT_NE(nullptr, initialise);
    ASSERT_NE(nullptr, updateSync);
    NimbrelSettings settings;
    settings.WorkingDirectory = platform::FromUtf8(work.string());
    settings.LogFolder = platform::FromUtf8(logs.string());
    EXPECT_FALSE(updateSync(settings));  // no update address
    initialise(settings);
    library.Close();
  }
  // The failed updates left the plug-in in place and wrote no plug-in list.
  EXPECT_TRUE(std::filesystem::exists(work / "General" / "Alpha.so"));
  EXPECT_FALSE(std::filesystem::exists(work / "Sources.xml"));
}

}  // namespace
