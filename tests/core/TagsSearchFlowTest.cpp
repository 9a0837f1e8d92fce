#include "core/TagsSearchFlow.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/NimbrelConfig.h"
#include "core/FlowTestKit.h"
#include "core/LocalTagsCache.h"
#include "covers/CoverCache.h"
#include "covers/TestPictures.h"
#include "platform/TextCodec.h"
#include "servercache/NimbrelServerCache.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProcessLog.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using flow_tests::FakeContext;
using flow_tests::LoadedCatalogues;
using flow_tests::RecordingSink;
using Nimbrel::SongInfo;
using testing_support::HttpResponse;
using testing_support::HttpTestServer;
using testing_support::RecordedRequest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// One process-wide environment: a clock that sleeping advances (the server
// client's pauses between look-ups cost nothing) and a private temporary
// folder for the cover cache.
testing_support::FakeEnv& Environment() {
  static testing_support::ScratchFolder* temp = new testing_support::ScratchFolder;
  static testing_support::FakeEnv* env = [] {
    auto* fake = new testing_support::FakeEnv;
    fake->SetTempFolder(temp->path(), true);
    platform::Env::Install(fake);
    return fake;
  }();
  return *env;
}

std::wstring Wide(const std::string& text) { return platform::FromUtf8(text); }

class TagsSearchFlowTest : public ::testing::Test {
 protected:
  TagsSearchFlowTest() {
    (void)kProxyVariablesCleared;
    Environment();
    testing_support::ProcessLogText();
    CNimbrelConfig& config = CNimbrelConfig::Instance();
    config.TagCacheHost = Wide(server.HostPort()).c_str();
    config.HttpProxy = L"0";
    config.Statistics = &sink;
    CNimbrelServerCache::Instance().requestTimeoutMs = 2000;
    server.ServeText("/lookup.php", "");
    // Unique per test: the local tags cache and the server client remember
    // answers for the whole process.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    artist = L"Band " + Wide(info->name());
    NimbrelOptions options;
    options.SearchCover = false;
    options.SuccessCriterion = 0;
    context.SetOptions(options);
  }
  ~TagsSearchFlowTest() override {
    CNimbrelConfig::Instance().Statistics = nullptr;
    // Fills still queued belong to this test's server; and a fill worker
    // alive at exit would outlive OpenSSL's per-thread clean-up.
    CNimbrelServerCache& client = CNimbrelServerCache::Instance();
    client.Stop();
    EXPECT_TRUE(client.WaitUntilNoWorkers(60000));
    // A worker that has let go of its job may still be on its way out.
    while (client.ReapHandles() != 0) std::this_thread::yield();
  }

  // A catalogue holding `title` on one album of the test's artist.
  std::string Album(const std::string& key, const std::string& title = "Song",
                    const std::string& cover = "") const {
    return "search 2\nalbum " + platform::ToUtf8(artist) + "\tRecord " + key + "\t" + platform::ToUtf8(artist) +
           key + "\t" + cover + "\t" + title + "\n";
  }
  std::uint32_t AddSong(const std::wstring& title = L"Song") { return context.AddSong(artist, title); }
  int Lookups(const std::string& searcher) const {
    int count = 0;
    for (const RecordedRequest& r : server.Requests())
      count += r.path == "/lookup.php" && r.body.find("searcher=" + searcher) != std::string::npos;
    return count;
  }
  // Failure reports for the song as a whole (a source's own miss names it).
  int ChainFailReports() const {
    int count = 0;
    for (const RecordedRequest& r : server.Requests())
      count += r.path == "/reportFail.php" && r.body.find("source=") == std::string::npos;
    return count;
  }
  // A known answer of `source` in the local tags cache.
  void Remember(const std::wstring& source, const std::wstring& album, const std::wstring& genre = L"",
                std::uint32_t track = 0, bool found = true) {
    SongInfo record(artist, L"Song", album);
    record.albumInfo.genre = genre;
    record.trackInfo.trackNumber = track;
    record.source = source;
    CLocalTagsCache::Instance().AddBasicResult(artist, L"Song", source, record, found);
  }
  std::set<std::wstring> CoveredInLocalCache() {
    std::vector<SongInfo> records;
    std::set<std::wstring> covered;
    CLocalTagsCache::Instance().FindBasicResults(artist, L"Song", records, covered);
    return covered;
  }

