// The "musicbrainz" plug-in loaded through the registry, against a loopback
// service answering in MusicBrainz's shapes; time runs on a test clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "../../../plugins/common/PluginClock.h"
#include "../../../plugins/common/Text.h"
#include "../../../plugins/musicbrainz/MusicBrainzQuery.h"
#include "../../../plugins/musicbrainz/ReleaseRank.h"
#include "engines/AlbumMemory.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/SearchEngineTestKit.h"
#include "plugins/WebPluginSource.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScopedEnvironment.h"

namespace {

using testing_support::HttpResponse;
using testing_support::RecordedRequest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

constexpr char kRelease1[] = "11111111-1111-1111-1111-111111111111";
constexpr char kRelease2[] = "22222222-2222-2222-2222-222222222222";
constexpr char kArtistId[] = "aaaaaaaa-aaaa-aaaa-aaaa-aaaaaaaaaaaa";

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Time that passes only when the plug-in waits; every slot waited for is kept.
struct TestClock {
  std::atomic<std::int64_t> now{1'700'000'000'000};
  std::mutex mutex;
  std::vector<std::int64_t> slots;
  PluginClock clock{this, &Now, &SleepUntil};

  static std::int64_t Now(void* self) { return static_cast<TestClock*>(self)->now.load(); }
  static void SleepUntil(void* context, std::int64_t when) {
    auto* self = static_cast<TestClock*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->slots.push_back(when);
    std::int64_t current = self->now.load();
    while (current < when && !self->now.compare_exchange_weak(current, when)) {
    }
  }
};

std::string Recording(const std::string& title, int score, const std::string& releases) {
  return R"({"id":"r-)" + title + R"(","score":)" + std::to_string(score) + R"(,"title":")" + title +
         R"(","length":null,"artist-credit":[{"name":"AC/DC","joinphrase":"","artist":{"id":"x","name":"AC/DC"}}],"releases":[)" +
         releases + "]}";
}
std::string SearchRelease(const std::string& id, const std::string& title, int medium, int offset) {
  return R"({"id":")" + id + R"(","title":")" + title + R"(","date":"1980-07-25","media":[{"position":)" +
         std::to_string(medium) + R"(,"format":"CD","track":[{"id":"t","number":"1","title":"Hells Bells","length":312000}],"track-count":10,"track-offset":)" +
         std::to_string(offset) + "}]}";
}
std::string Search(const std::string& recordings) {
  return R"({"created":"2026-01-01T00:00:00Z","count":2,"offset":0,"recordings":[)" + recordings + "]}";
}
std::string Track(int position, const std::string& title, const std::string& length = "200000") {
  return R"({"id":"t)" + std::to_string(position) + R"(","position":)" + std::to_string(position) + R"(,"number":")" +
         std::to_string(position) + R"(","title":")" + title + R"(","length":)" + length +
         R"(,"recording":{"id":"rec","title":")" + title + R"(","length":null}})";
}
// A release of two media; `art` and `asin` as the lookup gives them.
std::string Release(const std::string& id, const std::string& art, const std::string& asin) {
  return R"({"id":")" + id + R"(","title":"Back in Black","status":"Official","date":"1980-07-25","country":"AU",)"
         R"("asin":)" + asin + R"(,"cover-art-archive":)" + art +
         R"(,"artist-credit":[{"name":"AC","joinphrase":" & "},{"name":"DC","joinphrase":""}],)"
         R"("release-group":{"id":"g","title":"Back in Black","primary-type":"Album","tags":[{"count":1,"name":"rock"}]},)"
         R"("tags":[{"count":2,"name":"hard rock"},{"count":5,"name":"heavy metal"},{"count":"x","name":"odd"}],)"
         R"("media":[{"position":1,"format":"CD","track-count":2,"track-offset":0,"tracks":[)" +
         Track(1, "Hells Bells") + "," + Track(2, "Shoot to Thrill", "null") +
         R"(]},{"position":2,"format":"CD","track-count":1,"track-offset":0,"tracks":[)" + Track(1, "Bonus") + "]}]}";
}

class MusicBrainzTest : public ::testing::Test {
 protected:
  MusicBrainzTest() {
    source_.Set(L"BaseUrl", server_.Url("/ws/2/"));
    source_.Set(L"CoverArtUrl", server_.Url("/caa"));
    source_.Set(L"Contact", "tagger@example.org");
    source_.Set(L"DataFolder", Narrow(source_.folder()) + "data");
    plugin()->SetProperty(L"Clock", &clock_.clock);
  }
  static std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }
  CBasicTagsDllInterface* plugin() { return source_.plugin(); }
  std::int32_t Find(const std::wstring& artist, const std::wstring& title, std::list<Nimbrel::AlbumResult>& out,
                    bool countOnly = false) {
    const CString a(artist), t(title);
    return plugin()->FindAlbums(&a, &t, out, countOnly);
  }
  std::int32_t Details(const std::wstring& key, Nimbrel::AlbumInfo& album, Nimbrel::CoverInfo& cover,
                       std::list<Nimbrel::TrackInfo>& tracks, std::int32_t medium = 0) {
    album.albumKey = key;
    album.albumNumber = medium;
    return plugin()->GetAlbumDetails(&album, &cover, &tracks);
  }

  testing_support::HttpTestServer server_;
  testing_support::WebPluginSource<CBasicTagsDllInterface> source_{L"musicbrainz"};
  TestClock clock_;
};

TEST_F(MusicBrainzTest, RecordingSearchGivesEachDiscOnceAndCountsRecordingsWithoutASecondRequest) {
  server_.ServeText("/ws/2/recording",
                    Search(Recording("Hells Bells", 100,
                                     SearchRelease(kRelease1, "Back in Black", 1, 0) + "," +
                                         SearchRelease(kRelease1, "Back in Black", 2, 0) + "," +
                                         SearchRelease("../../etc", "Bad id", 1, 0)) +
                           "," + Recording("Hells Bells Live", 40, SearchRelease(kRelease2, "Live", 1, 4))),
                    "application/json");
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums, true), 1);  // one recording
  EXPECT_TRUE(albums.empty());
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 1);
  ASSERT_EQ(albums.size(), 2u);  // one album per disc
  EXPECT_EQ(albums.front().albumInfo.album, L"Back in Black");
  EXPECT_EQ(albums.front().albumInfo.artist, L"AC/DC");
  EXPECT_EQ(albums.front().albumInfo.albumNumber, 1);
  EXPECT_EQ(albums.back().albumInfo.albumNumber, 2);
  EXPECT_EQ(albums.front().source, L"musicbrainz");
  ASSERT_EQ(server_.RequestCount(), 1u);
  const RecordedRequest request = server_.Requests().front();
  EXPECT_NE(request.target.find("AC%5C%2FDC"), std::string::npos) << request.target;
  EXPECT_NE(request.target.find("fmt=json"), std::string::npos);
  EXPECT_EQ(request.Header("User-Agent"), "nimbrel/1.0.0 ( tagger@example.org )");
  EXPECT_EQ(source_.Integer(L"StatisticDownloadCounter"), 1);
  EXPECT_EQ(source_.Integer(L"SupportedSearch"), 1);
}

