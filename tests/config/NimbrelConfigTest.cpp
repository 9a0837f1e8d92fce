#include "config/NimbrelConfig.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "config/EngineProperties.h"
#include "foundation/Masterlog.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "support/FakeEnv.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::FakeEnv;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

std::wstring TraceText(const CMasterlog& log) {
  const std::string raw = ReadFileBytes(log.TraceFilePath().str());
  return raw.size() < 2 ? std::wstring() : platform::FromUtf16Le(std::string_view(raw).substr(2));
}

class NimbrelConfigTest : public ::testing::Test {
 protected:
  NimbrelSettings Settings() {
    NimbrelSettings s;
    s.LogFolder = (folder / L"logs").c_str();
    s.WorkingDirectory = (folder / L"work").c_str();
    s.TraceLevel = L"Verbose";
    return s;
  }
  FakeEnv env{2026, 6, 1, 12, 0, 0};
  platform::ScopedEnv scoped{&env};
  ScratchFolder folder;
  CMasterlog log;
};

TEST_F(NimbrelConfigTest, PreparesLogAndWorkingDirectory) {
  ASSERT_TRUE(platform::CreateDirectory(folder / L"logs"));
  WriteFileBytes(folder / L"logs/old.txt", "x");
  ASSERT_TRUE(platform::SetFileTimes(folder / L"logs/old.txt", env.UnixTime() - 6 * 86400));
  WriteFileBytes(folder / L"logs/recent.txt", "x");
  ASSERT_TRUE(platform::SetFileTimes(folder / L"logs/recent.txt", env.UnixTime() - 4 * 86400));

  CNimbrelConfig config(log);
  config.SetMainSettings(Settings());
  EXPECT_EQ(config.LogFolder, CString((folder / L"logs/").c_str()));
  EXPECT_EQ(config.WorkingDirectory, CString((folder / L"work/").c_str()));
  EXPECT_TRUE(platform::IsDirectory(folder / L"work"));
  EXPECT_FALSE(platform::PathExists(folder / L"logs/old.txt"));
  EXPECT_TRUE(platform::PathExists(folder / L"logs/recent.txt"));

  // "Verbose" is level 40: level 50 is beyond every level reachable by name.
  log.Log(40, L"debug line");
  const std::wstring trace = TraceText(log);
  EXPECT_EQ(trace.find(L"WorkingDirectory  ="), std::wstring::npos);
  EXPECT_NE(trace.find(L"DBG: debug line"), std::wstring::npos);
}

TEST_F(NimbrelConfigTest, SecondCallKeepsTheLogButTakesTheOtherSettings) {
  CNimbrelConfig config(log);
  config.SetMainSettings(Settings());
  const CString parent = log.ParentLogPath();
  NimbrelSettings s = Settings();
  s.LogFolder = (folder / L"other-logs").c_str();
  s.TraceLevel = L"Warning";
  s.WorkingDirectory = L"";  // the executable's folder
  config.SetMainSettings(s);
  EXPECT_EQ(log.ParentLogPath(), parent);
  EXPECT_EQ(log.writer().Level(), 20);
  EXPECT_EQ(config.LogFolder, CString((folder / L"other-logs/").c_str()));
  const std::wstring exe = platform::ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(config.WorkingDirectory, CString(exe.substr(0, exe.rfind(L'/') + 1)));
}

// The settings record is plain; the defaults are the configuration's until
// the host hands its own. No tag-cache host switches the server cache off.
TEST_F(NimbrelConfigTest, DefaultsLiveInTheConfigurationAndAnEmptyCacheHostSwitchesItOff) {
  const NimbrelSettings plain;
  EXPECT_TRUE(plain.TraceLevel.IsEmpty() && plain.HttpProxy.IsEmpty() && plain.TagCacheHost.IsEmpty());
  CNimbrelConfig config(log);
  EXPECT_EQ(config.TraceLevel, L"Debug");
  EXPECT_EQ(config.HttpProxy, L"0");
  EXPECT_EQ(config.TagCacheHost, L"localhost:8377");
  EXPECT_TRUE(config.tagCacheEnabled);
  config.SetMainSettings(Settings());
  EXPECT_TRUE(config.TagCacheHost.IsEmpty());
  EXPECT_FALSE(config.tagCacheEnabled);
  NimbrelSettings s = Settings();
  s.TagCacheHost = L"cache.example:1";
  config.SetMainSettings(s);
  EXPECT_TRUE(config.tagCacheEnabled);
}