  HttpTestServer server;
  RecordingSink sink;
  FakeContext context;
  CTagsSearchFlow flow{context};
  std::wstring artist;
};

// --- The chain ---------------------------------------------------------------

TEST_F(TagsSearchFlowTest, KnownResultsCoveringEverySourceMakeNoPluginCall) {
  LoadedCatalogues sources({{L"musicbrainz", Album("1")}, {L"SrcA", Album("2")}});
  Remember(L"musicbrainz", L"Known");
  Remember(L"SrcA", L"Known");
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"musicbrainz", L"FindAlbums"));
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_EQ(L"Known", context.FindSong(id)->Candidates().at(0).albumInfo.album);
}

// A remembered answer is the song's answer only when it is of the album the
// song names: the same title on a deluxe edition is asked for, and the answer
// of another album is no candidate beside it, neither while the song still
// lacks a cover nor once both albums are remembered.
TEST_F(TagsSearchFlowTest, KnownResultsOfAnotherAlbumLeaveTheSourceToBeAskedForTheSongsAlbum) {
  NimbrelOptions options = context.Options();
  options.SearchCover = true;  // no album has one: the song stays short of enough answers
  context.SetOptions(options);
  const std::string band = platform::ToUtf8(artist);
  LoadedCatalogues sources({{L"SrcA", "search 2\nalbum " + band + "\tRecord\t" + band + "r\t\tSong\nalbum " + band +
                                          "\tRecord (Deluxe)\t" + band + "d\t\tSong\n"}});
  Remember(L"SrcA", L"Record");
  const std::uint32_t same = context.AddSong(artist, L"Song", L" record ");
  flow.SearchBasicTags(same);
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(L"Record", context.FindSong(same)->Candidates().at(0).albumInfo.album);

  const std::uint32_t deluxe = context.AddSong(artist, L"Song", L"Record (Deluxe)");
  flow.SearchBasicTags(deluxe);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums"));
  const auto albums = [&](std::uint32_t id) {
    std::set<std::wstring> names;
    for (const SongInfo& candidate : context.FindSong(id)->Candidates()) names.insert(candidate.albumInfo.album);
    return names;
  };
  EXPECT_EQ(std::set<std::wstring>{L"Record (Deluxe)"}, albums(deluxe));

  const std::uint32_t again = context.AddSong(artist, L"Song", L"Record (Deluxe)");
  flow.SearchBasicTags(again);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(std::set<std::wstring>{L"Record (Deluxe)"}, albums(again));
}

// The answer to a song that names its album is that album's: a later song
// of the same title without an album asks the source, which shows the title
// on both albums.
TEST_F(TagsSearchFlowTest, AnAnswerForANamedAlbumDoesNotAnswerTheTitleWithoutOne) {
  const std::string band = platform::ToUtf8(artist);
  LoadedCatalogues sources({{L"SrcA", "search 2\nalbum " + band + "\tRecord\t" + band + "r\t\tSong\nalbum " + band +
                                          "\tRecord (Deluxe)\t" + band + "d\t\tSong\n"}});
  const std::uint32_t deluxe = context.AddSong(artist, L"Song", L"Record (Deluxe)");
  flow.SearchBasicTags(deluxe);
  ASSERT_EQ(1u, context.FindSong(deluxe)->Candidates().size());
  const std::uint32_t plain = context.AddSong(artist, L"Song");
  flow.SearchBasicTags(plain);
  EXPECT_EQ(2, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(2u, context.FindSong(plain)->Candidates().size());
}

TEST_F(TagsSearchFlowTest, KnownResultsOfAnotherAlbumAreTheAnswerWhenTheSourcesFindNothing) {
  LoadedCatalogues sources({{L"SrcA", "search 2\n"}});
  Remember(L"SrcA", L"Record");
  const std::uint32_t live = context.AddSong(artist, L"Song", L"Live");
  flow.SearchBasicTags(live);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums"));
  ASSERT_EQ(1u, context.FindSong(live)->Candidates().size());
  EXPECT_EQ(L"Record", context.FindSong(live)->Candidates()[0].albumInfo.album);
}

TEST_F(TagsSearchFlowTest, KnownMissesOfEverySourceEndTheChainWithoutAsking) {
  LoadedCatalogues sources({{L"musicbrainz", Album("1")}, {L"SrcA", Album("2")}});
  Remember(L"musicbrainz", L"", L"", 0, false);
  Remember(L"SrcA", L"", L"", 0, false);
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"musicbrainz", L"FindAlbums"));
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_TRUE(context.FindSong(id)->Candidates().empty());
}