// A module that no host configured reads the user's settings file: the
// service address, the contact in the User-Agent and the cache's folder.
TEST_F(MusicBrainzTest, TheSettingsFileConfiguresAModuleTheHostDidNotConfigure) {
  server_.ServeText("/other/recording", Search(Recording("Hells Bells", 100, SearchRelease(kRelease1, "Back", 1, 0))),
                    "application/json");
  const std::string folder = Narrow(source_.folder());
  const std::string conf = folder + "plugins.conf";
  std::ofstream(conf) << "Contact = everyone@example.org\n[lrclib]\nContact = lyrics@example.org\n"
                      << "[musicbrainz]\nBaseUrl = " << server_.Url("/other/") << "\nContact = file@example.org\n"
                      << "DataFolder = " << folder << "from-file/../cache\nCacheLifetimeSeconds = a week\n";
  testing_support::ScopedEnvironment settingsFile("NIMBREL_PLUGINS_CONF", conf);
  testing_support::ScopedEnvironment contact("NIMBREL_MUSICBRAINZ_CONTACT", std::nullopt);
  testing_support::WebPluginSource<CBasicTagsDllInterface> fresh{L"musicbrainz"};
  fresh.plugin()->SetProperty(L"Clock", &clock_.clock);
  const auto find = [&fresh](const wchar_t* title) {
    std::list<Nimbrel::AlbumResult> albums;
    const CString artist(L"AC/DC"), song(title);
    return fresh.plugin()->FindAlbums(&artist, &song, albums, false);
  };
  EXPECT_EQ(find(L"Hells Bells"), 1);
  ASSERT_EQ(server_.RequestCount(), 1u);
  EXPECT_EQ(server_.Requests().back().Header("User-Agent"), "nimbrel/1.0.0 ( file@example.org )");
  CString text;
  ASSERT_EQ(fresh.plugin()->GetProperty(L"CacheFile", &text), 1);
  EXPECT_EQ(Narrow(text.str()), folder + "cache/responses.sqlite");
  ASSERT_EQ(fresh.plugin()->GetProperty(L"SettingsProblems", &text), 1);
  EXPECT_NE(text.Find(L"CacheLifetimeSeconds: a week"), -1) << Narrow(text.str());
  EXPECT_EQ(find(L"Hells Bells"), 1);
  EXPECT_EQ(server_.RequestCount(), 1u) << "the refused lifetime left the default: the answer is cached";

  // The environment overrides the file, a host's setting overrides both.
  {
    testing_support::ScopedEnvironment override("NIMBREL_MUSICBRAINZ_CONTACT", "env@example.org");
    EXPECT_EQ(find(L"Second"), 1);
    EXPECT_EQ(server_.Requests().back().Header("User-Agent"), "nimbrel/1.0.0 ( env@example.org )");
    ASSERT_EQ(fresh.Set(L"Contact", "host@example.org"), 1);
    EXPECT_EQ(find(L"Third"), 1);
    EXPECT_EQ(server_.Requests().back().Header("User-Agent"), "nimbrel/1.0.0 ( host@example.org )");
  }
  // A line break would start another header: refused from the host as from the file.
  EXPECT_EQ(fresh.Set(L"Contact", "x\r\nX-Injected: 1"), 0);
  EXPECT_EQ(fresh.Set(L"BaseUrl", "file:///etc"), 0);
  EXPECT_EQ(find(L"Fourth"), 1);
  EXPECT_EQ(server_.RequestCount(), 4u);
  EXPECT_FALSE(server_.Requests().back().HasHeader("X-Injected"));
  EXPECT_EQ(server_.Requests().back().Header("User-Agent"), "nimbrel/1.0.0 ( host@example.org )");
}

TEST_F(MusicBrainzTest, ReleaseLookupReadsTheDiscArtistYearAndCover) {
  server_.ServeText(std::string("/ws/2/release/") + kRelease1,
                    Release(kRelease1, R"({"artwork":true,"count":1,"front":true,"back":false})", "\"B000002UAU\""));
  server_.ServeText(std::string("/ws/2/release/") + kRelease2,
                    Release(kRelease2, R"({"artwork":false,"count":0,"front":false,"back":false})", "\"B000002UAU\""));
  Nimbrel::AlbumInfo album;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks, 2), 1);
  EXPECT_EQ(album.album, L"Back in Black");
  EXPECT_EQ(album.artist, L"AC & DC");
  EXPECT_EQ(album.year, 1980);
  EXPECT_EQ(album.genre, L"");  // free-form tags only, and nobody asked for them
  EXPECT_EQ(album.albumNumber, 2);
  EXPECT_EQ(album.albumKey, Widen(kRelease1));
  EXPECT_EQ(cover.coverUrl, Widen(server_.Url("/caa/release/") + kRelease1 + "/front-500"));
  std::vector<std::pair<std::wstring, std::uint32_t>> seen;
  for (const auto& t : tracks) seen.emplace_back(t.title, t.trackNumber);
  EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, std::uint32_t>>{{L"Bonus", 1}}));
  // No front artwork: the article number stands for the cover.
  tracks.clear();
  ASSERT_EQ(Details(Widen(kRelease2), album, cover, tracks), 1);
  EXPECT_EQ(cover.coverUrl, L"ASIN=B000002UAU");
  EXPECT_EQ(album.albumNumber, 1);
  EXPECT_EQ(tracks.size(), 2u);
  EXPECT_NE(server_.Requests().back().target.find("inc=recordings+artist-credits"), std::string::npos);
}

std::string Fixture(const std::string& name) { return std::string(NIMBREL_FIXTURES) + name; }
// The ids of the fixtures: releases 1000000n-..., browsed releases 5000000n-...
std::string FixtureId(char kind, int n) {
  char id[40];
  std::snprintf(id, sizeof id, "%c%07d-0000-4000-8000-%012d", kind, n, n);
  return id;
}

