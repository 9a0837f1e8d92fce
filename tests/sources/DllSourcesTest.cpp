#include "sources/DllSources.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include "PluginFolder.h"
#include "support/ProcessLog.h"

// Holds a registry's entry lock, so that what woken waiters do next waits
// until the test lets them go on.
class DllSourcesTestPeer {
 public:
  explicit DllSourcesTestPeer(CDllSources& sources) : lock_(&sources.entryLock_) {}
  void Unlock() { lock_.Unlock(); }

 private:
  CSingleLock lock_;
};

namespace {

using testing_support::PluginFolder;
using testing_support::ProcessLogText;

std::list<std::wstring> Names(CDllSources& sources) {
  std::list<std::wstring> names;
  sources.GetSourceNames(names);
  return names;
}

using NameList = std::list<std::wstring>;

// Waits, without sleeping, until `count` threads are queued for a slot.
void AwaitWaiters(CDllSources& sources, std::size_t count) {
  while (sources.WaitingThreadCount() < count) std::this_thread::yield();
}

const char kSourcesXml[] =
    "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n"
    "<SourcesInfo>\n"
    "\t<General>\n"
    "\t\t<DLL Name=\"alpha\">\n"
    "\t\t\t<DLLLocales>\n\t\t\t\t<DLLLocale> en-GB </DLLLocale>\n\t\t\t\t<Other>de</Other>\n"
    "\t\t\t\t<DLLLocale></DLLLocale>\n\t\t\t</DLLLocales>\n"
    "\t\t\t<Priority>5</Priority>\n"
    "\t\t</DLL>\n"
    "\t\t<DLL Name=\"Beta\"><Priority> 1x</Priority></DLL>\n"
    "\t\t<DLL Name=\"Gamma\"><Priority>0</Priority></DLL>\n"
    "\t</General>\n"
    "\t<lyrics><DLL Name=\"Verse\"><Priority>1</Priority></DLL></lyrics>\n"
    "\t<Lyrics><DLL><Priority>3</Priority></DLL></Lyrics>\n"
    "</SourcesInfo>";

TEST(DllSources, LoadsRealModulesOrderedByTheRegistryFile) {
  PluginFolder work;
  for (const wchar_t* module : {L"Alpha", L"Beta", L"Gamma"}) work.Install(L"General", module);
  work.Install(L"Lyrics", L"Verse");
  work.WriteSourcesXml(kSourcesXml);

  CDllSources general(L"General");
  EXPECT_EQ(general.LoadSources(work.path().c_str()), 3u);
  EXPECT_EQ(Names(general), (NameList{L"Beta", L"Alpha", L"Gamma"}));
  std::uint32_t priority = 0;
  std::vector<CString> locales;
  ASSERT_TRUE(general.GetSourceInfo(L"Alpha", priority, locales));
  EXPECT_EQ(priority, 5u);  // the name is matched without regard to case
  EXPECT_EQ(locales, (std::vector<CString>{L"en-GB", L"de", L""}));
  ASSERT_TRUE(general.GetSourceInfo(L"Gamma", priority, locales));
  EXPECT_EQ(priority, 100u);  // 0 keeps the default
  EXPECT_TRUE(locales.empty());

  // The entry point hands out the plug-in's own interface object.
  GetDllInterfaceFunction entry = general.GetInterfaceFunction(L"Beta");
  ASSERT_NE(entry, nullptr);
  auto* beta = static_cast<CBasicTagsDllInterface*>(entry());
  CString sourceName;
  ASSERT_EQ(beta->GetProperty(L"SourceName", &sourceName), 1);
  EXPECT_EQ(sourceName, L"Beta");

  // The kind element is matched case-sensitively; a DLL without a name matches nothing.
  CDllSources lyrics(L"Lyrics");
  EXPECT_EQ(lyrics.LoadSources(work.path().c_str()), 1u);
  ASSERT_TRUE(lyrics.GetSourceInfo(L"Verse", priority, locales));
  EXPECT_EQ(priority, 100u);

  general.UnloadSources();
  EXPECT_EQ(general.GetSourceCount(), 0u);
  EXPECT_EQ(general.GetInterfaceFunction(L"Beta"), nullptr);
}

TEST(DllSources, PriorityTextsAndLoadOrder) {
  PluginFolder work;
  for (const wchar_t* module : {L"Alpha", L"Beta", L"Gamma"}) work.Install(L"General", module);
  work.WriteSourcesXml(
      "<SourcesInfo><General><DLL Name=\"Alpha\"><Priority>-1</Priority></DLL>"
      "<DLL Name=\"Gamma\"><Priority>none</Priority></DLL><DLL Name=\"Beta\"><Priority>99999999999</Priority></DLL>"
      "</General></SourcesInfo>");
  CDllSources sources(L"General");
  ASSERT_TRUE(sources.LoadSource(L"Gamma", work.path().c_str()));
  ASSERT_TRUE(sources.LoadSource(L"Alpha", work.path().c_str()));
  ASSERT_TRUE(sources.LoadSource(L"Beta", work.path().c_str()));
  // -1 is the largest unsigned priority; an absurd number saturates.
  EXPECT_EQ(Names(sources), (NameList{L"Gamma", L"Beta", L"Alpha"}));

  // Equal priorities keep load order; a later, smaller priority moves in front.
  work.WriteSourcesXml("<SourcesInfo><General><DLL Name=\"Beta\"><Priority>7</Priority></DLL></General></SourcesInfo>");
  CDllSources fresh(L"General");
  for (const wchar_t* name : {L"Gamma", L"Alpha", L"Beta"}) ASSERT_TRUE(fresh.LoadSource(name, work.path().c_str()));
  EXPECT_EQ(Names(fresh), (NameList{L"Beta", L"Gamma", L"Alpha"}));

  // A second load of a loaded name changes nothing, whatever the file says now.
  work.WriteSourcesXml("<SourcesInfo><General><DLL Name=\"Gamma\"><Priority>1</Priority></DLL></General></SourcesInfo>");
  EXPECT_TRUE(fresh.LoadSource(L"Gamma", work.path().c_str()));
  EXPECT_EQ(Names(fresh), (NameList{L"Beta", L"Gamma", L"Alpha"}));
}

TEST(DllSources, BadModulesAndRegistryFilesAreLoggedAndSkipped) {
  PluginFolder work;
  work.Install(L"General", L"Alpha", L"AlphaD.so");  // counts as Alpha, which is missing
  work.Install(L"General", L"NoEntry");
  work.Install(L"General", L"Broken");
  work.Install(L"General", L"Beta", L"nested/Beta.so");  // loaded from the kind folder, where it is not
  work.Install(L"General", L"Gamma");
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) & 0xFF);
  work.WriteSourcesXml(garbage);

  ProcessLogText();
  CDllSources sources(L"General");
  EXPECT_EQ(sources.LoadSources(work.path().c_str()), 1u);
  EXPECT_EQ(Names(sources), (NameList{L"Gamma"}));
  std::uint32_t priority = 0;
  std::vector<CString> locales;
  ASSERT_TRUE(sources.GetSourceInfo(L"Gamma", priority, locales));
  EXPECT_EQ(priority, 100u);

  const std::wstring log = ProcessLogText();
  const std::wstring general = work.path() + L"General/";
  for (const std::wstring& entry : {L"CDllSources::LoadSource: Path does not exist: " + general + L"Alpha.so",
                                    L"CDllSources::LoadSource: Path does not exist: " + general + L"Beta.so",
                                    L"CDllSources::LoadSource: Failed to GetProcAddress of GetDllInterface - " + general + L"NoEntry.so",
                                    L"CDllSources::LoadSource: Failed loading " + general + L"Broken.so GetLastError():"}) {
    EXPECT_NE(log.find(entry), std::wstring::npos) << std::string(entry.begin(), entry.end());
  }
  EXPECT_FALSE(sources.IsSourceLoaded(L"NoEntry"));
  // A missing kind folder is created and simply holds nothing.
  CDllSources lyrics(L"Lyrics");
  EXPECT_EQ(lyrics.LoadSources(work.path().c_str()), 0u);
  EXPECT_TRUE(platform::IsDirectory(work.path() + L"Lyrics"));
}