TEST_F(NimbrelConfigTest, UnusableFoldersDegradeWithoutFailing) {
  WriteFileBytes(folder / L"logs", "a file where the log folder should be");
  NimbrelSettings s = Settings();
  s.WorkingDirectory = (folder / L"logs/work").c_str();  // under a file: cannot be created
  s.TraceLevel = L"no such level";
  CNimbrelConfig config(log);
  config.SetMainSettings(s);
  EXPECT_EQ(log.writer().Level(), 10);
  log.Log(10, L"lost line");
  EXPECT_TRUE(log.TraceFilePath().IsEmpty());
  EXPECT_EQ(config.WorkingDirectory, CString((folder / L"logs/work/").c_str()));
  EXPECT_FALSE(platform::PathExists(folder / L"logs/work"));
}

TEST(NimbrelConfigLifetime, DestructionWaitsForTheUpdateToFinish) {
  CMasterlog log;
  auto config = std::make_unique<CNimbrelConfig>(log);
  CNimbrelConfig* alive = config.get();
  alive->updateFinished.ResetEvent();
  CEvent destroyed(false, true);
  std::thread destroyer([&] {
    config.reset();
    destroyed.SetEvent();
  });
  EXPECT_FALSE(destroyed.Wait(50));  // blocked in the destructor while the update runs
  alive->updateFinished.SetEvent();  // the update ends; the destructor may go on
  EXPECT_TRUE(destroyed.Wait());
  destroyer.join();
}

TEST_F(NimbrelConfigTest, CommonEnginePropertiesInOrder) {
  env.SetTempFolder(L"/var/tmp/fake/");
  CNimbrelConfig config(log);
  config.LogFolder = L"/logs/";
  config.TraceLevel = L"Verbose";
  config.HttpProxy = L"1";
  NimbrelOptions options;
  options.MaxMatchDifference = 42;
  int core = 0;
  const auto resolve = [](const CString& setting) { return L"proxy for " + setting; };

  auto props = CommonEngineProperties(config, &core, options, resolve, L"/logs/parent.txt");
  std::vector<CString> names;
  for (const auto& p : props) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<CString>{L"NimbrelObject", L"LogFolder", L"TraceLevel", L"MaxMatchDifference",
                                         L"HttpProxy", L"LocalCacheFolder", L"ParentLogfilePath", L"TimeOut"}));
  EXPECT_EQ(props[0].ValuePointer(), &core);
  EXPECT_EQ(*static_cast<const CString*>(props[1].ValuePointer()), L"/logs/");
  EXPECT_EQ(*static_cast<const CString*>(props[2].ValuePointer()), L"Verbose");
  EXPECT_EQ(*static_cast<const float*>(props[3].ValuePointer()), 42.0f);
  EXPECT_EQ(*static_cast<const CString*>(props[4].ValuePointer()), L"proxy for 1");
  EXPECT_EQ(*static_cast<const CString*>(props[5].ValuePointer()), L"/var/tmp/fake/");
  EXPECT_EQ(*static_cast<const CString*>(props[6].ValuePointer()), L"/logs/parent.txt");
  EXPECT_EQ(*static_cast<const std::int32_t*>(props[7].ValuePointer()), 150000);

  int host = 0;
  config.HostIgnore = &host;
  props = CommonEngineProperties(config, &core, options, resolve, L"");
  ASSERT_EQ(props.size(), 9u);
  EXPECT_EQ(props[5].name, L"HostIgnore");
  EXPECT_EQ(props[5].ValuePointer(), &host);  // the pointer itself, not a pointer to it
}

}  // namespace