// "Yesterday": a tribute band's live album listed first, the artist's
// compilations, single, EP, a bootleg, two issues of the album and a disc 2.
TEST_F(MusicBrainzTest, SearchedReleasesAreRankedForTheAskedArtist) {
  server_.ServeFile("/ws/2/recording", Fixture("recording_search_yesterday.json"));
  struct Case {
    const wchar_t* artist;
    std::vector<int> releases;  // in the order offered
  };
  const Case cases[] = {
      // Credited first (a name containing the artist is not it), then
      // Official, Album / EP / Single, no secondary type, earliest date.
      {L"the beatles", {5, 4, 8, 7, 2, 9, 3, 6, 1}},
      {L"THE BEATLES REVIVAL BAND", {1, 5, 4, 8, 7, 2, 9, 3, 6}},
  };
  for (const Case& c : cases) {
    std::list<Nimbrel::AlbumResult> albums;
    // Three recordings scored 90 or more; the remaster's release is listed once.
    EXPECT_EQ(Find(c.artist, L"Yesterday", albums), 3) << Narrow(c.artist);
    std::vector<std::wstring> keys, expected;
    for (const auto& album : albums) keys.push_back(album.albumInfo.albumKey);
    for (const int n : c.releases) expected.push_back(Widen(FixtureId('1', n)));
    EXPECT_EQ(keys, expected) << Narrow(c.artist);
  }
  std::list<Nimbrel::AlbumResult> albums;
  Find(L"The Beatles", L"Yesterday", albums);
  ASSERT_EQ(albums.size(), 9u);
  const auto at = [&albums](std::size_t i) { return *std::next(albums.begin(), static_cast<long>(i)); };
  EXPECT_EQ(at(2).albumInfo.album, L"Anthology 2");
  EXPECT_EQ(at(2).albumInfo.albumNumber, 2);
  ASSERT_EQ(at(2).tracks.size(), 1u);
  EXPECT_EQ(at(2).tracks.front().trackNumber, 4u);  // track-offset 3 on disc 2
  // A compilation of many: the song's artist, not "Various Artists".
  EXPECT_EQ(at(3).albumInfo.album, L"Love Songs of the Sixties");
  EXPECT_EQ(at(3).albumInfo.artist, L"The Beatles");
  EXPECT_EQ(at(8).albumInfo.artist, L"The Beatles Revival Band");
}

// A credit is the artist when the names are one after normalising, not
// when one contains the other.
TEST(MusicBrainzArtistKey, NamesAreOneWithoutCaseBlanksAndPunctuation) {
  const struct {
    const wchar_t *a, *b;
    bool same;
  } cases[] = {{L"AC/DC", L"ac-dc", true},          {L"Guns N\u2019 Roses", L"guns n' roses", true},
               {L"Sigur R\u00f3s", L"SIGUR R\u00d3S", true}, {L"\u0141\u0104KA", L"\u0142\u0105ka", true},
               {L"\u0414\u0414\u0422", L"\u0434\u0434\u0442", true}, {L"The Beatles", L"The Beatles Revival Band", false},
               {L"The Beatles", L"Beatles", false},      {L"", L"", true}};
  for (const auto& c : cases) {
    EXPECT_EQ(musicbrainz::ArtistKey(c.a) == musicbrainz::ArtistKey(c.b), c.same)
        << plugin_text::Narrow(c.a) << " / " << plugin_text::Narrow(c.b);
  }
}

TEST_F(MusicBrainzTest, BrowsingAnArtistAsksForOfficialReleasesAndRanksEveryDisc) {
  server_.ServeText("/ws/2/artist", R"({"created":"2026-11-30T10:12:43.511Z","count":1,"offset":0,"artists":[)"
                                    R"({"id":"5c1a9e3f-2b7d-4e60-8f14-a3d5c7e9b021","type":"Person","score":100,)"
                                    R"("name":"Singer","sort-name":"Singer"}]})");
  server_.ServeFile("/ws/2/release", Fixture("release_browse_singer.json"));
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"Singer", L"", albums, true), 5);  // releases, as the service counts them
  const CString artist(L"Singer");
  ASSERT_EQ(plugin()->FindAlbumsByArtist(&artist, albums), 1);
  std::vector<std::pair<std::string, std::int32_t>> seen;
  for (const auto& album : albums) seen.emplace_back(Narrow(album.albumInfo.albumKey), album.albumInfo.albumNumber);
  // The album's two discs, the later album, the compilation, the single,
  // and last the duets credited to more than the artist.
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::int32_t>>{{FixtureId('5', 2), 1},
                                                                     {FixtureId('5', 2), 2},
                                                                     {FixtureId('5', 5), 1},
                                                                     {FixtureId('5', 1), 1},
                                                                     {FixtureId('5', 3), 1},
                                                                     {FixtureId('5', 4), 1}}));
  ASSERT_EQ(server_.RequestCount(), 2u);
  const std::string browse = server_.Requests().back().target;
  EXPECT_NE(browse.find("status=official&type=album%7Cep%7Csingle"), std::string::npos) << browse;
  EXPECT_NE(browse.find("inc=artist-credits+release-groups+media"), std::string::npos) << browse;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
// The service's answer to a recording search that finds nothing.
constexpr char kNoRecordings[] = R"({"created":"2026-11-30T10:12:45.000Z","count":0,"offset":0,"recordings":[]})";

// An artist's first title is searched; the search's credits name the
// artist, whose releases are then browsed once with their tracks. Its later
// titles are found there without a request each, ranked as searched ones;
// a title none of them holds is searched.
TEST_F(MusicBrainzTest, AnArtistsLaterTitlesAreFoundInItsBrowsedReleases) {
  server_.Handle("/ws/2/recording", [](const RecordedRequest& r) {
    const bool opening = r.target.find("Opening") != std::string::npos;
    return HttpResponse{200, "OK", {}, opening ? FileText(Fixture("recording_search_singer_opening.json")) : kNoRecordings};
  });
  server_.ServeFile("/ws/2/release", Fixture("release_browse_singer.json"));
  const struct {
    const wchar_t* title;
    std::int32_t recordings;
    std::vector<std::pair<int, std::int32_t>> albums;  // browsed release n and disc, in the order offered
    std::uint32_t track;                                // of the first album
    std::size_t requests;                               // in all, after it
  } cases[] = {
      {L"Opening", 1, {{2, 1}, {1, 1}}, 1, 2},
      {L"shared title", 2, {{2, 1}, {2, 2}}, 2, 2},
      {L"Demo One", 1, {{2, 2}}, 2, 2},
      {L"Hit Single", 1, {{1, 1}, {3, 1}}, 2, 2},  // an album, though a compilation, before a single
      {L"Duet", 1, {{4, 1}}, 1, 2},                 // credited to two, yet the artist's
      {L"Cover Song", 0, {}, 0, 3},                 // on none of them: searched
  };
  for (const auto& c : cases) {
    std::list<Nimbrel::AlbumResult> albums;
    EXPECT_EQ(Find(L"Singer", c.title, albums, true), c.recordings) << Narrow(c.title);
    EXPECT_EQ(Find(L"Singer", c.title, albums), c.recordings) << Narrow(c.title);
    std::vector<std::pair<int, std::int32_t>> seen;
    for (const auto& album : albums) {
      seen.emplace_back(std::stoi(Narrow(album.albumInfo.albumKey).substr(1, 7)), album.albumInfo.albumNumber);
      EXPECT_EQ(album.albumInfo.albumKey, Widen(FixtureId('5', seen.back().first)));
    }
    EXPECT_EQ(seen, c.albums) << Narrow(c.title);
    if (!albums.empty()) {
      ASSERT_EQ(albums.front().tracks.size(), 1u);
      EXPECT_EQ(albums.front().tracks.front().trackNumber, c.track) << Narrow(c.title);
    }
    EXPECT_EQ(server_.RequestCount(), c.requests) << Narrow(c.title);
  }
  // The artist's id came from the search's credits: no artist search.
  const auto requests = server_.Requests();
  EXPECT_NE(requests[1].target.find("artist=5c1a9e3f-2b7d-4e60-8f14-a3d5c7e9b021"), std::string::npos);
  EXPECT_NE(requests[1].target.find("+recordings"), std::string::npos) << requests[1].target;
  // Counting the artist's releases reads the browsed page again.
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"Singer", L"", albums, true), 5);
  EXPECT_EQ(server_.RequestCount(), 3u);
}

