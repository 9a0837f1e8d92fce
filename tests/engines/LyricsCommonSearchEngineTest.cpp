#include "engines/LyricsCommonSearchEngine.h"

#include <gtest/gtest.h>

#include <thread>

#include "engines/SearchEngineTestKit.h"
#include "support/plugins/CatalogueSource.h"

namespace {

using engine_tests::Logged;
using engine_tests::Recorder;
using engine_tests::Song;
using Titles = std::vector<std::wstring>;

class LyricsEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::ProcessLogText(); }

  std::unique_ptr<CLyricsCommonSearchEngine> Engine(CArtistLyricsMemory* artists = nullptr) {
    auto engine = std::make_unique<CLyricsCommonSearchEngine>(artists);
    EXPECT_EQ(engine->Connect(source_.plugin()), 1);
    float maxDifference = 100.0f;
    engine->SetProperty(L"MaxMatchDifference", &maxDifference);
    std::int32_t timeOut = 150000;  // the core's limit
    engine->SetProperty(L"TimeOut", &timeOut);
    engine->SetProperty(L"NimbrelObject", &recorder_);
    engine->SetProperty(L"PFOneLyricsDealedEx", reinterpret_cast<void*>(&Recorder::OnLyrics));
    engine->SetProperty(L"PFWriteLyricsToCache", reinterpret_cast<void*>(&Recorder::OnWriteLyrics));
    return engine;
  }

  testing_support::CatalogueSource<CLyricsDllInterface> source_{L"LyricsCatalogue"};
  Recorder recorder_;
};

TEST_F(LyricsEngineTest, KnownLinksAreFetchedWithoutSearching) {
  source_.Load("search 2\nlyric Singer\tOne\tpage-1\tFirst words\n");
  auto engine = Engine();
  engine->GetAllLyrics({Song(L"Linked", L"One", 1, L"page-1"), Song(L"Linked", L"Two", 2, L"page-none")});
  EXPECT_EQ(source_.Calls(L"FindAlbums"), 0);
  EXPECT_EQ(source_.Calls(L"GetLyricsText"), 2);
  ASSERT_EQ(recorder_.lyrics.size(), 1u);
  EXPECT_EQ(recorder_.lyrics[0].lyrics, L"First words\r\nLyricsCatalogue");
  EXPECT_EQ(recorder_.lyrics[0].sourceId, L"id-LyricsCatalogue");
  ASSERT_EQ(recorder_.written.size(), 2u);  // each reported on its own, found or not
  EXPECT_TRUE(recorder_.written[0].found);
  EXPECT_FALSE(recorder_.written[1].found);
  EXPECT_FALSE(Logged(L"CLyricsCommonSearchEngine::GetAllLyrics: SEARCH IN: LyricsCatalogue, FOR ARTIST: Linked"));
}

// An artist searched as a whole is asked once: later songs of the artist
// (and only of that artist and source) are matched against what was kept, an
// exact title to the first of equal ones, a near one as before.
TEST_F(LyricsEngineTest, AWholeArtistIsAskedOnceAndItsLaterSongsMatchWhatWasKept) {
  source_.Load("search 0\nlyric Singer\tNear\tp0\tNear words\nlyric Singer\tOne\tp1\tWords\n"
               "lyric Singer\tTwo\tp2\tMore\nlyric Singer\tone\tp3\tSecond\nlyric Other\tOne\tp4\tOther's\n");
  CArtistLyricsMemory memory;
  Engine(&memory)->GetAllLyrics({Song(L"Singer", L"Two", 1)});
  Engine(&memory)->GetAllLyrics({Song(L" singer", L"ONE", 2)});
  Engine(&memory)->GetAllLyrics({Song(L"Singer", L"Nears", 3)});
  Engine(&memory)->GetAllLyrics({Song(L"Other", L"One", 4)});
  EXPECT_EQ(source_.Calls(L"FindAlbumsByArtist"), 2);
  ASSERT_EQ(recorder_.lyrics.size(), 4u);
  EXPECT_EQ(recorder_.lyrics[0].lyrics, L"More\r\nLyricsCatalogue");
  EXPECT_EQ(recorder_.lyrics[1].lyrics, L"Words\r\nLyricsCatalogue");
  EXPECT_EQ(recorder_.lyrics[2].lyrics, L"Near words\r\nLyricsCatalogue");
  EXPECT_EQ(recorder_.lyrics[3].lyrics, L"Other's\r\nLyricsCatalogue");
}

