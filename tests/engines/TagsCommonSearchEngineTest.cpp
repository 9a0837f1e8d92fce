#include "engines/TagsCommonSearchEngine.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "support/FakeEnv.h"
#include "support/ProcessLog.h"

namespace {

using testing_support::ProcessLogText;

// An in-process plug-in that records what the engine passes to it.
class FakePlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    received[name.str()] = *static_cast<const CString*>(value);
    return accept ? 1 : 0;
  }
  std::int32_t GetProperty(const CString& name, void* out) override {
    if (name == L"SourceName") *static_cast<CString*>(out) = L"fakesource";
    else if (name == L"StatisticDownloadCounter") *static_cast<std::int32_t*>(out) = 7;
    else return 0;
    return 1;
  }
  std::int32_t CallMethod(const CString&, void*) override { return 1; }
  std::int32_t FindAlbumsByArtist(const CString*, std::list<Nimbrel::AlbumResult>&) override { return 0; }
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo*, Nimbrel::CoverInfo*, std::list<Nimbrel::TrackInfo>*) override { return 0; }
  std::int32_t Connect(IBasicTagsSearchEngine* engine) override {
    connectedTo = engine;
    return connectAnswer;
  }
  std::int32_t FindAlbums(const CString*, const CString*, std::list<Nimbrel::AlbumResult>&, bool) override { return 0; }

  std::map<std::wstring, CString> received;
  bool accept = true;
  IBasicTagsSearchEngine* connectedTo = nullptr;
  std::int32_t connectAnswer = 1;
};

// The base with the concrete engine's slots left empty, and its bracket and
// members opened to the tests.
class TestEngine : public CTagsCommonSearchEngine<CBasicTagsDllInterface> {
 public:
  void GetAllBasicTags(std::list<Nimbrel::SongQuery>) override {}
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo*, Nimbrel::CoverInfo*, std::list<Nimbrel::TrackInfo>*) override { return 0; }
  std::int32_t DownloadCover(const CString*, const CString*, Nimbrel::CoverInfo*) override { return 0; }

  std::unique_ptr<SearchBracket> Begin(std::size_t songs) { return std::make_unique<SearchBracket>(*this, songs); }
  bool forcedByArtist() const { return forceSearchByArtist; }
  bool stopped() const { return stopFlag.load(); }
};

std::uint32_t U32Property(TestEngine& engine, const wchar_t* name) {
  std::uint32_t value = 12345;
  EXPECT_EQ(engine.GetProperty(name, &value), 1) << name;
  return value;
}

const CString kBasicPrefix = L"CTagsCommonSearchEngine<class CBasicTagsDllInterface>::";

TEST(TagsCommonSearchEngine, SetPropertyRowsStoreOrPassThroughAndRefuseTheRest) {
  ProcessLogText();
  FakePlugin plugin;  // outlives the engine, which says goodbye to it
  TestEngine engine;
  ASSERT_EQ(engine.Connect(&plugin), 1);
  EXPECT_EQ(plugin.connectedTo, static_cast<IBasicTagsSearchEngine*>(&engine));

  float difference = 0.25f;
  std::int32_t timeOut = 1500;
  CString proxy = L"proxy.local:3128";
  CString folder = L"/logs/";
  EXPECT_EQ(engine.SetProperty(L"MaxMatchDifference", &difference), 1);
  EXPECT_EQ(engine.SetProperty(L"TimeOut", &timeOut), 1);
  EXPECT_EQ(engine.SetProperty(L"HttpProxy", &proxy), 1);
  EXPECT_EQ(engine.SetProperty(L"LogFolder", &folder), 1);
  EXPECT_EQ(engine.SetProperty(L"LocalCacheFolder", &folder), 1);
  bool no = false;
  EXPECT_EQ(engine.SetProperty(L"ForceSearchByArtist", &no), 1);
  EXPECT_TRUE(engine.forcedByArtist());

  // The proxy, the default of the plug-in's own requests, and the logging properties reach the plug-in.
  EXPECT_EQ(plugin.received[L"HttpProxy"], L"proxy.local:3128");
  EXPECT_EQ(plugin.received[L"LogFolder"], L"/logs/");
  EXPECT_EQ(plugin.received[L"LocalCacheFolder"], L"/logs/");
  plugin.accept = false;
  EXPECT_EQ(engine.SetProperty(L"TraceLevel", &folder), 0);

  // A null value falls through every row.
  EXPECT_EQ(engine.SetProperty(L"MaxMatchDifference", nullptr), 0);
  EXPECT_EQ(engine.SetProperty(L"Unheard", &timeOut), 0);
  const std::wstring log = ProcessLogText();
  EXPECT_NE(log.find((kBasicPrefix + L"SetProperty: MaxMatchDifference:  - Can not be set.").str()), std::wstring::npos);
  EXPECT_NE(log.find((kBasicPrefix + L"SetProperty: Unheard:  - Can not be set.").str()), std::wstring::npos);
  EXPECT_NE(log.find((kBasicPrefix + L"SetProperty: MaxMatchDifference: 0.250000").str()), std::wstring::npos);
}