// An artist of more releases than a page holds is browsed whole only once
// it has had as many titles asked as it has pages: each page beyond the
// first stands for a search saved. Pages start where the last one ended.
TEST_F(MusicBrainzTest, AnArtistOfManyPagesIsBrowsedWholeOnceItHasAsManyTitles) {
  const auto releaseId = [](int n) {
    char id[40];
    std::snprintf(id, sizeof id, "%08d-0000-4000-8000-000000000000", n);
    return std::string(id);
  };
  const std::string credit = std::string(R"("artist-credit":[{"name":"Singer","joinphrase":"","artist":{"id":")") +
                             kArtistId + R"(","name":"Singer","sort-name":"Singer"}}])";
  server_.Handle("/ws/2/recording", [&](const RecordedRequest& r) {
    const auto at = r.target.find("Title%20");
    if (at == std::string::npos) return HttpResponse{200, "OK", {}, kNoRecordings};
    const int n = std::atoi(r.target.c_str() + at + 8);
    return HttpResponse{200, "OK", {},
                        Search(R"({"id":"r","score":100,"title":"Title )" + std::to_string(n) + R"(",)" + credit +
                               R"(,"releases":[)" + SearchRelease(releaseId(n), "Album", 1, 0) + "]}")};
  });
  // 150 releases, a title each; the service gives 100, then the rest.
  server_.Handle("/ws/2/release", [&](const RecordedRequest& r) {
    const int offset = std::atoi(r.target.c_str() + r.target.find("offset=") + 7);
    std::string releases;
    for (int n = offset; n < std::min(offset + 100, 150); ++n) {
      releases += std::string(n > offset ? "," : "") + R"({"id":")" + releaseId(n) + R"(","title":"Album","status":"Official",)" +
                  credit + R"(,"media":[{"position":1,"track-offset":0,"tracks":[)" + Track(1, "Title " + std::to_string(n)) + "]}]}";
    }
    return HttpResponse{200, "OK", {},
                        R"({"release-count":150,"release-offset":)" + std::to_string(offset) + R"(,"releases":[)" + releases + "]}"};
  });
  const struct {
    const wchar_t* title;
    int release;           // of the album offered first; -1 for none
    std::size_t requests;  // in all, after it
  } cases[] = {
      {L"Title 5", 5, 2},      // searched; the first page browsed
      {L"Title 120", 120, 3},  // two titles for two pages: the second page browsed
      {L"Title 7", 7, 3},
      {L"Nothing", -1, 4},     // on none of them: searched
  };
  for (const auto& c : cases) {
    std::list<Nimbrel::AlbumResult> albums;
    Find(L"Singer", c.title, albums);
    EXPECT_EQ(albums.empty() ? -1 : std::stoi(Narrow(albums.front().albumInfo.albumKey).substr(0, 8)), c.release)
        << Narrow(c.title);
    EXPECT_EQ(server_.RequestCount(), c.requests) << Narrow(c.title);
  }
  EXPECT_NE(server_.Requests()[2].target.find("offset=100"), std::string::npos) << server_.Requests()[2].target;
}