// A search of the whole artist that lacks one title leaves the source free
// for the artist's other titles, and those are matched against the albums it
// already fetched.
TEST_F(TagsSearchFlowTest, AnArtistWideMissLeavesTheSourceForOtherTitles) {
  const std::string band = platform::ToUtf8(artist);
  LoadedCatalogues sources(
      {{L"SrcA", "search 0\nalbum " + band + "\tRecord\t" + band + "k\t\tHit\n"}});
  const std::uint32_t missing = AddSong(L"Missing");
  flow.SearchBasicTags(missing);
  EXPECT_TRUE(context.FindSong(missing)->Candidates().empty());
  const std::uint32_t hit = AddSong(L"Hit");
  flow.SearchBasicTags(hit);
  ASSERT_EQ(1u, context.FindSong(hit)->Candidates().size());
  EXPECT_EQ(L"Record", context.FindSong(hit)->Candidates()[0].albumInfo.album);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"GetAlbumDetails"));
}

TEST_F(TagsSearchFlowTest, CriterionOneWithoutTrackNumbersGoesOnAndForeignNamesDoNotCover) {
  // The remembered answer has album and genre but no track number, and comes
  // from a source that is not loaded here: it covers nothing.
  NimbrelOptions options = context.Options();
  options.SuccessCriterion = 1;
  context.SetOptions(options);
  LoadedCatalogues sources({{L"SrcA", Album("1")}});
  Remember(L"Elsewhere", L"Known", L"Rock", 0);
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(1, Lookups("1"));
  const auto searched = context.FindSong(id)->SearchedSources();
  EXPECT_TRUE(searched.count(L"SrcA"));
  // The remembered genre and the found track number together satisfy it.
  EXPECT_EQ(1, sink.Count(L"SuccessAfterMusicbrainzFailure"));
}

TEST_F(TagsSearchFlowTest, EverySourceIsAskedOnceEvenWhenNoneFindsAnything) {
  // Without marking, the same sources would be handed out again without end.
  LoadedCatalogues sources({{L"musicbrainz", "search 2\n"}, {L"SrcA", "search 2\n"}, {L"SrcB", "search 2\n"}});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  for (const wchar_t* name : {L"musicbrainz", L"SrcA", L"SrcB"}) {
    EXPECT_EQ(1, sources.Calls(name, L"FindAlbums")) << name;
    EXPECT_EQ(0u, sources.UseCount(name)) << name;
  }
  EXPECT_EQ(3u, context.FindSong(id)->SearchedSources().size());
  EXPECT_EQ(1, ChainFailReports());
  EXPECT_EQ(1, Lookups("0"));
  EXPECT_EQ(1, sink.Count(L"FailureAfterMusicbrainzFailure"));
  EXPECT_EQ(0, sink.Count(L"SuccessAfterMusicbrainzFailure"));
  EXPECT_EQ(1, sink.Count(L"Success_SrcA"));  // each source search writes its statistics
}

TEST_F(TagsSearchFlowTest, WithoutSourcesTheFailureIsReportedAndCounted) {
  LoadedCatalogues none({});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  const auto requests = server.Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_NE(std::string::npos, requests[0].body.find("searcher=1"));
  EXPECT_EQ("/reportFail.php", requests[1].path);
  EXPECT_NE(std::string::npos, requests[2].body.find("searcher=0"));
  EXPECT_EQ(1, sink.Count(L"FailureAfterMusicbrainzFailure"));
  EXPECT_TRUE(context.FindSong(id)->Candidates().empty());
}

TEST_F(TagsSearchFlowTest, FoundByAnotherSourceCountsAsSuccessAfterMusicbrainz) {
  LoadedCatalogues sources({{L"musicbrainz", "search 2\n"}, {L"SrcA", Album("1")}});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(1, sink.Count(L"SuccessAfterMusicbrainzFailure"));
  EXPECT_EQ(0, sink.Count(L"FailureAfterMusicbrainzFailure"));
  const auto candidates = context.FindSong(id)->Candidates();
  ASSERT_EQ(1u, candidates.size());
  EXPECT_EQ(L"SrcA", candidates[0].source);
  // The answer is known to the process now: the same song again asks nobody.
  const std::uint32_t again = AddSong();
  const int lookups = Lookups("1");
  flow.SearchBasicTags(again);
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(lookups, Lookups("1"));
}

