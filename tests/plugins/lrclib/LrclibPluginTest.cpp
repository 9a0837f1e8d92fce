// The "lrclib" plug-in loaded through the registry, against a loopback
// service answering in LRCLIB's shapes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "../../../plugins/lrclib/LrclibParser.h"
#include "engines/LyricsCommonSearchEngine.h"
#include "engines/SearchEngineTestKit.h"
#include "plugins/WebPluginSource.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScopedEnvironment.h"

namespace {

using testing_support::HttpResponse;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

std::string Record(int id, const std::string& track, const std::string& plain, const std::string& synced,
                   bool instrumental = false) {
  return R"({"id":)" + std::to_string(id) + R"(,"name":")" + track + R"(","trackName":")" + track +
         R"(","artistName":"Singer","albumName":"Record","duration":233.5,"instrumental":)" +
         (instrumental ? "true" : "false") + R"(,"plainLyrics":)" + plain + R"(,"syncedLyrics":)" + synced + "}";
}

class LrclibTest : public ::testing::Test {
 protected:
  LrclibTest() { source_.Set(L"BaseUrl", server_.Url("/api")); }
  std::int32_t Find(const std::wstring& artist, const std::wstring& title, std::list<Nimbrel::LyricsInfo>& out,
                    bool countOnly = false) {
    const CString a(artist), t(title);
    return source_.plugin()->FindAlbums(&a, &t, out, countOnly);
  }
  std::wstring Text(const std::wstring& link) {
    const CString l(link);
    CString text;
    return source_.plugin()->GetLyricsText(&l, &text) ? text.str() : L"<none>";
  }

  testing_support::HttpTestServer server_;
  testing_support::WebPluginSource<CLyricsDllInterface> source_{L"lrclib"};
};

TEST_F(LrclibTest, SearchFindsRecordsAndTheirTextsWithoutAnotherRequest) {
  server_.ServeText("/api/search",
                    "[" + Record(7, "One", R"("First line\nSecond line")", R"("[00:01.00] First line")") + "," +
                        Record(8, "Two", "null", R"("[ar:Singer]\n[00:01.00]Sung <00:01.50>line\n[00:02.00][00:09.00] \n[00:03.00]Last\n")") +
                        "," + Record(9, "Three", "null", "null", true) + "," + Record(10, "Four", R"("  ")", "null") +
                        R"(,{"id":"x","trackName":"Bad"},{"id":1e999,"trackName":"Huge"}])",
                    "application/json");
  std::list<Nimbrel::LyricsInfo> found;
  EXPECT_EQ(Find(L"Singer", L"One", found), 2);  // the instrumental and the blank one have no text
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.front().title, L"One");
  EXPECT_EQ(found.front().artist, L"Singer");
  EXPECT_EQ(found.front().extra, L"Record");
  EXPECT_EQ(found.front().link, L"7");
  EXPECT_NE(server_.Requests().front().target.find("track_name=One&artist_name=Singer"), std::string::npos);
  EXPECT_EQ(Text(L"7"), L"First line\nSecond line");         // plain preferred
  EXPECT_EQ(Text(L"8"), L"Sung line\r\n\r\nLast");         // synced, time stamps stripped
  EXPECT_EQ(server_.RequestCount(), 1u);
  // Instrumental and blank records have no text: asked once more, still none.
  server_.Serve("/api/get/9", {200, "OK", {}, Record(9, "Three", "null", "null", true)});
  EXPECT_EQ(Text(L"9"), L"<none>");
  EXPECT_EQ(Text(L"10"), L"<none>");
  EXPECT_EQ(source_.Integer(L"SupportedSearch"), 2);
}