// Titles of one artist asked by several threads at once: the first learns
// the artist while the others wait for it, instead of a search each.
TEST_F(MusicBrainzTest, ThreadsAskingTitlesOfOneArtistAtOnceShareOneSearchAndOneBrowse) {
  std::mutex mutex;
  std::condition_variable changed;
  int asking = 0;
  const std::vector<std::wstring> titles{L"Opening", L"Shared Title", L"Demo One", L"Hit Single"};
  server_.Handle("/ws/2/recording", [&](const RecordedRequest&) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return asking == static_cast<int>(titles.size()); });
    return HttpResponse{200, "OK", {}, FileText(Fixture("recording_search_singer_opening.json"))};
  });
  server_.ServeFile("/ws/2/release", Fixture("release_browse_singer.json"));
  std::vector<std::int32_t> found(titles.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < titles.size(); ++i) {
    threads.emplace_back([&, i] {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++asking;
      }
      changed.notify_all();
      std::list<Nimbrel::AlbumResult> albums;
      found[i] = Find(L"Singer", titles[i], albums);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(found, (std::vector<std::int32_t>{1, 2, 1, 1}));
  EXPECT_EQ(server_.RequestCount(), 2u);
}

// A disc is an album of its own; a hidden track before the first is track 0.
TEST_F(MusicBrainzTest, ALookUpGivesTheTracksOfTheDiscAsked) {
  const std::string debut = FixtureId('5', 2);
  server_.ServeFile("/ws/2/release/" + debut, Fixture("release_lookup_debut.json"));
  using Tracks = std::vector<std::pair<std::wstring, std::uint32_t>>;
  const Tracks first{{L"Hidden Intro", 0}, {L"Opening", 1}, {L"Shared Title", 2}};
  const struct {
    std::int32_t asked, number;
    Tracks tracks;
  } cases[] = {{2, 2, {{L"Shared Title", 1}, {L"Demo One", 2}}}, {1, 1, first}, {0, 1, first}, {7, 1, first}};
  for (const auto& c : cases) {
    Nimbrel::AlbumInfo album;
    Nimbrel::CoverInfo cover;
    std::list<Nimbrel::TrackInfo> tracks;
    ASSERT_EQ(Details(Widen(debut), album, cover, tracks, c.asked), 1);
    EXPECT_EQ(album.albumNumber, c.number) << c.asked;
    Tracks seen;
    for (const auto& t : tracks) seen.emplace_back(t.title, t.trackNumber);
    EXPECT_EQ(seen, c.tracks) << c.asked;
    EXPECT_EQ(album.genre, L"synth-pop");  // the top genre; "seen live" is a tag
    EXPECT_EQ(album.artist, L"Singer");
    // The release's ids, dates and counts; each track's disc, length and recording.
    EXPECT_EQ(album.albumArtist, L"Singer");
    EXPECT_EQ(album.releaseId, Widen(debut));
    EXPECT_EQ(album.releaseGroupId, L"60000002-0000-4000-8000-000000000002");
    EXPECT_EQ(album.originalDate, L"1999-05-01");
    EXPECT_EQ(album.discTotal, 2u);
    EXPECT_EQ(album.trackTotal, 2u);
    if (c.asked == 2) {
      ASSERT_EQ(tracks.size(), 2u);
      EXPECT_EQ(tracks.front().discNumber, 2u);
      EXPECT_EQ(tracks.front().lengthMs, 200000u) << "the recording's length when the track has none";
      EXPECT_EQ(tracks.front().recordingId, L"80000004-0000-4000-8000-000000000004");
      EXPECT_EQ(tracks.back().lengthMs, 0u) << "no length anywhere: unknown";
    }
  }
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// Through the real engine: a song found on disc 2 is tagged from disc 2,
// though disc 1 has a track of the same title.
TEST_F(MusicBrainzTest, TheEngineTagsASongOfDiscTwoFromDiscTwo) {
  const std::string debut = FixtureId('5', 2);
  server_.ServeText("/ws/2/recording", Search(Recording("Shared Title", 100, SearchRelease(debut, "Debut", 2, 0))));
  server_.ServeFile("/ws/2/release/" + debut, Fixture("release_lookup_debut.json"));
  engine_tests::Recorder recorder;
  CBasicTagsCommonSearchEngine engine;
  ASSERT_EQ(engine.Connect(plugin()), 1);
  engine_tests::SetUpLikeTheCore(engine, recorder);
  engine.GetAllBasicTags({engine_tests::Song(L"Singer", L"Shared Title", 7)});
  ASSERT_EQ(recorder.found.size(), 1u);
  EXPECT_EQ(recorder.found[0].info.albumInfo.albumNumber, 2);
  EXPECT_EQ(recorder.found[0].info.trackInfo.trackNumber, 1u);
  EXPECT_EQ(recorder.found[0].info.albumInfo.album, L"Debut");
}

// Through the real engine: the ids a song names are looked up and win over
// the search by artist and title, a recording's own track whatever its
// title (a release that holds it spares its look-up: asked before the
// recording's answer is cached); a release whose name is not the song's
// own album does not win.
TEST_F(MusicBrainzTest, IdsAreLookedUpAndWinUnlessTheirAlbumIsNotTheSongs) {
  const std::string debut = FixtureId('5', 2), recording = "80000004-0000-4000-8000-000000000004";
  server_.ServeFile("/ws/2/release/" + debut, Fixture("release_lookup_debut.json"));
  server_.ServeText("/ws/2/recording/" + recording,
                    R"({"id":")" + recording + R"(","title":"Shared Title","length":200000,)"
                    R"("artist-credit":[{"name":"Singer","joinphrase":""}],"releases":[{"id":")" + debut +
                    R"(","title":"Debut","status":"Official","date":"1999-05-01","release-group":{"id":"g",)"
                    R"("primary-type":"Album"},"media":[{"position":2,"format":"CD","track-count":2,)"
                    R"("track-offset":0,"tracks":[{"id":"t","number":"1","title":"Shared Title"}]}]}]})");
  server_.ServeText("/ws/2/recording", Search(Recording("Shared Title", 100, SearchRelease(kRelease1, "Back in Black", 1, 0))));
  server_.ServeText(std::string("/ws/2/release/") + kRelease1,
                    std::string(R"({"id":")") + kRelease1 + R"(","title":"Back in Black","media":[{"position":1,"tracks":[)" +
                        Track(1, "Shared Title") + "]}]}");
  const struct {
    std::wstring release, recording, album, title;
    std::wstring foundAlbum;
    std::int32_t disc;
    bool searched;  // by artist and title
    std::size_t recordingLookups;
  } cases[] = {{Widen(debut), L"", L"", L"Shared Title", L"Debut", 1, false, 0},
               {Widen(debut), Widen(recording), L"", L"Another Name", L"Debut", 2, false, 0},
               {L"", Widen(recording), L"Debut", L"Another Name", L"Debut", 2, false, 1},
               {Widen(debut), L"", L"Back in Black", L"Shared Title", L"Back in Black", 1, true, 0}};
  for (const auto& c : cases) {
    const std::size_t before = server_.Requests().size();
    engine_tests::Recorder recorder;
    CBasicTagsCommonSearchEngine engine;
    ASSERT_EQ(engine.Connect(plugin()), 1);
    engine_tests::SetUpLikeTheCore(engine, recorder);
    Nimbrel::SongQuery song = engine_tests::Song(L"Singer", c.title, 7);
    song.album = c.album;
    engine.SetSongIds(7, c.release, c.recording);
    engine.GetAllBasicTags({song});
    ASSERT_EQ(recorder.found.size(), 1u) << c.album;
    EXPECT_EQ(recorder.found[0].info.albumInfo.album, c.foundAlbum);
    EXPECT_EQ(recorder.found[0].info.albumInfo.albumNumber, c.disc);
    const auto requests = server_.Requests();
    const bool searched = std::any_of(requests.begin() + static_cast<std::ptrdiff_t>(before), requests.end(),
                                      [](const RecordedRequest& r) { return r.target.find("query=") != std::string::npos; });
    EXPECT_EQ(searched, c.searched) << c.album;
    EXPECT_EQ(std::count_if(requests.begin() + static_cast<std::ptrdiff_t>(before), requests.end(),
                            [](const RecordedRequest& r) { return r.path.rfind("/ws/2/recording/", 0) == 0; }),
              static_cast<std::ptrdiff_t>(c.recordingLookups)) << c.album;
  }
}

// A compilation of many artists, as the service gives it: each song takes
// its own track's artist, also when the compilation's details were kept
// from the search of another artist's song.
TEST_F(MusicBrainzTest, ACompilationOfManyGivesEachSongItsOwnArtist) {
  const std::string compilation = FixtureId('6', 1);
  const auto credit = [](const std::string& name, char id) {
    return R"([{"name":")" + name + R"(","joinphrase":"","artist":{"id":")" + std::string(8, id) +
           R"(-0000-4000-8000-000000000000","name":")" + name + R"(","sort-name":")" + name + R"("}}])";
  };
  const std::string various = std::string(R"([{"name":"Various Artists","joinphrase":"","artist":{"id":")") +
                              musicbrainz::kVariousArtistsId + R"(","name":"Various Artists","sort-name":"Various Artists"}}])";
  const std::string group = R"("release-group":{"id":"g","title":"Hits of Many","primary-type":"Album","secondary-types":["Compilation"]})";
  server_.Handle("/ws/2/recording", [&](const RecordedRequest& r) {
    const bool b = r.target.find("Song%20B") != std::string::npos;
    const std::string title = b ? "Song B" : "Song A";
    return HttpResponse{200, "OK", {},
                        Search(R"({"id":"r)" + title + R"(","score":100,"title":")" + title + R"(","artist-credit":)" +
                               credit(b ? "Artist B" : "Artist A", b ? 'b' : 'a') + R"(,"releases":[{"id":")" + compilation +
                               R"(","title":"Hits of Many","status":"Official","artist-credit":)" + various + "," + group +
                               R"(,"date":"2005","media":[{"position":1,"format":"CD","track":[{"id":"t","number":")" +
                               (b ? "2" : "1") + R"(","title":")" + title + R"(","length":200000}],"track-count":2,"track-offset":)" +
                               (b ? "1" : "0") + "}]}]}")};
  });
  // The artists have no releases of their own.
  server_.ServeText("/ws/2/release", R"({"release-count":0,"release-offset":0,"releases":[]})");
  server_.ServeText("/ws/2/release/" + compilation,
                    R"({"id":")" + compilation + R"(","title":"Hits of Many","status":"Official","date":"2005","artist-credit":)" +
                        various + "," + group + R"(,"media":[{"position":1,"format":"CD","track-count":2,"track-offset":0,"tracks":[)" +
                        R"({"id":"t1","position":1,"number":"1","title":"Song A","length":200000,"artist-credit":)" +
                        credit("Artist A", 'a') + R"(,"recording":{"id":"rSong A","title":"Song A","length":200000}},)" +
                        R"({"id":"t2","position":2,"number":"2","title":"Song B","length":200000,"artist-credit":)" +
                        credit("Artist B", 'b') + R"(,"recording":{"id":"rSong B","title":"Song B","length":200000}}]}]})");
  CAlbumMemory kept;
  engine_tests::Recorder recorder;
  unsigned id = 0;
  for (const wchar_t* artist : {L"Artist A", L"Artist B"}) {
    CBasicTagsCommonSearchEngine engine(&kept);
    ASSERT_EQ(engine.Connect(plugin()), 1);
    engine_tests::SetUpLikeTheCore(engine, recorder);
    engine.GetAllBasicTags({engine_tests::Song(artist, artist[7] == L'A' ? L"Song A" : L"Song B", ++id)});
  }
  ASSERT_EQ(recorder.found.size(), 2u);
  EXPECT_EQ(recorder.found[0].info.albumInfo.artist, L"Artist A");
  EXPECT_EQ(recorder.found[1].info.albumInfo.artist, L"Artist B");
  EXPECT_EQ(recorder.found[1].info.albumInfo.album, L"Hits of Many");
  EXPECT_EQ(recorder.found[1].info.trackInfo.trackNumber, 2u);
  const auto requests = server_.Requests();
  EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                          [](const RecordedRequest& r) { return r.path.rfind("/ws/2/release/", 0) == 0; }),
            1);  // the second song was matched against the kept details
}