class DllSourcesSlots : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* module : {L"Alpha", L"Beta", L"Gamma"}) work_.Install(L"General", module);
    work_.WriteSourcesXml(
        "<SourcesInfo><General><DLL Name=\"Alpha\"><Priority>1</Priority></DLL>"
        "<DLL Name=\"Beta\"><Priority>2</Priority></DLL><DLL Name=\"Gamma\"><Priority>3</Priority></DLL>"
        "</General></SourcesInfo>");
    ASSERT_EQ(sources_.LoadSources(work_.path().c_str()), 3u);
  }
  PluginFolder work_;
  CDllSources sources_{L"General"};
};

TEST_F(DllSourcesSlots, FifthUserOfOnePluginWaitsUntilOneReleases) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sources_.AcquireSource(L"Beta"));
  EXPECT_FALSE(sources_.AcquireSource(L"Unknown"));
  auto fifth = std::async(std::launch::async, [&] { return sources_.AcquireSource(L"Beta"); });
  AwaitWaiters(sources_, 1);
  EXPECT_EQ(sources_.GetUseCount(L"Beta"), 4u);
  sources_.ReleaseSource(L"Beta");
  EXPECT_TRUE(fifth.get());
  EXPECT_EQ(sources_.GetUseCount(L"Beta"), 4u);
  EXPECT_EQ(sources_.WaitingThreadCount(), 0u);

  // Two waiters and two releases before either can act: the second release
  // must not go to the waiter that already holds a wake-up (two wake-ups
  // would merge into one, and the other waiter would sleep on by a free slot).
  auto sixth = std::async(std::launch::async, [&] { return sources_.AcquireSource(L"Beta"); });
  auto seventh = std::async(std::launch::async, [&] { return sources_.AcquireSource(L"Beta"); });
  AwaitWaiters(sources_, 2);
  {
    DllSourcesTestPeer held(sources_);
    sources_.ReleaseSource(L"Beta");
    sources_.ReleaseSource(L"Beta");
  }
  EXPECT_TRUE(sixth.get());
  if (seventh.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "a waiter slept on while a slot was free";
    sources_.ReleaseSource(L"Beta");  // frees it, so the test can end
  }
  EXPECT_TRUE(seventh.get());

  for (int i = 0; i < 4; ++i) sources_.ReleaseSource(L"Beta");
  sources_.ReleaseSource(L"Beta");  // an unmatched release does not wrap the count
  sources_.ReleaseSource(L"Unknown");
  EXPECT_EQ(sources_.GetUseCount(L"Beta"), 0u);
}