TEST_F(LrclibTest, UnknownLinksAreFetchedAndBadOnesRefused) {
  server_.ServeText("/api/get/42", Record(42, "Later", R"("Words")", "null"));
  server_.Serve("/api/get/43", {404, "Not Found", {}, R"({"message":"Failed to find specified track","name":"TrackNotFound","statusCode":404})"});
  server_.ServeText("/api/get/44", "not json at all");
  server_.ServeText("/api/get/45", std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(Text(L"42"), L"Words");
  EXPECT_EQ(Text(L"43"), L"<none>");
  EXPECT_EQ(Text(L"44"), L"<none>");
  EXPECT_EQ(Text(L"45"), L"<none>");
  const std::size_t before = server_.RequestCount();
  for (const wchar_t* bad : {L"../get/42", L"42/../../x", L"", L"4 2", L"1234567890123456789"}) {
    EXPECT_EQ(Text(bad), L"<none>");
  }
  EXPECT_EQ(server_.RequestCount(), before);
  server_.Serve("/api/search", {400, "Bad Request", {}, "Missing required parameter"});
  std::list<Nimbrel::LyricsInfo> found;
  EXPECT_EQ(Find(L"Singer", L"One", found), 0);
  server_.ServeText("/api/search", "[]");
  EXPECT_EQ(Find(L"Singer", L"One", found), 0);
  server_.Stall("/api/search");
  source_.Set(L"TimeoutSeconds", 1);
  source_.Set(L"CacheLifetimeSeconds", 0);  // the empty answer above is kept otherwise
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Find(L"Singer", L"One", found), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(found.empty());
}

TEST_F(LrclibTest, AnswersAreKeptOnDiskForTheLifetime) {
  server_.ServeText("/api/search", "[" + Record(7, "One", R"("Words")", "null") + "]", "application/json");
  const std::string data = std::string(source_.folder().begin(), source_.folder().end()) + "data";
  ASSERT_EQ(source_.Set(L"DataFolder", data), 1);
  std::list<Nimbrel::LyricsInfo> found;
  EXPECT_EQ(Find(L"Singer", L"One", found), 1);
  EXPECT_EQ(Find(L"Singer", L"One", found), 1);
  EXPECT_EQ(server_.RequestCount(), 1u);
  {
    // Another process (a fresh module) configured by the settings file reads the same cache.
    std::ofstream(data + ".conf") << "[lrclib]\nBaseUrl = " << server_.Url("/api") << "\nDataFolder = " << data << "\n";
    testing_support::ScopedEnvironment settings("NIMBREL_PLUGINS_CONF", data + ".conf");
    testing_support::WebPluginSource<CLyricsDllInterface> other{L"lrclib"};
    const CString artist(L"Singer"), title(L"One");
    EXPECT_EQ(other.plugin()->FindAlbums(&artist, &title, found, false), 1);
    EXPECT_EQ(server_.RequestCount(), 1u);
    CString file;
    ASSERT_EQ(other.plugin()->GetProperty(L"CacheFile", &file), 1);
    EXPECT_EQ(file.str(), std::wstring(data.begin(), data.end()) + L"/responses.sqlite");
  }
  source_.Set(L"CacheLifetimeSeconds", 0);
  EXPECT_EQ(Find(L"Singer", L"One", found), 1);
  EXPECT_EQ(server_.RequestCount(), 2u);
  EXPECT_EQ(source_.Set(L"DataFolder", "relative/folder"), 0);
}

TEST_F(LrclibTest, ArtistSearchKeepsThatArtistsSongsOnly) {
  server_.ServeText("/api/search", "[" + Record(1, "Mine", R"("a")", "null") +
                                       R"(,{"id":2,"trackName":"Cover of Singer","artistName":"Someone else"}])");
  std::list<Nimbrel::LyricsInfo> found;
  const CString artist(L"SINGER");
  EXPECT_EQ(source_.plugin()->FindAlbumsByArtist(&artist, found), 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().title, L"Mine");
  EXPECT_NE(server_.Requests().front().target.find("q=SINGER"), std::string::npos);
}

TEST_F(LrclibTest, TheEngineFindsTextsThroughThePlugin) {
  server_.ServeText("/api/search", "[" + Record(5, "Song", R"("Verse")", "null") + "]");
  engine_tests::Recorder recorder;
  CLyricsCommonSearchEngine engine;
  ASSERT_EQ(engine.Connect(source_.plugin()), 1);
  engine_tests::SetUpLikeTheCore(engine, recorder, L"PFOneLyricsDealedEx",
                                 reinterpret_cast<void*>(&engine_tests::Recorder::OnLyrics));
  engine.GetAllLyrics({engine_tests::Song(L"Singer", L"song", 1)});
  ASSERT_EQ(recorder.lyrics.size(), 1u);
  EXPECT_EQ(recorder.lyrics[0].lyrics, L"Verse\r\nlrclib");
  EXPECT_EQ(recorder.lyrics[0].sourceId, L"lrclib.net");
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// Records of the same title without text (an instrumental, one with both
// lyrics null) come first in the answer: the one with the text is found.
TEST_F(LrclibTest, RecordsWithoutTextDoNotHideOneWithIt) {
  server_.ServeFile("/api/search", std::string(NIMBREL_FIXTURES) + "search_intro.json");
  std::list<Nimbrel::LyricsInfo> found;
  EXPECT_EQ(Find(L"Singer", L"Intro", found), 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().link, L"3396228");
  engine_tests::Recorder recorder;
  CLyricsCommonSearchEngine engine;
  ASSERT_EQ(engine.Connect(source_.plugin()), 1);
  engine_tests::SetUpLikeTheCore(engine, recorder, L"PFOneLyricsDealedEx",
                                 reinterpret_cast<void*>(&engine_tests::Recorder::OnLyrics));
  engine.GetAllLyrics({engine_tests::Song(L"Singer", L"Intro", 1)});
  ASSERT_EQ(recorder.lyrics.size(), 1u);
  EXPECT_EQ(recorder.lyrics[0].lyrics, L"Spoken words\nover the drums\r\nlrclib");
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST(LrclibParser, StripsEveryKindOfTimeStampOnly) {
  EXPECT_EQ(lrclib::StripTimeStamps(L"[00:12.34]Line [not a stamp]\r\n[12:00]<00:01.00>Word <1:2>end"),
            L"Line [not a stamp]\r\nWord end");
  EXPECT_EQ(lrclib::StripTimeStamps(L"[ti:Title]\n[length: 03:00]\n\n"), L"");
  EXPECT_EQ(lrclib::StripTimeStamps(L"[00:0"), L"[00:0");
}

}  // namespace