// The genre is the top of the curated genres, the release's before its
// group's; free-form tags stand in only when the setting asks for them.
TEST_F(MusicBrainzTest, GenresComeFromGenresAndTagsOnlyWhenAsked) {
  const struct {
    const char *releaseGenres, *groupGenres, *releaseTags, *groupTags;
    std::int32_t tagsAsGenre;
    const wchar_t* genre;
  } cases[] = {
      {R"([{"name":"rock","count":1},{"name":"synth-pop","count":4}])", R"([{"name":"pop","count":9}])",
       R"([{"name":"seen live","count":12}])", "[]", 1, L"synth-pop"},
      {"[]", R"([{"name":"pop","count":2}])", R"([{"name":"seen live","count":12}])", "[]", 0, L"pop"},
      {"[]", "[]", R"([{"name":"seen live","count":12}])", R"([{"name":"pop","count":1}])", 0, L""},
      {"[]", "[]", R"([{"name":"seen live","count":12}])", R"([{"name":"pop","count":1}])", 1, L"seen live"},
      {"[]", "[]", "[]", R"([{"name":"pop","count":1}])", 1, L"pop"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string id = FixtureId('9', ++n);
    server_.ServeText("/ws/2/release/" + id,
                      R"({"id":")" + id + R"(","title":"Album","status":"Official","genres":)" + c.releaseGenres +
                          R"(,"tags":)" + c.releaseTags +
                          R"(,"release-group":{"id":"g","title":"Album","primary-type":"Album","secondary-types":[],"genres":)" +
                          c.groupGenres + R"(,"tags":)" + c.groupTags + R"(},"media":[]})");
    source_.Set(L"TagsAsGenre", c.tagsAsGenre);
    Nimbrel::AlbumInfo album;
    Nimbrel::CoverInfo cover;
    std::list<Nimbrel::TrackInfo> tracks;
    ASSERT_EQ(Details(Widen(id), album, cover, tracks), 1) << n;
    EXPECT_EQ(album.genre, c.genre) << n;
    const std::string target = server_.Requests().back().target;
    EXPECT_NE(target.find("+genres"), std::string::npos) << target;
    EXPECT_EQ(target.find("+tags") != std::string::npos, c.tagsAsGenre != 0) << target;
  }
}

TEST_F(MusicBrainzTest, MissingFieldsLeaveTheirPartsEmpty) {
  server_.ServeText(std::string("/ws/2/release/") + kRelease1,
                    std::string(R"({"id":")") + kRelease1 +
                        R"(","title":null,"asin":null,"date":"","media":[{"position":1,"tracks":[{"title":"Only","length":null}]}]})");
  Nimbrel::AlbumInfo album;
  album.artist = L"Asked artist";
  Nimbrel::CoverInfo cover;
  cover.coverUrl = L"stale";
  std::list<Nimbrel::TrackInfo> tracks;
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks), 1);
  EXPECT_EQ(album.album, L"Unknown");
  EXPECT_EQ(album.artist, L"Asked artist");
  EXPECT_EQ(album.year, 0);
  EXPECT_TRUE(album.genre.empty());
  EXPECT_TRUE(cover.coverUrl.empty());
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks.front().trackNumber, 1u);
}

