// The sources manager: dispatch by kind over real plug-in modules, and
// updates against an update list served on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "nimbrel/NimbrelSettings.h"
#include "nimbrel/SourcePlugin.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "platform/Thread.h"
#include "sources/DllSourcesManager.h"
#include "sources/PluginFolder.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProcessLog.h"

namespace {

using testing_support::FakeEnv;
using testing_support::HttpTestServer;
using testing_support::PluginFolder;

// Alpha and Beta as General plug-ins; Verse, and Verse again under the name
// Alpha, as Lyrics plug-ins.
void InstallPlugins(const PluginFolder& folder) {
  folder.Install(L"General", L"Alpha");
  folder.Install(L"General", L"Beta");
  folder.Install(L"Lyrics", L"Verse");
  folder.Install(L"Lyrics", L"Verse", L"Alpha.so");
}

CString SourceName(CBasicTagsDllInterface* plugin) {
  CString name;
  if (plugin) plugin->GetProperty(L"SourceName", &name);
  return name;
}

// Unknown kinds serve nothing; one name in both kinds has its own slots in each;
// an interface comes from the named, loaded plug-in only.
TEST(DllSourcesManager, KindsAreKeptApartAndInterfacesComeFromTheNamedPluginOnly) {
  PluginFolder folder;
  InstallPlugins(folder);
  CDllSourcesManager manager;
  EXPECT_EQ(0u, manager.LoadSources(folder.path(), 5));
  EXPECT_EQ(4u, manager.LoadSources(folder.path(), kSourceAll));
  EXPECT_FALSE(manager.AcquireSource(L"Alpha", kSourceAll));
  EXPECT_FALSE(manager.LoadSource(L"Beta", kSourceAll, folder.path()));
  CString name;
  EXPECT_FALSE(manager.AcquireLeastBusySource(name, 2, {}));

  ASSERT_TRUE(manager.AcquireSource(L"Alpha", kSourceGeneral));
  ASSERT_TRUE(manager.AcquireSource(L"Alpha", kSourceLyrics));
  manager.ReleaseSource(L"Alpha", kSourceAll);  // serves no kind
  manager.ReleaseSource(L"Alpha", kSourceGeneral);
  EXPECT_EQ(0u, manager.Registry(kSourceGeneral)->GetUseCount(L"Alpha"));
  EXPECT_EQ(1u, manager.Registry(kSourceLyrics)->GetUseCount(L"Alpha"));
  manager.ReleaseSource(L"Alpha", kSourceLyrics);
  // Interfaces come from the named plug-in only.
  CDllSourcesManager single;
  single.LoadSource(L"Beta", kSourceGeneral, folder.path());

  EXPECT_EQ(CString(L"Beta"), SourceName(single.GetGeneralInterface(L"Beta")));
  // Not loaded: null, and asking loads nothing.
  EXPECT_EQ(nullptr, single.GetGeneralInterface(L"Alpha"));
  EXPECT_FALSE(single.IsSourceLoaded(L"Alpha", kSourceGeneral));
  EXPECT_EQ(nullptr, single.GetLyricsInterface(L"Beta"));

  single.LoadSource(L"Verse", kSourceLyrics, folder.path());
  CLyricsDllInterface* verse = single.GetLyricsInterface(L"Verse");
  ASSERT_NE(nullptr, verse);
  name.Empty();
  verse->GetProperty(L"SourceName", &name);
  EXPECT_EQ(CString(L"Verse"), name);
}

// An update server on loopback that also answers the connectivity probe.
class ManagerUpdate : public ::testing::Test {
 protected:
  ManagerUpdate() {
    env_.SetConnectivityProbeHosts({platform::FromUtf8(server_.HostPort())});
    settings_.WorkingDirectory = folder_.path();
    settings_.UpdateUrl = platform::FromUtf8(server_.Url("/list.xml"));
    server_.ServeFile("/Beta.so", platform::ToUtf8(PluginFolder::ModulePath(L"Beta")));
    server_.ServeText("/list.xml",
                      "<Plugins><General><DLL Name=\"Beta\" Version=\"2.0.1.15\"><DLLURL>" + server_.Url("/Beta.so") +
                          "</DLLURL></DLL></General></Plugins>",
                      "text/xml");
  }

  bool Exists(const std::wstring& relative) const { return platform::PathExists(folder_.path() + relative); }