TEST_F(TagsSearchFlowTest, PluginThatThrowsIsPassedOverAndItsSlotGivenBack) {
  LoadedCatalogues sources({{L"SrcA", "search 2\nthrow\n"}, {L"SrcB", Album("1")}});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(1u, context.FindSong(id)->Candidates().size());
  EXPECT_EQ(0u, sources.UseCount(L"SrcA"));
  EXPECT_EQ(0u, sources.UseCount(L"SrcB"));
}

TEST_F(TagsSearchFlowTest, GarbageAnswersLeaveNoBrokenCandidate) {
  // Empty albums, an album without name, and a long list of others.
  const std::string band = platform::ToUtf8(artist);
  std::string data = "search 2\nalbum " + band + "\t\tempty\t\nalbum " + band + "\t\tnameless\t\tSong\n";
  for (int i = 0; i < 200; ++i) {
    data += "album " + band + "\tRecord " + std::to_string(i) + "\tmany" + std::to_string(i) + "\t\tSong\tSong\n";
  }
  LoadedCatalogues sources({{L"SrcA", data}});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  for (const SongInfo& c : context.FindSong(id)->Candidates()) EXPECT_EQ(L"Song", c.trackInfo.title);
  EXPECT_EQ(0u, sources.UseCount(L"SrcA"));
}