TEST_F(MusicBrainzTest, FailuresAndBadIdsFindNothing) {
  server_.Serve("/ws/2/recording", {400, "Bad Request", {}, R"({"error":"Invalid query"})"});
  server_.Serve(std::string("/ws/2/release/") + kRelease1, {404, "Not Found", {}, R"({"error":"Not Found"})"});
  server_.ServeText(std::string("/ws/2/release/") + kRelease2, "<html>maintenance</html>", "text/html");
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"Artist", L"Title", albums), 0);
  Nimbrel::AlbumInfo album;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  EXPECT_EQ(Details(Widen(kRelease1), album, cover, tracks), 0);
  EXPECT_EQ(Details(Widen(kRelease2), album, cover, tracks), 0);
  const std::size_t before = server_.RequestCount();
  for (const wchar_t* bad : {L"../../../etc/passwd", L"11111111-1111-1111-1111-11111111111/", L"",
                                 L"AAAAAAAA-1111-1111-1111-111111111111", L"11111111-1111-1111-1111-111111111111?x"}) {
    EXPECT_EQ(Details(bad, album, cover, tracks), 0);
  }
  EXPECT_EQ(server_.RequestCount(), before);
  EXPECT_TRUE(tracks.empty());
  // A 64 MiB answer is refused whole.
  server_.ServeHuge("/ws/2/recording", 64ull * 1024 * 1024 + 1);
  EXPECT_EQ(Find(L"Artist", L"Huge", albums), 0);
  EXPECT_TRUE(albums.empty());
}

TEST_F(MusicBrainzTest, StalledServiceEndsWithinTheTimeOut) {
  server_.Stall("/ws/2/recording");
  source_.Set(L"TimeoutSeconds", 1);
  std::list<Nimbrel::AlbumResult> albums;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Find(L"Artist", L"Title", albums), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(MusicBrainzTest, ArtistReleasesArePagedAfterTheArtistLookUp) {
  server_.ServeText("/ws/2/artist", std::string(R"({"artists":[{"id":"bbbbbbbb-bbbb-bbbb-bbbb-bbbbbbbbbbbb","name":"Other","score":100},{"id":")") +
                                        kArtistId + R"(","name":"Singer","sort-name":"Singer","score":90}]})");
  server_.Handle("/ws/2/release", [](const RecordedRequest& r) {
    const bool second = r.target.find("offset=100") != std::string::npos;
    std::string releases;
    for (int i = 0; i < (second ? 50 : 100); ++i) {
      char id[40];
      std::snprintf(id, sizeof id, "%08d-0000-0000-0000-000000000000", i + (second ? 100 : 0));
      releases += std::string(i ? "," : "") + R"({"id":")" + id + R"(","title":"Album"})";
    }
    return HttpResponse{200, "OK", {}, R"({"release-count":150,"release-offset":0,"releases":[)" + releases + "]}"};
  });
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"singer", L"", albums, true), 150);
  EXPECT_EQ(server_.RequestCount(), 2u);  // counting reads the first page only
  const CString artist(L"singer");
  EXPECT_EQ(plugin()->FindAlbumsByArtist(&artist, albums), 1);
  ASSERT_EQ(albums.size(), 150u);
  EXPECT_EQ(albums.back().albumInfo.artist, L"singer");
  const auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 3u);  // the artist, two pages; then all from the cache
  EXPECT_NE(requests[1].target.find(std::string("artist=") + kArtistId), std::string::npos);
  EXPECT_NE(requests[2].target.find("offset=100"), std::string::npos);
}

TEST_F(MusicBrainzTest, Answer503WaitsForRetryAfterForEveryThread) {
  std::atomic<int> calls{0};
  server_.Handle("/ws/2/recording", [&calls](const RecordedRequest&) {
    const int call = ++calls;
    if (call == 1) return HttpResponse{503, "Busy", {{"Retry-After", "7"}}, R"({"error":"rate"})"};
    if (call <= 3) return HttpResponse{503, "Busy", {}, R"({"error":"rate"})"};
    return HttpResponse{200, "OK", {}, Search("")};
  });
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"Artist", L"Title", albums), 0);
  EXPECT_EQ(calls.load(), 4);
  std::lock_guard<std::mutex> lock(clock_.mutex);
  ASSERT_EQ(clock_.slots.size(), 4u);
  EXPECT_EQ(clock_.slots[1] - clock_.slots[0], 7000);  // Retry-After
  EXPECT_EQ(clock_.slots[2] - clock_.slots[1], 2000);  // then doubling with each try
  EXPECT_EQ(clock_.slots[3] - clock_.slots[2], 4000);
}

TEST_F(MusicBrainzTest, ALongRetryAfterEndsTheRequestAndSkipsTheServiceUntilThen) {
  server_.Serve("/ws/2/recording", {503, "Busy", {{"Retry-After", "3600"}}, R"({"error":"rate"})"});
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"Artist", L"Title", albums), 0);
  EXPECT_EQ(server_.RequestCount(), 1u);
  // Given up at once: no request and no wait of an hour.
  EXPECT_EQ(Find(L"Artist", L"Other", albums), 0);
  EXPECT_EQ(server_.RequestCount(), 1u);
  {
    std::lock_guard<std::mutex> lock(clock_.mutex);
    EXPECT_EQ(clock_.slots.size(), 1u);
  }
  clock_.now += 3600 * 1000;
  EXPECT_EQ(Find(L"Artist", L"Other", albums), 0);
  EXPECT_EQ(server_.RequestCount(), 2u);
}

TEST_F(MusicBrainzTest, FourThreadsShareOneRequestPerSecond) {
  server_.Handle("/ws/2/recording", [](const RecordedRequest&) { return HttpResponse{200, "OK", {}, Search("")}; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 5; ++i) {
        std::list<Nimbrel::AlbumResult> albums;
        Find(L"Artist", L"Song " + std::to_wstring(t) + L"-" + std::to_wstring(i), albums);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(server_.RequestCount(), 20u);
  std::lock_guard<std::mutex> lock(clock_.mutex);
  std::vector<std::int64_t> slots = clock_.slots;
  ASSERT_EQ(slots.size(), 20u);
  std::sort(slots.begin(), slots.end());
  for (std::size_t i = 1; i < slots.size(); ++i) EXPECT_GE(slots[i] - slots[i - 1], 1000) << i;
}

TEST_F(MusicBrainzTest, CachedAnswersCostNoRequestUntilTheyExpire) {
  server_.ServeText(std::string("/ws/2/release/") + kRelease1, Release(kRelease1, "null", "null"));
  Nimbrel::AlbumInfo album;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks), 1);
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks), 1);
  EXPECT_EQ(server_.RequestCount(), 1u);
  // Another process (a fresh module) finds the answer in the same file.
  {
    testing_support::WebPluginSource<CBasicTagsDllInterface> other{L"musicbrainz"};
    other.Set(L"BaseUrl", server_.Url("/ws/2"));
    other.plugin()->SetProperty(L"Clock", &clock_.clock);
    ASSERT_EQ(other.Set(L"DataFolder", Narrow(source_.folder()) + "data"), 1);
    album.albumKey = Widen(kRelease1);
    EXPECT_EQ(other.plugin()->GetAlbumDetails(&album, &cover, &tracks), 1);
    EXPECT_EQ(server_.RequestCount(), 1u);
  }
  clock_.now += 7LL * 24 * 3600 * 1000 + 1;  // a week later
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks), 1);
  EXPECT_EQ(server_.RequestCount(), 2u);
  source_.Set(L"CacheLifetimeSeconds", 0);
  ASSERT_EQ(Details(Widen(kRelease1), album, cover, tracks), 1);
  EXPECT_EQ(server_.RequestCount(), 3u);
}