  HttpTestServer server_;
  FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  PluginFolder folder_;
  NimbrelSettings settings_;
};

TEST_F(ManagerUpdate, SyncUpdateReplacesFilesAndLeavesEverythingUnloaded) {
  InstallPlugins(folder_);
  CDllSourcesManager manager;
  manager.LoadSources(folder_.path(), kSourceAll);
  ASSERT_EQ(4u, manager.GetSourceCount(kSourceAll));

  EXPECT_TRUE(manager.UpdateSourcesSync(settings_));
  EXPECT_EQ(0u, manager.GetSourceCount(kSourceAll));
  EXPECT_TRUE(Exists(L"General/Beta.so"));
  EXPECT_FALSE(Exists(L"General/Alpha.so"));  // no longer listed
  EXPECT_FALSE(Exists(L"Lyrics/Verse.so"));
  EXPECT_TRUE(Exists(L"Sources.xml"));
  EXPECT_TRUE(Exists(L"ArtistInfo"));
}

// A completion routine that records its result, loads the plug-ins again and
// signals, as the library's own does.
struct Completion {
  static inline CDllSourcesManager* manager = nullptr;
  static inline std::wstring folder;
  static inline std::atomic<int> calls{0};
  static inline std::atomic<std::uint32_t> result{99};
  static inline CEvent done{false, true};

  static void Routine(std::uint32_t updated) {
    result = updated;
    manager->LoadSources(folder, kSourceAll);
    ++calls;
    done.SetEvent();
  }
  static void Reset(CDllSourcesManager& owner, const std::wstring& workingFolder) {
    manager = &owner;
    folder = workingFolder;
    calls = 0;
    result = 99;
    done.ResetEvent();
  }
};

TEST_F(ManagerUpdate, AsyncUpdateEndsWithTheRoutineAndThePluginsAnswer) {
  InstallPlugins(folder_);
  CDllSourcesManager manager;
  manager.LoadSources(folder_.path(), kSourceAll);
  Completion::Reset(manager, folder_.path());

  manager.UpdateSourcesAsync(settings_, &Completion::Routine);
  ASSERT_TRUE(Completion::done.Wait(60000));
  EXPECT_EQ(1u, Completion::result.load());
  EXPECT_EQ(1, Completion::calls.load());
  EXPECT_EQ(1u, manager.GetSourceCount(kSourceAll));
  EXPECT_EQ(CString(L"Beta"), SourceName(manager.GetGeneralInterface(L"Beta")));
}

TEST_F(ManagerUpdate, FailedUpdatesStillRunTheRoutineAndTheOldPluginsLoadAgain) {
  InstallPlugins(folder_);
  CDllSourcesManager manager;
  for (int failure = 0; failure < 3; ++failure) {
    manager.LoadSources(folder_.path(), kSourceAll);
    Completion::Reset(manager, folder_.path());
    if (failure == 0) server_.ServeText("/list.xml", "this is not <xml", "text/xml");
    if (failure == 1) env_.SetConnectivityProbeHosts({L"127.0.0.1:1"});  // nothing listens there
    if (failure == 2) platform::Thread::FailNextStarts(1);                // no thread for the update

    manager.UpdateSourcesAsync(settings_, &Completion::Routine);
    ASSERT_TRUE(Completion::done.Wait(60000)) << "failure " << failure;
    EXPECT_EQ(0u, Completion::result.load()) << "failure " << failure;
    EXPECT_EQ(4u, manager.GetSourceCount(kSourceAll)) << "failure " << failure;
    EXPECT_EQ(CString(L"Alpha"), SourceName(manager.GetGeneralInterface(L"Alpha")));
  }
}

// Nothing leaves the update's thread: a routine that throws is logged.
TEST_F(ManagerUpdate, ThrowingCompletionRoutineIsLoggedNotFatal) {
  testing_support::ProcessLogText();
  {
    CDllSourcesManager manager;
    Completion::Reset(manager, folder_.path());
    manager.UpdateSourcesAsync(settings_, [](std::uint32_t updated) {
      Completion::Routine(updated);
      throw std::runtime_error("routine broke");
    });
    ASSERT_TRUE(Completion::done.Wait(60000));
    Completion::Reset(manager, folder_.path());
    manager.UpdateSourcesAsync(settings_, [](std::uint32_t updated) {
      Completion::Routine(updated);
      throw 42;
    });
    ASSERT_TRUE(Completion::done.Wait(60000));
  }  // joins the threads, so their log entries are written
  const std::wstring log = testing_support::ProcessLogText();
  EXPECT_NE(log.find(L"CDllSourcesManager::UpdateSourcesAsync: completion routine failed: routine broke"),
            std::wstring::npos);
  EXPECT_NE(log.find(L"CDllSourcesManager::UpdateSourcesAsync: completion routine failed: unknown exception"),
            std::wstring::npos);
}

TEST_F(ManagerUpdate, AsyncUpdateWithoutRoutineRunsAndIsJoinedByTheManager) {
  {
    CDllSourcesManager manager;
    manager.UpdateSourcesAsync(settings_, nullptr);
  }  // the destructor waits for the update
  EXPECT_TRUE(Exists(L"General/Beta.so"));
  EXPECT_TRUE(Exists(L"Sources.xml"));
}

}  // namespace