TEST_F(DllSourcesSlots, LeastBusyPrefersIdleThenPriorityAndSkipsTried) {
  CString name;
  ASSERT_TRUE(sources_.AcquireSource(L"Alpha"));
  ASSERT_TRUE(sources_.AcquireSource(L"Alpha"));
  ASSERT_TRUE(sources_.AcquireLeastBusySource(name, {}));
  EXPECT_EQ(name, L"Beta");
  ASSERT_TRUE(sources_.AcquireLeastBusySource(name, {L"Beta"}));
  EXPECT_EQ(name, L"Gamma");
  ASSERT_TRUE(sources_.AcquireLeastBusySource(name, {}));
  EXPECT_EQ(name, L"Beta");  // every one busy now: one user beats two, then priority
  EXPECT_FALSE(sources_.AcquireLeastBusySource(name, {L"Alpha", L"Beta", L"Gamma"}));

  // Every candidate full: the caller waits for any release.
  for (const wchar_t* plugin : {L"Alpha", L"Alpha", L"Beta", L"Beta", L"Gamma", L"Gamma", L"Gamma"}) {
    ASSERT_TRUE(sources_.AcquireSource(plugin));
  }
  auto waiting = std::async(std::launch::async, [&] {
    CString got;
    return sources_.AcquireLeastBusySource(got, {L"Alpha"}) ? got : CString(L"failed");
  });
  AwaitWaiters(sources_, 1);
  sources_.ReleaseSource(L"Alpha");  // of no use to it: the wake-up goes on
  sources_.ReleaseSource(L"Gamma");
  EXPECT_EQ(waiting.get(), L"Gamma");
}