TEST_F(LyricsEngineTest, MatchesCandidatesAndTreatsABlankTextAsNone) {
  source_.Load("search 2\nlyric Singer\tOne\tp1\tWords\nlyric Singer\tTwo\tp2\t  \nlyric Singer\tThree\tp3\t\n");
  auto engine = Engine();
  engine->GetAllLyrics({Song(L"Singer", L"ONE", 1), Song(L"Singer", L"Two", 2), Song(L"Singer", L"Three", 3),
                        Song(L"Singer", L"Four", 4)});
  ASSERT_EQ(recorder_.lyrics.size(), 1u);
  EXPECT_EQ(recorder_.lyrics[0].title, L"One");
  EXPECT_TRUE(Logged(L"CLyricsCommonSearchEngine::FindLyrics: Can not find Lyrics in p2"));
  EXPECT_TRUE(Logged(L"CLyricsCommonSearchEngine::FindLyrics: Can not find Lyrics in p3"));
  EXPECT_TRUE(Logged(L"CLyricsCommonSearchEngine::GetAllLyrics: SEARCH IN: LyricsCatalogue, FOR ARTIST: Singer, first title: ONE"));
  std::uint32_t found = 0;
  engine->GetProperty(L"StatisticFoundNumber", &found);
  EXPECT_EQ(found, 1u);
  // Songs whose candidate had no text are dropped; only "Four" is reported missing.
  EXPECT_EQ(recorder_.NotFound(), Titles{L"Four"});
}

// The first text's callback has another thread stop the engine: nothing more is
// fetched, and nothing is reported as not found.
TEST_F(LyricsEngineTest, AStopFromAnotherThreadEndsTheLinkAndMatchLoops) {
  static CLyricsCommonSearchEngine* target = nullptr;
  auto stopping = +[](void* object, unsigned id, Nimbrel::LyricsInfo* info) {
    Recorder::OnLyrics(object, id, info);
    std::thread([] { target->SetStop(); }).join();
  };
  for (const bool linked : {true, false}) {
    Recorder recorder;
    source_.Load("search 2\nlyric Singer\tOne\tp1\tWords\nlyric Singer\tTwo\tp2\tMore words\n");
    auto engine = Engine();
    target = engine.get();
    engine->SetProperty(L"NimbrelObject", &recorder);
    engine->SetProperty(L"PFOneLyricsDealedEx", reinterpret_cast<void*>(stopping));
    engine->GetAllLyrics({Song(L"Singer", L"One", 1, linked ? L"p1" : L""), Song(L"Singer", L"Two", 2, linked ? L"p2" : L"")});
    EXPECT_EQ(recorder.lyrics.size(), 1u);
    EXPECT_EQ(source_.Calls(L"GetLyricsText"), 1);
    EXPECT_TRUE(recorder.NotFound().empty());
  }
}

TEST_F(LyricsEngineTest, MethodsAreRefusedAndErrorsCaught) {
  auto engine = Engine();
  EXPECT_EQ(engine->CallMethod(L"GetCover_by_asin", engine.get()), 0);
  EXPECT_TRUE(Logged(L"CTagsCommonSearchEngine<class CLyricsDllInterface>::CallMethod: Method not found: GetCover_by_asin"));
  source_.Load("throw\n");
  engine->GetAllLyrics({Song(L"Thrower", L"One", 1)});
  EXPECT_TRUE(Logged(L"CLyricsCommonSearchEngine::GetAllLyrics: Catched unknown error. Artist = Thrower"));
  EXPECT_TRUE(recorder_.written.empty());
}

}  // namespace