TEST(TagsCommonSearchEngine, WithoutInterfacePassThroughFailsWithErrorEntries) {
  ProcessLogText();
  TestEngine engine;
  CString text = L"x";
  EXPECT_EQ(engine.GetProperty(L"SourceName", &text), 0);
  EXPECT_EQ(engine.SetProperty(L"TraceLevel", &text), 0);
  EXPECT_EQ(engine.GetProperty(L"NoSuchThing", &text), 0);
  EXPECT_EQ(engine.GetProperty(L"TimeOut", nullptr), 0);
  EXPECT_EQ(engine.CallMethod(L"GetCover_by_asin", &text), 0);
  const std::wstring log = ProcessLogText();
  for (const wchar_t* entry : {L"GetProperty: SourceName: Interface = NULL", L"SetProperty: TraceLevel: Interface = NULL",
                               L"GetProperty: NoSuchThing: Property not found.", L"GetProperty: TimeOut: Property not found.",
                               L"CallMethod: Method not found: GetCover_by_asin"}) {
    EXPECT_NE(log.find((kBasicPrefix + entry).str()), std::wstring::npos) << entry;
  }
}

TEST(TagsCommonSearchEngine, PropertiesAreFrozenWhileASearchRuns) {
  ProcessLogText();
  TestEngine engine;
  std::int32_t timeOut = 5;
  {
    auto bracket = engine.Begin(3);
    EXPECT_EQ(engine.GetActiveSearchCount(), 1);
    const std::size_t before = ProcessLogText().size();
    EXPECT_EQ(engine.SetProperty(L"TimeOut", &timeOut), 0);
    EXPECT_EQ(engine.SetProperty(L"Unheard", &timeOut), 0);
    EXPECT_EQ(ProcessLogText().size(), before);
  }
  EXPECT_EQ(engine.GetActiveSearchCount(), 0);
  EXPECT_EQ(engine.SetProperty(L"TimeOut", &timeOut), 1);
}

TEST(TagsCommonSearchEngine, TimeOutStopsTheEngineOnlyWhileSearchingAndPastTheLimit) {
  ProcessLogText();
  testing_support::FakeEnv env;
  platform::ScopedEnv scoped(&env);
  FakePlugin plugin;
  TestEngine engine;
  engine.Connect(&plugin);
  env.AdvanceMs(1000);  // the timer's start of 0 means "never started"

  EXPECT_FALSE(engine.IsTimeOut());  // no search runs
  {
    auto bracket = engine.Begin(1);
    EXPECT_FALSE(engine.IsStopped());  // limit 0, no tick yet
    env.AdvanceMs(1);
    EXPECT_TRUE(engine.IsStopped());
    EXPECT_TRUE(engine.stopped());
  }
  std::int32_t limit = 100;
  ASSERT_EQ(engine.SetProperty(L"TimeOut", &limit), 1);
  auto bracket = engine.Begin(1);
  EXPECT_FALSE(engine.IsStopped()) << "a new search clears the stop";
  env.AdvanceMs(100);
  EXPECT_FALSE(engine.IsTimeOut());
  env.AdvanceMs(1);
  EXPECT_TRUE(engine.IsTimeOut());
  EXPECT_NE(ProcessLogText().find((kBasicPrefix + L"IsTimeOut: TIMEOUT - Source: fakesource").str()), std::wstring::npos);
}

TEST(TagsCommonSearchEngine, OverlappingSearchesShareOneTimedInterval) {
  testing_support::FakeEnv env;
  platform::ScopedEnv scoped(&env);
  TestEngine engine;
  env.AdvanceMs(500);
  engine.Begin(0);  // no songs: nothing counted
  EXPECT_EQ(U32Property(engine, L"StatisticSearchedTracks"), 0u);
  {
    auto first = engine.Begin(2);
    env.AdvanceMs(10);
    auto second = engine.Begin(3);
    env.AdvanceMs(20);
    first.reset();  // closes the shared interval: 30 ms
    env.AdvanceMs(5);
  }  // the second adds what ran after the first ended
  EXPECT_EQ(U32Property(engine, L"StatisticTime"), 35u);
  EXPECT_EQ(U32Property(engine, L"StatisticSearchedTracks"), 5u);
  EXPECT_EQ(U32Property(engine, L"StatisticFoundNumber"), 0u);
  env.AdvanceMs(100);  // idle time is not counted
  engine.Begin(1).reset();
  EXPECT_EQ(U32Property(engine, L"StatisticTime"), 35u);
}

TEST(TagsCommonSearchEngine, ConcurrentSearchesAndStopsBalanceTheCounters) {
  TestEngine engine;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto bracket = engine.Begin(1);
        engine.IsStopped();
        engine.SetStop();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(engine.GetActiveSearchCount(), 0);
  EXPECT_EQ(U32Property(engine, L"StatisticSearchedTracks"), 2000u);
}

}  // namespace
