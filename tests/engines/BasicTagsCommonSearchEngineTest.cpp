#include "engines/BasicTagsCommonSearchEngine.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>
#include <tuple>

#include "covers/CoverCache.h"
#include "engines/AlbumMemory.h"
#include "covers/TestPictures.h"
#include "engines/SearchEngineTestKit.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"
#include "support/plugins/CatalogueSource.h"

namespace {

using engine_tests::Logged;
using engine_tests::Recorder;
using engine_tests::Song;
using Titles = std::vector<std::wstring>;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

class BasicEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::ProcessLogText(); }

  // An engine connected to the catalogue with every callback set, reporting to `recorder` (or recorder_).
  std::unique_ptr<CBasicTagsCommonSearchEngine> Engine(float maxDifference = 100.0f, CAlbumMemory* memory = nullptr,
                                                       Recorder* recorder = nullptr) {
    auto engine = std::make_unique<CBasicTagsCommonSearchEngine>(memory, &covers_);
    EXPECT_EQ(engine->Connect(source_.plugin()), 1);
    engine->SetProperty(L"NimbrelObject", recorder ? recorder : &recorder_);
    engine->SetProperty(L"MaxMatchDifference", &maxDifference);
    std::int32_t timeOut = 150000;  // the core's limit
    engine->SetProperty(L"TimeOut", &timeOut);
    engine->SetProperty(L"PFSongInfoCallback", reinterpret_cast<void*>(&Recorder::OnSong));
    engine->SetProperty(L"PFWriteBasicTagsToCache", reinterpret_cast<void*>(&Recorder::OnWriteBasic));
    engine->SetProperty(L"PFAlbumsCallback", reinterpret_cast<void*>(&Recorder::OnAlbums));
    return engine;
  }
  std::uint32_t Statistic(CBasicTagsCommonSearchEngine& engine, const wchar_t* name) {
    std::uint32_t value = 0;
    EXPECT_EQ(engine.GetProperty(name, &value), 1) << name;
    return value;
  }

  testing_support::ScratchFolder scratch_;
  CCoverCache covers_{CCoverCache::Options{CString(scratch_ / L"covers"), CCoverCache::kDefaultMaxBytes, {}}};
  testing_support::CatalogueSource<CBasicTagsDllInterface> source_{L"Catalogue"};
  Recorder recorder_;
};

TEST_F(BasicEngineTest, MatchesBelowTheThresholdAndTheFirstOfEqualTracks) {
  source_.Load("search 0\nalbum Band\tFirst\tk1\t\tSong 1\tSong 2\tSong 4\n");
  Engine(20.0f)->GetAllBasicTags({Song(L"Band", L"Song 1", 1), Song(L"Band", L"Song 3", 2)});
  ASSERT_EQ(recorder_.found.size(), 1u);  // "Song 3" differs from each by exactly 20
  EXPECT_EQ(recorder_.NotFound(), Titles{L"Song 3"});

  Recorder again;
  source_.Load("search 0\nalbum Band\tFirst\tk1\t\tSong 1\tSong 2\tSong 4\n");
  auto engine = Engine(21.0f, nullptr, &again);
  engine->GetAllBasicTags({Song(L"Band", L"Song 3", 2)});
  ASSERT_EQ(again.found.size(), 1u);
  EXPECT_EQ(again.found[0].info.trackInfo.title, L"Song 1");
  EXPECT_EQ(again.found[0].info.source, L"Catalogue");
  EXPECT_EQ(Statistic(*engine, L"StatisticFoundNumber"), 1u);
  EXPECT_EQ(Statistic(*engine, L"StatisticSearchedTracks"), 1u);
}