TEST_F(DllSourcesSlots, NextSourceGoesStrictlyByPriorityAndWaitsForIt) {
  CString name;
  ASSERT_TRUE(sources_.AcquireNextSource(name, {}));
  EXPECT_EQ(name, L"Alpha");
  ASSERT_TRUE(sources_.AcquireNextSource(name, {L"Alpha"}));
  EXPECT_EQ(name, L"Beta");
  EXPECT_FALSE(sources_.AcquireNextSource(name, {L"Gamma", L"Beta", L"Alpha"}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(sources_.AcquireSource(L"Alpha"));
  // Alpha is full and Beta idle, yet the next source is Alpha: wait for it.
  auto next = std::async(std::launch::async, [&] {
    CString got;
    return sources_.AcquireNextSource(got, {}) ? got : CString(L"failed");
  });
  AwaitWaiters(sources_, 1);
  sources_.ReleaseSource(L"Alpha");
  EXPECT_EQ(next.get(), L"Alpha");
}

// Unloading while threads use plug-ins and wait for them: the waiters are
// refused at once, and the unload is logged as an error.
TEST_F(DllSourcesSlots, UnloadRefusesEveryWaiterAndLogsPluginsInUse) {
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sources_.AcquireSource(L"Alpha"));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sources_.AcquireSource(L"Beta"));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(sources_.AcquireSource(L"Gamma"));
  auto byName = std::async(std::launch::async, [&] { return sources_.AcquireSource(L"Beta"); });
  auto leastBusy = std::async(std::launch::async, [&] {
    CString name;
    return sources_.AcquireLeastBusySource(name, {});
  });
  auto next = std::async(std::launch::async, [&] {
    CString name;
    return sources_.AcquireNextSource(name, {});
  });
  AwaitWaiters(sources_, 3);
  ProcessLogText();
  sources_.UnloadSources();
  EXPECT_FALSE(byName.get());
  EXPECT_FALSE(leastBusy.get());
  EXPECT_FALSE(next.get());
  EXPECT_EQ(sources_.WaitingThreadCount(), 0u);
  const std::wstring log = ProcessLogText();
  EXPECT_NE(log.find(L"CDllSources::UnloadSources: Beta unloaded while in use by 4 thread(s)"), std::wstring::npos);
  EXPECT_NE(log.find(L"CDllSources::UnloadSources: 3 thread(s) waiting for a plug-in refused"), std::wstring::npos);
  sources_.ReleaseSource(L"Beta");  // a late release of an unloaded plug-in is ignored
}

// Many threads load the same plug-in at once: it is registered once.
TEST(DllSources, ConcurrentLoadsOfOneNameRegisterItOnce) {
  PluginFolder work;
  work.Install(L"General", L"Alpha");
  CDllSources sources(L"General");
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> loaded{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        if (sources.LoadSource(L"Alpha", work.path().c_str())) ++loaded;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(loaded.load(), kThreads);
    ASSERT_EQ(sources.GetSourceCount(), 1u) << "round " << round;
    sources.UnloadSources();
  }
}

// A module replaced on disk between unload and load runs its new code. The
// modules are built as a third-party author would (plain compiler, default
// visibility, only the SDK headers), where a GNU unique symbol from the SDK
// would keep the old module resident.
TEST(DllSources, ModuleReplacedBetweenUnloadAndLoadRunsItsNewCode) {
  PluginFolder work;
  const std::wstring file = work.path() + L"General/Reload.so";
  auto sourceName = [](CDllSources& sources) {
    GetDllInterfaceFunction entry = sources.GetInterfaceFunction(L"Reload");
    CString name;
    if (entry) static_cast<CBasicTagsDllInterface*>(entry())->GetProperty(L"sourcename", &name);
    return name;
  };
  work.Install(L"General", L"ReloadOne", L"Reload.so");
  CDllSources sources(L"General");
  ASSERT_TRUE(sources.LoadSource(L"Reload", work.path().c_str()));
  EXPECT_EQ(sourceName(sources), L"ReloadOne");
  const std::size_t mark = ProcessLogText().size();
  sources.UnloadSources();
  // As the updater does: the old file goes, a new one takes its name.
  ASSERT_TRUE(platform::DeleteFile(file));
  work.Install(L"General", L"ReloadTwo", L"Reload.so");
  ASSERT_TRUE(sources.LoadSource(L"Reload", work.path().c_str()));
  EXPECT_EQ(sourceName(sources), L"ReloadTwo");
  EXPECT_EQ(ProcessLogText().find(L"is still resident after it was freed", mark), std::wstring::npos);

  // A module that stays (here: opened once more) is logged as an error.
  platform::DynamicLibrary extra;
  ASSERT_TRUE(extra.Open(file));
  sources.UnloadSources();
  EXPECT_NE(ProcessLogText().find(L"CDllSources::UnloadSources: " + file + L" is still resident after it was freed"),
            std::wstring::npos);
}

}  // namespace