TEST_F(TagsSearchFlowTest, SongsSearchedOnSeveralThreadsEachGetTheirAnswer) {
  // Titles far apart, so that no song takes another's answer from the cache.
  const std::string band = platform::ToUtf8(artist);
  std::string data = "search 2\n";
  std::vector<std::uint32_t> ids;
  for (int album = 0; album < 4; ++album) {
    data += "album " + band + "\tRecord " + std::to_string(album) + "\tthreads" + std::to_string(album) + "\t";
    for (int track = 0; track < 5; ++track) {
      const std::string title(30, static_cast<char>('a' + album * 5 + track));
      data += "\t" + title;
      ids.push_back(AddSong(Wide(title)));
    }
    data += "\n";
  }
  LoadedCatalogues sources({{L"musicbrainz", "search 2\n"}, {L"SrcA", data}}, {{L"LyrA", "search 2\n"}});
  std::vector<std::thread> workers;
  for (std::size_t w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      for (std::size_t i = w; i < ids.size(); i += 4) {
        flow.SearchBasicTags(ids[i]);
        flow.SearchLyrics(ids[i]);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  for (std::uint32_t id : ids) {
    const auto candidates = context.FindSong(id)->Candidates();
    ASSERT_EQ(1u, candidates.size()) << id;
    EXPECT_EQ(context.FindSong(id)->Input().trackInfo.title, candidates[0].trackInfo.title);
  }
  EXPECT_EQ(0u, sources.UseCount(L"SrcA") + sources.UseCount(L"musicbrainz") + sources.UseCount(L"LyrA", kSourceLyrics));
  EXPECT_EQ(static_cast<int>(ids.size()), sink.Count(L"SuccessAfterMusicbrainzFailure"));
}

// --- Stop and removal --------------------------------------------------------

struct StopAt {
  FakeContext* context;
  std::uint32_t removeId;  // 0: stop instead
  static void Run(void* self) {
    auto* at = static_cast<StopAt*>(self);
    if (at->removeId) {
      at->context->RemoveSong(at->removeId);
    } else {
      at->context->Stop();
    }
  }
};

TEST_F(TagsSearchFlowTest, StopDuringAllSourcesStopsTheEngineAndEndsTheLoop) {
  const std::string stall = "stall FindAlbums 1\n";
  LoadedCatalogues sources({{L"SrcA", Album("1") + stall}, {L"SrcB", Album("2") + stall}});
  StopAt at{&context, 0};
  catalogue::StallHook hook{&StopAt::Run, &at};
  sources.SetStallHook(L"SrcA", &hook);
  sources.SetStallHook(L"SrcB", &hook);
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);  // returns only when the stalled engine saw the stop
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums") + sources.Calls(L"SrcB", L"FindAlbums"));
  EXPECT_EQ(0u, sink.Size());  // neither the source's nor the chain's statistics
  EXPECT_EQ(0, ChainFailReports());
  EXPECT_EQ(0, Lookups("0"));
  EXPECT_TRUE(context.BasicEngines().Empty());
}

TEST_F(TagsSearchFlowTest, RemovalDuringAllSourcesNeitherReportsNorLooksUpAgain) {
  const std::string stall = "stall FindAlbums 1\n";
  LoadedCatalogues sources({{L"SrcA", "search 2\n" + stall}, {L"SrcB", "search 2\n" + stall}});
  const std::uint32_t id = AddSong();
  StopAt at{&context, id};
  catalogue::StallHook hook{&StopAt::Run, &at};
  sources.SetStallHook(L"SrcA", &hook);
  sources.SetStallHook(L"SrcB", &hook);
  // The removal alone does not stop the engine: end the stall from outside.
  std::thread stopper([&] {
    while (context.FindSong(id)) std::this_thread::yield();
    context.BasicEngines().StopAll();
  });
  flow.SearchBasicTags(id);
  stopper.join();
  EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums") + sources.Calls(L"SrcB", L"FindAlbums"));
  EXPECT_EQ(0, ChainFailReports());
  EXPECT_EQ(0, Lookups("0"));
  EXPECT_EQ(0, sink.Count(L"FailureAfterMusicbrainzFailure"));
  EXPECT_EQ(0, sink.Count(L"SuccessAfterMusicbrainzFailure"));
}

// --- The tag-cache server ----------------------------------------------------

TEST_F(TagsSearchFlowTest, ServerRecordIsTakenAndEndsTheChain) {
  LoadedCatalogues sources({{L"SrcA", Album("1")}});
  server.ServeText("/lookup.php", "artist=" + platform::ToUtf8(artist) +
                                      "\r\ntitle=Song\r\nalbum=Served\r\ngenre=Pop\r\nsource=Remote\r\n");
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  const auto candidates = context.FindSong(id)->Candidates();
  ASSERT_EQ(1u, candidates.size());
  EXPECT_EQ(L"Served", candidates[0].albumInfo.album);
  EXPECT_TRUE(candidates[0].coverInfo.coverFile.empty());  // not the file's values
  EXPECT_TRUE(CoveredInLocalCache().count(L"Remote"));
}

TEST_F(TagsSearchFlowTest, ServerNotKnowingFailingStallingOrDroppingGoesOnToTheSources) {
  CNimbrelServerCache::Instance().requestTimeoutMs = 300;
  const std::wstring base = artist;
  for (int behaviour = 0; behaviour < 4; ++behaviour) {
    HttpTestServer bad;
    if (behaviour == 0) bad.ServeText("/lookup.php", "");
    if (behaviour == 1) bad.Serve("/lookup.php", HttpResponse{500, "Oops", {}, "artist=x\r\ntitle=y\r\n"});
    if (behaviour == 2) bad.Stall("/lookup.php");
    if (behaviour == 3) bad.DropMidBody("/lookup.php", 200, "artist=x\r\n");
    CNimbrelConfig::Instance().TagCacheHost = Wide(bad.HostPort()).c_str();
    artist = base + std::wstring(40, static_cast<wchar_t>(L'k' + behaviour));  // far apart for the cache's look-up
    LoadedCatalogues sources({{L"SrcA", Album("1")}});
    const std::uint32_t id = AddSong();
    flow.SearchBasicTags(id);
    EXPECT_EQ(1, sources.Calls(L"SrcA", L"FindAlbums")) << behaviour;
    EXPECT_EQ(1u, context.FindSong(id)->Candidates().size()) << behaviour;
    // The found song's fill is sent in the background and reads the host from
    // the configuration: let it end before the next round changes the host.
    CNimbrelServerCache::Instance().Stop();
    ASSERT_TRUE(CNimbrelServerCache::Instance().WaitUntilNoWorkers(60000)) << behaviour;
  }
}

TEST_F(TagsSearchFlowTest, ServerStillWorkingEndsTheChainWithoutRecordingAnySource) {
  LoadedCatalogues sources({{L"SrcA", Album("1")}});
  server.Serve("/lookup.php", HttpResponse{202, "Accepted", {}, ""});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_GT(Lookups("1"), 1);  // asked again while the server worked, on the fake clock
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_TRUE(CoveredInLocalCache().empty());
  EXPECT_TRUE(context.FindSong(id)->SearchedSources().empty());
  EXPECT_NE(std::wstring::npos, testing_support::ProcessLogText().find(L"Waited for 5mins for cache"));
}

TEST_F(TagsSearchFlowTest, ServerSayingSkipRecordsEveryLoadedSource) {
  LoadedCatalogues sources({{L"SrcA", Album("1")}, {L"SrcB", Album("2")}});
  server.Serve("/lookup.php", HttpResponse{404, "Not Found", {}, "skip search"});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums") + sources.Calls(L"SrcB", L"FindAlbums"));
  EXPECT_EQ((std::set<std::wstring>{L"SrcA", L"SrcB"}), CoveredInLocalCache());
  EXPECT_EQ((std::set<std::wstring>{L"SrcA", L"SrcB"}), context.FindSong(id)->SearchedSources());
}

TEST_F(TagsSearchFlowTest, ServerNamingSourcesCountsOnlyDistinctLoadedOnes) {
  LoadedCatalogues sources({{L"SrcA", "search 2\n"}, {L"SrcB", Album("2")}});
  // Three names, but only one loaded source among them.
  server.Serve("/lookup.php", HttpResponse{207, "Multi", {}, "SrcA, SrcA, Remote"});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(1, sources.Calls(L"SrcB", L"FindAlbums"));
  EXPECT_EQ(0, ChainFailReports());
  EXPECT_EQ(1u, context.FindSong(id)->Candidates().size());
}

TEST_F(TagsSearchFlowTest, ServerNamingEverySourceReportsAndLooksUpOnce) {
  LoadedCatalogues sources({{L"SrcA", Album("1")}});
  server.Handle("/lookup.php", [](const RecordedRequest& r) {
    if (r.body.find("searcher=1") != std::string::npos) return HttpResponse{207, "Multi", {}, "SrcA"};
    return HttpResponse{404, "Not Found", {}, "unknown"};
  });
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  EXPECT_EQ(0, sources.Calls(L"SrcA", L"FindAlbums"));
  EXPECT_EQ(1, ChainFailReports());
  EXPECT_EQ(1, Lookups("0"));
  EXPECT_TRUE(CoveredInLocalCache().count(L"SrcA"));
  (void)id;
}

// --- Covers ------------------------------------------------------------------

TEST_F(TagsSearchFlowTest, AsinCandidateAsksCoverRetrievalForTheArticleNumberAlone) {
  NimbrelOptions options = context.Options();
  options.SearchCover = true;
  context.SetOptions(options);
  testing_support::ScratchFolder folder;
  const std::wstring picture = folder / L"front.jpg";
  testing_support::WriteFileBytes(picture, test_pictures::Make(test_pictures::Kind::kJpeg));
  context.coverFiles[L"B000TEST"] = picture;
  LoadedCatalogues sources({{L"musicbrainz", Album("1", "Song", "ASIN=B000TEST")}});
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  ASSERT_EQ(1u, context.coverRequests.size());
  EXPECT_EQ(L"B000TEST", context.coverRequests[0].asin);
  EXPECT_EQ(L"", context.coverRequests[0].artist);
  EXPECT_EQ(L"", context.coverRequests[0].album);
  EXPECT_TRUE(context.coverRequests[0].abortable);
  EXPECT_FALSE(context.coverRequests[0].thumbnail);
  const auto candidates = context.FindSong(id)->Candidates();
  ASSERT_EQ(1u, candidates.size());
  EXPECT_EQ(picture, candidates[0].coverInfo.coverFile);
}

TEST_F(TagsSearchFlowTest, ServerRecordWithAsinIsResolvedNotDownloaded) {
  NimbrelOptions options = context.Options();
  options.SearchCover = true;
  context.SetOptions(options);
  LoadedCatalogues none({});
  server.ServeText("/lookup.php", "artist=" + platform::ToUtf8(artist) +
                                      "\r\ntitle=Song\r\nalbum=Served\r\ncoverurl=ASIN=B0SERVED\r\nsource=Remote\r\n");
  const std::uint32_t id = AddSong();
  flow.SearchBasicTags(id);
  ASSERT_FALSE(context.coverRequests.empty());
  EXPECT_EQ(L"B0SERVED", context.coverRequests[0].asin);
  for (const RecordedRequest& r : server.Requests()) EXPECT_EQ(std::string::npos, r.target.find("ASIN"));
  EXPECT_EQ(1u, context.FindSong(id)->Candidates().size());
}

TEST_F(TagsSearchFlowTest, ServerRecordsCoverIsDownloadedOnlyWhenItIsAPicture) {
  NimbrelOptions options = context.Options();
  options.SearchCover = true;
  context.SetOptions(options);
  LoadedCatalogues none({});
  server.ServeText("/good.png", test_pictures::Make(test_pictures::Kind::kPng), "image/png");
  server.ServeText("/bad.png", "<html>not a picture</html>", "image/png");
  std::vector<std::wstring> files;
  for (const std::string cover : {"/good.png", "/bad.png"}) {
    server.ServeText("/lookup.php", "artist=" + platform::ToUtf8(artist) + "\r\ntitle=Song\r\nalbum=Served" +
                                        cover + "\r\ncoverurl=" + server.Url(cover) + "\r\nsource=Remote\r\n");
    const std::uint32_t id = AddSong();
    flow.SearchBasicTags(id);
    const auto candidates = context.FindSong(id)->Candidates();
    ASSERT_EQ(1u, candidates.size()) << cover;  // stored with or without its cover
    files.push_back(candidates[0].coverInfo.coverFile);
    artist = std::wstring(40, L'w') + artist;
  }
  EXPECT_FALSE(files[0].empty());
  EXPECT_TRUE(files[1].empty());
}

// --- Lyrics ------------------------------------------------------------------

TEST_F(TagsSearchFlowTest, LyricsAreFoundOnceAndThenComeFromTheLocalCache) {
  const std::string data = "search 2\nlyric " + platform::ToUtf8(artist) + "\tSong\tpage-1\tThe words\n";
  LoadedCatalogues sources({}, {{L"LyrA", data}, {L"LyrB", data}});
  const std::uint32_t id = AddSong();
  flow.SearchLyrics(id);
  auto song = context.FindSong(id);
  ASSERT_EQ(1u, song->LyricsCandidateCount());
  EXPECT_EQ(0u, song->GetLyricsCandidate(0).lyrics.find(L"The words"));
  const int calls = sources.Calls(L"LyrA", L"FindAlbums", true) + sources.Calls(L"LyrB", L"FindAlbums", true);
  EXPECT_EQ(1, calls);  // the first source in priority order had them

  const std::uint32_t again = AddSong();
  flow.SearchLyrics(again);
  EXPECT_EQ(0u, context.FindSong(again)->GetLyricsCandidate(0).lyrics.find(L"The words"));
  EXPECT_EQ(calls, sources.Calls(L"LyrA", L"FindAlbums", true) + sources.Calls(L"LyrB", L"FindAlbums", true));
}

TEST_F(TagsSearchFlowTest, LyricsSourceIsAskedThoughAnotherMachinesSourceAnswered) {
  NimbrelOptions options = context.Options();
  options.SuccessCriterion = 1;
  context.SetOptions(options);
  Nimbrel::LyricsInfo miss;
  miss.artist = artist;
  miss.title = L"Song";
  CLocalTagsCache::Instance().AddLyricsResult(artist, L"Song", L"RemoteLyrics", miss, false);
  LoadedCatalogues sources({}, {{L"LyrA", "search 2\nlyric " + platform::ToUtf8(artist) + "\tSong\tp\tWords\n"}});
  const std::uint32_t id = AddSong();
  flow.SearchLyrics(id);
  EXPECT_EQ(1, sources.Calls(L"LyrA", L"FindAlbums", true));
  EXPECT_EQ(1u, context.FindSong(id)->LyricsCandidateCount());
}

}  // namespace

namespace {

// Criterion 3 counts asked sources among the loaded ones only.
TEST(SourceCountingTest, CriterionThreeCountsOnlyLoadedNames) {
  CNimbrelSong song;
  const std::set<std::wstring> loaded{L"SrcA", L"SrcB"};
  song.MarkSearched(L"SrcA");
  song.MarkSearched(L"Remote");
  EXPECT_TRUE(song.IsFailed(true, true, 3, loaded));
  song.MarkSearched(L"SrcB");
  EXPECT_FALSE(song.IsFailed(true, true, 3, loaded));
  song.MarkLyricsSearched(L"Remote");
  song.MarkLyricsSearched(L"LyrA");
  EXPECT_TRUE(song.IsLyricsFailed(3, std::set<std::wstring>{L"LyrA", L"LyrB"}));
}

}  // namespace