// Kind 1 with both constants 0: the whole artist when its hits do not exceed the title's.
TEST_F(BasicEngineTest, IterationCostsChooseAtTheBoundaryAndSearchByTitleOnAnErrorCount) {
  const std::string albums = "search 1\nconstants 0 0\nalbum Band\tOther\tk0\t\tElse\nalbum Band\tMain\tk1\t\tHit\n";
  struct Case {
    const char* artistCount;
    bool byArtist;
  };
  for (const Case c : {Case{"1", true}, Case{"2", false}, Case{"-2", false}}) {
    Recorder recorder;
    source_.Load(albums + "artistcount " + c.artistCount + "\n");
    auto engine = Engine(100.0f, nullptr, &recorder);
    engine->GetAllBasicTags({Song(L"Band", L"Hit", 1), Song(L"Band", L"Missing", 2)});
    SCOPED_TRACE(c.artistCount);
    EXPECT_EQ(recorder.found.size(), 1u);
    ASSERT_EQ(recorder.NotFound(), Titles{L"Missing"});
    EXPECT_EQ(recorder.written.back().byArtist, c.byArtist);
    EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), c.byArtist ? 2 : 1);
  }
}

TEST_F(BasicEngineTest, AmazonSkipsTheAlbumsCallbackAndTracksCallbackKeepsFoundSongs) {
  source_.Load("name amazon\nsearch 2\nalbum Band\tA\tk1\t\tHit\nalbum Band\tB\tk2\t\tHit\n");
  auto engine = Engine();
  engine->SetProperty(L"PFTracksCallback", reinterpret_cast<void*>(&Recorder::OnTracks));
  engine->GetAllBasicTags({Song(L"Band", L"Hit", 1)});
  EXPECT_EQ(recorder_.albumsCalls, 0);
  EXPECT_EQ(recorder_.tracksCalls, 2);
  EXPECT_EQ(recorder_.found.size(), 2u);  // the song stayed in the list and matched the second album too
  EXPECT_EQ(recorder_.NotFound(), Titles{L"Hit"}) << "a song kept in the list is reported at the end";

  Recorder plain;
  source_.Load("search 2\nalbum Band\tA\tk1\t\tHit\nalbum Band\tB\tk2\t\tHit\n");
  auto second = Engine(100.0f, nullptr, &plain);
  second->GetAllBasicTags({Song(L"Band", L"Hit", 1)});
  EXPECT_EQ(plain.albumsCalls, 1);
  EXPECT_EQ(plain.found.size(), 2u);  // the exact title on both albums of the artist
  EXPECT_TRUE(plain.NotFound().empty());
}

// An album's songs come out with the same tags whether searched one after
// another (the later ones against the kept details) or all at once, and the
// album is fetched once.
TEST_F(BasicEngineTest, LaterSongsOfAnAlbumMatchTheKeptDetails) {
  const std::string data = "search 0\nalbum Band\tRecord\tk1\t\tOne\tTwo\tThree\n";
  CAlbumMemory sequentialCache, togetherCache;
  source_.Load(data);
  Recorder sequential;
  for (unsigned id : {1u, 2u, 3u}) {
    auto engine = Engine(100.0f, &sequentialCache, &sequential);
    engine->GetAllBasicTags({Song(L"Band", id == 1 ? L"One" : id == 2 ? L"Two" : L"Three", id)});
  }
  EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), 1);
  source_.Load(data);
  Recorder together;
  auto engine = Engine(100.0f, &togetherCache, &together);
  engine->GetAllBasicTags({Song(L"Band", L"One", 1), Song(L"Band", L"Two", 2), Song(L"Band", L"Three", 3)});
  ASSERT_EQ(sequential.found.size(), 3u);
  ASSERT_EQ(together.found.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sequential.found[i].info.trackInfo.trackNumber, together.found[i].info.trackInfo.trackNumber);
    EXPECT_EQ(sequential.found[i].info.albumInfo.album, together.found[i].info.albumInfo.album);
    EXPECT_EQ(sequential.found[i].info.albumInfo.year, 2000);  // from the details, kept or fetched
  }
  // The feedback of a found song is its own track, not the album's every one.
  Titles fed;
  for (const auto& written : together.written) {
    if (written.found) fed.insert(fed.end(), written.titles.begin(), written.titles.end());
  }
  EXPECT_EQ(fed, (Titles{L"One", L"Two", L"Three"}));
}

