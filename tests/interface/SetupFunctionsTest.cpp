// The exported set-up functions in-process, on the process-wide configuration
// and sources manager, against an update list served on loopback.
#include <gtest/gtest.h>

#include "config/NimbrelConfig.h"
#include "nimbrel/Nimbrel.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "sources/DllSourcesManager.h"
#include "sources/PluginFolder.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::PluginFolder;

class SetupFunctions : public ::testing::Test {
 protected:
  SetupFunctions() {
    env_.SetConnectivityProbeHosts({platform::FromUtf8(server_.HostPort())});
    folder_.Install(L"General", L"Alpha");
    folder_.Install(L"Lyrics", L"Verse");
    settings_.WorkingDirectory = folder_.path();
    settings_.LogFolder = logs_.path();
    settings_.UpdateUrl = platform::FromUtf8(server_.Url("/list.xml"));
    server_.ServeFile("/Beta.so", platform::ToUtf8(PluginFolder::ModulePath(L"Beta")));
    server_.ServeText("/list.xml",
                      "<Plugins><General><DLL Name=\"Beta\" Version=\"2.0.1.15\"><DLLURL>" + server_.Url("/Beta.so") +
                          "</DLLURL></DLL></General><Lyrics><DLL Name=\"Verse\" Version=\"1.0\"><DLLURL>" +
                          server_.Url("/Verse.so") + "</DLLURL></DLL></Lyrics></Plugins>",
                      "text/xml");
  }
  ~SetupFunctions() override {
    CNimbrelConfig::Instance().updateFinished.Wait();
    manager_.Registry(kSourceGeneral)->UnloadSources();
    manager_.Registry(kSourceLyrics)->UnloadSources();
  }

  std::list<std::wstring> LoadedNames() {
    std::list<std::wstring> names;
    manager_.GetSourceNames(kSourceAll, names);
    return names;
  }

  testing_support::HttpTestServer server_;
  testing_support::FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  testing_support::ScratchFolder logs_;
  PluginFolder folder_;
  NimbrelSettings settings_;
  CDllSourcesManager& manager_ = CDllSourcesManager::Instance();
};

TEST_F(SetupFunctions, InitialiseUpdatesThenLoadsThePlugins) {
  InitialiseNimbrel(settings_);
  ASSERT_TRUE(CNimbrelConfig::Instance().updateFinished.Wait(60000));
  EXPECT_EQ((std::list<std::wstring>{L"Beta", L"Verse"}), LoadedNames());
  CBasicTagsDllInterface* beta = manager_.GetGeneralInterface(L"Beta");
  ASSERT_NE(nullptr, beta);
  CString id;
  EXPECT_EQ(1, beta->GetProperty(L"SourceId", &id));
  EXPECT_EQ(CString(L"id-Beta"), id);
  EXPECT_FALSE(platform::PathExists(folder_.path() + L"General/Alpha.so"));
}

TEST_F(SetupFunctions, FailedUpdateStillLoadsTheOldPluginsAndSignals) {
  server_.ServeText("/list.xml", "", "text/xml");
  InitialiseNimbrel(settings_);
  ASSERT_TRUE(CNimbrelConfig::Instance().updateFinished.Wait(60000));
  EXPECT_EQ((std::list<std::wstring>{L"Alpha", L"Verse"}), LoadedNames());
}

// The synchronous update waits for the background one, whose routine reads
// the settings and loads plug-ins; then it unloads them and loads nothing.
TEST_F(SetupFunctions, SyncUpdateRightAfterInitialiseWaitsForItAndLoadsNothing) {
  InitialiseNimbrel(settings_);
  EXPECT_TRUE(NimbrelSourcesUpdateSync(settings_));
  EXPECT_TRUE(CNimbrelConfig::Instance().updateFinished.IsSignalled());
  EXPECT_TRUE(LoadedNames().empty());
  EXPECT_TRUE(platform::PathExists(folder_.path() + L"General/Beta.so"));
}

// Without a working directory the updater gets the host's empty one and
// refuses, instead of writing next to the executable.
TEST_F(SetupFunctions, EmptyWorkingDirectoryUpdatesNothingNextToTheExecutable) {
  const std::wstring exe = platform::ExecutablePath();
  const std::wstring beside = exe.substr(0, exe.rfind(L'/') + 1);
  ASSERT_FALSE(platform::PathExists(beside + L"Sources.xml"));
  ASSERT_FALSE(platform::PathExists(beside + L"ArtistInfo"));
  settings_.WorkingDirectory = L"";
  EXPECT_FALSE(NimbrelSourcesUpdateSync(settings_));
  EXPECT_FALSE(platform::PathExists(beside + L"Sources.xml"));
  EXPECT_FALSE(platform::PathExists(beside + L"ArtistInfo"));
  EXPECT_EQ(0u, server_.RequestCount());
  EXPECT_EQ(CNimbrelConfig::Instance().WorkingDirectory, CString(beside));
}

}  // namespace