TEST_F(MusicBrainzTest, TheHostsProxyCarriesTheRequestsUnlessThePluginNamesItsOwn) {
  testing_support::HttpTestServer hostProxy, ownProxy;
  for (auto* proxy : {&hostProxy, &ownProxy}) proxy->ServeText("/ws/2/recording", Search(""));
  {
    CBasicTagsCommonSearchEngine engine;
    ASSERT_EQ(engine.Connect(plugin()), 1);
    CString proxy(Widen(hostProxy.HostPort()));
    EXPECT_EQ(engine.SetProperty(L"HttpProxy", &proxy), 1);
  }
  std::list<Nimbrel::AlbumResult> albums;
  Find(L"Artist", L"One", albums);
  ASSERT_EQ(hostProxy.RequestCount(), 1u);
  EXPECT_EQ(hostProxy.Requests()[0].target.rfind(server_.Url("/ws/2/recording"), 0), 0u) << "a proxy's request";
  ASSERT_EQ(source_.Set(L"Proxy", ownProxy.HostPort()), 1);
  Find(L"Artist", L"Two", albums);
  EXPECT_EQ(ownProxy.RequestCount(), 1u);
  EXPECT_EQ(hostProxy.RequestCount(), 1u);
  EXPECT_EQ(server_.RequestCount(), 0u);
}

TEST_F(MusicBrainzTest, AStoppedSearchAsksNothingAndAnEndedEngineIsForgotten) {
  server_.ServeText("/ws/2/recording", Search(""));
  std::list<Nimbrel::AlbumResult> albums;
  {
    CBasicTagsCommonSearchEngine engine;
    ASSERT_EQ(engine.Connect(plugin()), 1);
    engine.SetStop();
    // As the engine's search calls the plug-in, on the engine's thread.
    EXPECT_EQ(Find(L"Artist", L"Title", albums), 0);
    EXPECT_EQ(server_.RequestCount(), 0u);
  }
  Find(L"Artist", L"Title", albums);
  EXPECT_EQ(server_.RequestCount(), 1u);
}

// Ten albums of ten songs, each album's songs searched as one batch by the
// real engine, twice: the second run asks the service nothing.
TEST_F(MusicBrainzTest, RetaggingALibraryTwiceRequestsNothingTheSecondTime) {
  const auto releaseId = [](int a) {
    char id[40];
    std::snprintf(id, sizeof id, "%08d-0000-4000-8000-000000000000", a);
    return std::string(id);
  };
  const std::string credit = std::string(R"("artist-credit":[{"name":"Band","joinphrase":"","artist":{"id":")") +
                             kArtistId + R"(","name":"Band","sort-name":"Band"}}])";
  server_.Handle("/ws/2/recording", [&](const RecordedRequest& r) {
    const auto at = r.target.find("Album%20");  // the song title names its album: "Album 3 Song 7"
    const int a = std::atoi(r.target.c_str() + at + 8);
    return HttpResponse{200, "OK", {},
                        Search(R"({"id":"r","score":100,"title":"x",)" + credit + R"(,"releases":[)" +
                               SearchRelease(releaseId(a), "Album " + std::to_string(a), 1, 0) + "]}")};
  });
  // The artist's releases, browsed with their tracks; and each looked up.
  std::string releases;
  for (int a = 0; a < 10; ++a) {
    std::string tracks;
    for (int s = 0; s < 10; ++s) {
      tracks += std::string(s ? "," : "") + Track(s + 1, "Album " + std::to_string(a) + " Song " + std::to_string(s));
    }
    const std::string release = R"({"id":")" + releaseId(a) + R"(","title":"Album )" + std::to_string(a) +
                                R"(","status":"Official","date":"2001",)" + credit +
                                R"(,"release-group":{"id":"g","primary-type":"Album","secondary-types":[]},)"
                                R"("media":[{"position":1,"format":"CD","track-count":10,"track-offset":0,"tracks":[)" +
                                tracks + "]}]}";
    releases += std::string(a ? "," : "") + release;
    server_.ServeText("/ws/2/release/" + releaseId(a), release);
  }
  server_.ServeText("/ws/2/release", R"({"release-count":10,"release-offset":0,"releases":[)" + releases + "]}");
  std::size_t firstRun = 0;
  for (int run = 0; run < 2; ++run) {
    engine_tests::Recorder recorder;
    for (int a = 0; a < 10; ++a) {
      CBasicTagsCommonSearchEngine engine;
      ASSERT_EQ(engine.Connect(plugin()), 1);
      engine_tests::SetUpLikeTheCore(engine, recorder);
      std::list<Nimbrel::SongQuery> songs;
      for (int s = 0; s < 10; ++s) {
        songs.push_back(engine_tests::Song(L"Band", L"Album " + std::to_wstring(a) + L" Song " + std::to_wstring(s),
                                           static_cast<unsigned>(a * 10 + s)));
      }
      engine.GetAllBasicTags(songs);
    }
    ASSERT_EQ(recorder.found.size(), 100u) << "run " << run;
    const auto& last = recorder.found.back().info;
    EXPECT_EQ(last.albumInfo.year, 2001);
    EXPECT_EQ(last.source, L"musicbrainz");
    if (run == 0) firstRun = server_.RequestCount();
  }
  std::printf("musicbrainz requests for 100 songs of 10 albums: first run %zu, second run %zu\n", firstRun,
              server_.RequestCount() - firstRun);
  EXPECT_EQ(server_.RequestCount(), firstRun);
  // The first song searched, the artist's releases browsed once, and one
  // look-up per album; the other titles are found among the browsed.
  EXPECT_EQ(firstRun, 1u + 1u + 10u);
}

}  // namespace