// Albums are kept per source, key and disc: a second disc under the same key
// and another source's album under the same key are fetched, not taken from
// what was kept.
TEST_F(BasicEngineTest, KeptAlbumsAreTheSourcesAndTheDiscs) {
  CAlbumMemory memory;
  source_.Load("name One\nsearch 2\nalbum Band\tDouble\tk1/1\t\tFirst\nalbum Band\tDouble\tk1/2\t\tSecond\n");
  for (unsigned id : {1u, 2u}) Engine(100.0f, &memory)->GetAllBasicTags({Song(L"Band", id == 1 ? L"First" : L"Second", id)});
  ASSERT_EQ(recorder_.found.size(), 2u);
  EXPECT_EQ(recorder_.found[1].info.trackInfo.title, L"Second");
  EXPECT_EQ(recorder_.found[1].info.albumInfo.albumNumber, 2);
  EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), 2);

  source_.Load("name Two\nsearch 2\nalbum Band\tOther\tk1/1\t\tThird\n");
  Engine(100.0f, &memory)->GetAllBasicTags({Song(L"Band", L"Third", 3)});
  ASSERT_EQ(recorder_.found.size(), 3u);
  EXPECT_EQ(recorder_.found[2].info.albumInfo.album, L"Other");
  EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), 1);
}

// A title on several albums goes to the album named as the song's own (the
// others are not fetched); else every album of the song's artist holding it
// exactly is reported once, in the source's order, until two albums show the
// ambiguity; a near title on another album is not reported.
TEST_F(BasicEngineTest, ATitleOnSeveralAlbumsGoesToTheSongsOwnAlbumElseEveryExactMatchIsReported) {
  const std::string data =
      "search 0\nalbum Band\tStudio\tk1\t\tSong\nalbum Band\tStudio\tk1\t\tSong\nalbum Band\tBest Of\tk3\t\tSongs\n"
      "album Band\tLive at Home\tk2\t\tOther\tSong\nalbum Band\tLater\tk4\t\tSong\n";
  struct Case {
    const wchar_t* own;
    std::vector<std::wstring> albums;
    int fetched;
  };
  // Two albums show the ambiguity: a third ("Later") is not fetched.
  const std::vector<std::wstring> every{L"Studio", L"Live at Home"};
  for (const Case& c : {Case{L" live AT home", {L"Live at Home"}, 1}, Case{L"Unknown", every, 4}, Case{L"", every, 4},
                        Case{L"Greatest", every, 4}}) {
    SCOPED_TRACE(c.own);
    Recorder recorder;
    source_.Load(data);
    auto query = Song(L"Band", L"Song", 1);
    query.album = c.own;
    Engine(100.0f, nullptr, &recorder)->GetAllBasicTags({query});
    std::vector<std::wstring> albums;
    for (const auto& found : recorder.found) albums.push_back(found.info.albumInfo.album);
    EXPECT_EQ(albums, c.albums);
    EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), c.fetched);
    EXPECT_TRUE(recorder.NotFound().empty());
  }
  // Found near, not exactly: the first album below the threshold, as before.
  Recorder near;
  source_.Load(data);
  Engine(100.0f, nullptr, &near)->GetAllBasicTags({Song(L"Band", L"Song!", 1)});
  ASSERT_EQ(near.found.size(), 1u);
  EXPECT_EQ(near.found[0].info.albumInfo.album, L"Studio");
}

// A near title on an earlier album of the artist loses to the exact title
// on a later one; on the song's own album it wins, and the others are not
// fetched for it.
TEST_F(BasicEngineTest, AnExactTitleOnALaterAlbumWinsOverANearOneOnAnEarlierAlbum) {
  const std::string data = "search 0\nalbum Band\tFirst\tk1\t\tAngels\nalbum Band\tSecond\tk2\t\tAngel\n";
  auto own = Song(L"Band", L"Angel", 1);
  own.album = L"First";
  for (const auto& [query, album, fetched] : {std::tuple{Song(L"Band", L"Angel", 1), L"Second", 2},
                                              std::tuple{own, L"First", 1}}) {
    SCOPED_TRACE(album);
    Recorder recorder;
    source_.Load(data);
    Engine(100.0f, nullptr, &recorder)->GetAllBasicTags({query});
    ASSERT_EQ(recorder.found.size(), 1u);
    EXPECT_EQ(recorder.found[0].info.albumInfo.album, album);
    EXPECT_EQ(source_.Calls(L"GetAlbumDetails"), fetched);
  }
}

// The time-out comes while a later album is fetched: the near title found
// before it is still the song's answer.
TEST_F(BasicEngineTest, ANearTitleHeldForALaterAlbumIsDeliveredWhenTheTimeOutEndsTheSearch) {
  testing_support::FakeEnv env;
  platform::ScopedEnv scoped(&env);
  env.AdvanceMs(1000);
  source_.Load("search 0\nstall GetAlbumDetails 2\nalbum Band\tFirst\tk1\t\tAngels\nalbum Band\tSecond\tk2\t\tAngel\n");
  catalogue::StallHook hook{[](void* e) { static_cast<testing_support::FakeEnv*>(e)->AdvanceMs(5001); }, &env};
  source_.SetStallHook(&hook);
  auto engine = Engine(100.0f);
  std::int32_t limit = 5000;
  engine->SetProperty(L"TimeOut", &limit);
  engine->GetAllBasicTags({Song(L"Band", L"Angel", 1)});
  source_.SetStallHook(nullptr);
  ASSERT_EQ(recorder_.found.size(), 1u);
  EXPECT_EQ(recorder_.found[0].info.albumInfo.album, L"First");
  EXPECT_TRUE(recorder_.NotFound().empty());
}

// A song of known length: a title at a length that does not fit loses to
// the same title at one that fits on a later album; with none that fits, the
// closest title is still taken; with the length unknown, both albums holding
// the title are reported.
TEST_F(BasicEngineTest, ATrackWhoseLengthDoesNotFitLosesToOneThatFits) {
  const std::string albums =
      "search 0\nalbum Band\tLive\tk1\t\tSong@301\tOther@200\n"
      "album Band\tStudio\tk2\t\tSong 2@100\tSong@242\n";
  source_.Load(albums);
  auto engine = Engine(20.0f);
  engine->SetSongLength(1, 245000);  // 3 s from the studio take
  engine->SetSongLength(2, 500000);  // no take fits
  engine->GetAllBasicTags({Song(L"Band", L"Song", 1), Song(L"Band", L"Other", 2), Song(L"Band", L"Song", 3)});
  std::map<unsigned, std::vector<std::wstring>> albumsOf;
  for (const auto& found : recorder_.found) albumsOf[found.songId].push_back(found.info.albumInfo.album);
  EXPECT_EQ(albumsOf[1], std::vector<std::wstring>{L"Studio"});
  EXPECT_EQ(albumsOf[2], std::vector<std::wstring>{L"Live"});
  EXPECT_EQ(albumsOf[3], (std::vector<std::wstring>{L"Live", L"Studio"}));
  EXPECT_TRUE(recorder_.NotFound().empty());
}

TEST_F(BasicEngineTest, AStopBeforeTheSearchEndsItWithoutAsking) {
  source_.Load("search 2\nalbum Band\tA\tk1\t\tHit\n");
  auto engine = Engine();
  engine->SetStop();
  engine->GetAllBasicTags({Song(L"Band", L"Hit", 1)});
  EXPECT_EQ(source_.Calls(L"FindAlbums"), 0);
  EXPECT_TRUE(recorder_.written.empty());
  EXPECT_EQ(engine->GetActiveSearchCount(), 0);
}

// A stop from another thread while the plug-in works on the second song or
// album: the first is reported found, nothing is reported as not found.
TEST_F(BasicEngineTest, AStopFromAnotherThreadInEachLoopReportsNothingNotFound) {
  const std::string albums = "album Band\tA\tk1\t\tOne\nalbum Band\tB\tk2\t\tTwo\nalbum Band\tC\tk3\t\tThree\n";
  for (const std::string setup : {"search 2\nstall FindAlbums 2\n", "search 0\nstall GetAlbumDetails 2\n",
                                  "search 1\nconstants 100 0\nartistcount 9\nstall FindAlbumsCount 3\n"}) {
    SCOPED_TRACE(setup);
    Recorder recorder;
    source_.Load(setup + albums);
    auto engine = Engine(100.0f, nullptr, &recorder);
    std::promise<void> stalled;
    catalogue::StallHook hook{[](void* p) { static_cast<std::promise<void>*>(p)->set_value(); }, &stalled};
    source_.SetStallHook(&hook);
    std::thread search([&] { engine->GetAllBasicTags({Song(L"Band", L"One", 1), Song(L"Band", L"Two", 2), Song(L"Band", L"Three", 3)}); });
    stalled.get_future().wait();
    engine->SetStop();
    search.join();
    source_.SetStallHook(nullptr);
    EXPECT_TRUE(recorder.NotFound().empty());
    EXPECT_LE(recorder.found.size(), 1u);
    EXPECT_EQ(engine->GetActiveSearchCount(), 0);
  }
}

// The first match's callback has another thread stop the engine: matching ends there.
TEST_F(BasicEngineTest, AStopFromAnotherThreadWhileMatchingEndsIt) {
  source_.Load("search 0\nalbum Band\tA\tk1\t\tOne\tTwo\tThree\n");
  auto engine = Engine();
  static CBasicTagsCommonSearchEngine* target = nullptr;
  target = engine.get();
  auto stopping = +[](void* object, unsigned id, const Nimbrel::SongInfo* info) {
    Recorder::OnSong(object, id, info);
    std::thread([] { target->SetStop(); }).join();
  };
  engine->SetProperty(L"PFSongInfoCallback", reinterpret_cast<void*>(stopping));
  engine->GetAllBasicTags({Song(L"Band", L"One", 1), Song(L"Band", L"Two", 2), Song(L"Band", L"Three", 3)});
  EXPECT_EQ(recorder_.found.size(), 1u);
  EXPECT_TRUE(recorder_.NotFound().empty());
}

TEST_F(BasicEngineTest, TimeOutByTheTickCountEndsTheSearch) {
  testing_support::FakeEnv env;
  platform::ScopedEnv scoped(&env);
  env.AdvanceMs(1000);
  source_.Load("search 2\nstall FindAlbums 1\nalbum Band\tA\tk1\t\tOne\n");
  catalogue::StallHook hook{[](void* e) { static_cast<testing_support::FakeEnv*>(e)->AdvanceMs(5001); }, &env};
  source_.SetStallHook(&hook);
  auto engine = Engine();
  std::int32_t limit = 5000;
  engine->SetProperty(L"TimeOut", &limit);
  engine->GetAllBasicTags({Song(L"Band", L"One", 1), Song(L"Band", L"Two", 2)});
  source_.SetStallHook(nullptr);
  EXPECT_TRUE(Logged(L"CTagsCommonSearchEngine<class CBasicTagsDllInterface>::IsTimeOut: TIMEOUT - Source: Catalogue"));
  EXPECT_EQ(source_.Calls(L"FindAlbums"), 1);
  EXPECT_TRUE(recorder_.written.empty());
  EXPECT_EQ(Statistic(*engine, L"StatisticTime"), 5001u);
}

TEST_F(BasicEngineTest, AnExceptionFromThePluginIsCaughtWithoutANotFoundReport) {
  auto engine = Engine();
  source_.Load("search 2\nthrow\n");  // after connecting: every slot throws from now on
  engine->GetAllBasicTags({Song(L"Thrower", L"One", 1)});
  EXPECT_TRUE(Logged(L"CBasicTagsCommonSearchEngine::GetAllBasicTags: Catched unknown error. Artist = Thrower"));
  EXPECT_TRUE(recorder_.written.empty());
  EXPECT_EQ(engine->GetActiveSearchCount(), 0);
}

TEST_F(BasicEngineTest, CoverCountersForDownloadedLocalAndFailedCovers) {
  testing_support::HttpTestServer server;
  server.ServeText("/c.jpg", test_pictures::Make(test_pictures::Kind::kJpeg, 20, 20), "image/jpeg");
  const std::string good = server.Url("/c.jpg"), bad = server.Url("/missing.jpg");
  source_.Load("search 2\nstatistics 10 7 100\nalbum Band\tA\tk1\t" + good + "\tOne\nalbum Band\tB\tk2\t" + bad +
               "\tTwo\nalbum Band\tC\tk3\tx?ASIN=B01\tThree\n");
  std::int32_t on = 1;
  for (int run = 0; run < 2; ++run) {
    Recorder recorder;
    auto engine = Engine(100.0f, nullptr, &recorder);
    engine->SetProperty(L"NeedCover", &on);
    engine->GetAllBasicTags({Song(L"Band", L"One", 1), Song(L"Band", L"Two", 2), Song(L"Band", L"Three", 3)});
    ASSERT_EQ(recorder.found.size(), 3u);
    for (const auto& found : recorder.found) {
      EXPECT_EQ(found.info.coverInfo.coverFile.empty(), found.songId != 1) << found.songId;
    }
    // Run 0 downloads one and fails one; run 1 finds the first locally and skips the failed address.
    EXPECT_EQ(Statistic(*engine, L"StatisticDownloadCounter"), run == 0 ? 12u : 11u);
    EXPECT_EQ(Statistic(*engine, L"StatisticSuccessfulDownloads"), run == 0 ? 8u : 7u);
  }
}

TEST_F(BasicEngineTest, BadInputEndsCleanly) {
  const std::wstring longTitle(10000, L'x');
  source_.Load("search 2\nalbum Band\tEmpty\tk0\t\nalbum Band\tDup\tk1\t\tSame\tSame\t\t" +
               std::string(10000, 'x') + "\ngenerate Many\t1\t100000\n");
  auto engine = Engine();
  engine->GetAllBasicTags({Song(L"Band", L"Same", 1), Song(L"Band", L"", 2), Song(L"Band", longTitle, 3),
                           Song(L"", L"", 4), Song(L"Many", L"Song 1-99999", 5)});
  ASSERT_EQ(recorder_.found.size(), 5u);  // the song without artist matches the empty title of an album found
  for (const auto& found : recorder_.found) {
    if (found.songId == 1) {
      EXPECT_EQ(found.info.trackInfo.trackNumber, 1u);  // the first of two equal titles
    } else if (found.songId == 5) {
      EXPECT_EQ(found.info.trackInfo.trackNumber, 99999u);
    }
  }
  EXPECT_TRUE(recorder_.NotFound().empty());

  Recorder negative;
  source_.Load("name\nsearch 2\nanswer -3\n");
  auto second = Engine(100.0f, nullptr, &negative);
  second->GetAllBasicTags({Song(L"Band", L"One", 1)});
  EXPECT_EQ(negative.NotFound(), Titles{L"One"});
  EXPECT_TRUE(Logged(L"CBasicTagsCommonSearchEngine::GetAllBasicTags: No Albums found in:, Artist: Band, type: at"));
}

TEST_F(BasicEngineTest, CoverByAsinMethodAndEmptySongList) {
  source_.Load("asin B01\thttp://127.0.0.1/b01.jpg\n");
  auto engine = Engine();
  CString asin(L"B01"), url;
  CoverByAsinArgs args{&asin, &url};
  EXPECT_EQ(engine->CallMethod(L"GetCover_by_asin", &args), 1);
  EXPECT_EQ(url, CString(L"http://127.0.0.1/b01.jpg"));
  asin = L"B02";
  EXPECT_EQ(engine->CallMethod(L"GetCover_by_asin", &args), 0);
  EXPECT_TRUE(Logged(L"CBasicTagsCommonSearchEngine::CallMethod: Method failed: GetCover_by_asin"));
  EXPECT_EQ(engine->CallMethod(L"Other", &args), 0);
  EXPECT_TRUE(Logged(L"CBasicTagsCommonSearchEngine::CallMethod: Method not found: Other"));

  engine->GetAllBasicTags({});
  EXPECT_EQ(Statistic(*engine, L"StatisticSearchedTracks"), 0u);
  EXPECT_EQ(source_.Calls(L"FindAlbums"), 0);
}

}  // namespace
