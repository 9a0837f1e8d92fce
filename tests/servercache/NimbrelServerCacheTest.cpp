#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "covers/TestPictures.h"
#include "platform/TextCodec.h"
#include "servercache/NimbrelServerCache.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::HttpResponse;
using testing_support::HttpTestServer;
using testing_support::RecordedRequest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// The fake clock starts at 2026-01-15 12:00:00 UTC.
const std::string kTimestamp = "timestamp=2026-01-15T12%3A00%3A00Z";

std::string Narrow(const std::wstring& text) { return platform::ToUtf8(text); }

// The body up to "&signature=", after checking that the signature there signs it.
std::string Unsigned(const RecordedRequest& request) {
  const std::size_t at = request.body.rfind("&signature=");
  EXPECT_NE(std::string::npos, at) << request.body;
  if (at == std::string::npos) return request.body;
  const std::string text = request.body.substr(0, at);
  EXPECT_EQ(Narrow(CNimbrelServerCache::Sign(platform::FromUtf8(text))), request.body.substr(at + 11));
  return text;
}

class ServerCacheTest : public ::testing::Test {
 protected:
  ServerCacheTest() : scopedEnv(&env) {
    settings.TagCacheHost = platform::FromUtf8(server.HostPort()).c_str();
    settings.HttpProxy = L"0";
    cache = std::make_unique<CNimbrelServerCache>(settings);
    cache->requestTimeoutMs = 5000;
  }

  std::int32_t Lookup(Nimbrel::SongInfo& info, std::vector<std::wstring>& names) {
    return cache->Lookup(L"AC/DC", L"T.N.T.", info, names, true);
  }
  // A record within every limit.
  static Nimbrel::SongInfo Song(const std::wstring& title = L"T.N.T.") {
    Nimbrel::SongInfo song(L"AC/DC", title, L"High Voltage");
    song.albumInfo.genre = L"Rock";
    song.albumInfo.year = 1975;
    song.trackInfo.trackNumber = 7;
    song.coverInfo.coverUrl = L"http://covers/hv.jpg";
    song.source = L"discs";
    return song;
  }

  testing_support::FakeEnv env;
  platform::ScopedEnv scopedEnv;
  HttpTestServer server;
  NimbrelSettings settings;
  std::unique_ptr<CNimbrelServerCache> cache;
};

TEST_F(ServerCacheTest, LookupIsSentByteForByteDirectOrThroughTheProxy) {
  server.ServeText("/lookup.php", "");
  Nimbrel::SongInfo info;
  std::vector<std::wstring> names;
  EXPECT_EQ(0, Lookup(info, names));
  EXPECT_EQ(0, cache->Lookup(L"a b", L"\u00e9", info, names, false));
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("POST", requests[0].method);
  EXPECT_EQ("/lookup.php", requests[0].target);
  EXPECT_EQ("application/x-www-form-urlencoded", requests[0].Header("Content-Type"));
  EXPECT_FALSE(requests[0].HasHeader("Referer"));
  EXPECT_EQ("artist=AC%2FDC&searcher=1&" + kTimestamp + "&title=T.N.T.&type=tags&version=1", Unsigned(requests[0]));
  EXPECT_EQ("artist=a%20b&searcher=0&" + kTimestamp + "&title=%C3%A9&type=tags&version=1", Unsigned(requests[1]));
  EXPECT_EQ(L"2026-01-15T12:00:00Z", CNimbrelServerCache::MakeTimestamp());

  // Through the configured proxy: a plain test server answering absolute-form
  // requests by their path; a host that is not loopback is only ever sent to it.
  HttpTestServer proxy;
  proxy.ServeText("/lookup.php", "artist=A\r\ntitle=T\r\n");
  settings.TagCacheHost = L"tags.nimbrel.test";
  settings.HttpProxy = platform::FromUtf8(proxy.HostPort()).c_str();
  EXPECT_EQ(1, Lookup(info, names));
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ("http://tags.nimbrel.test/lookup.php", proxy.Requests()[0].target);
  EXPECT_EQ(2u, server.RequestCount());
}

TEST_F(ServerCacheTest, EveryStatusAndAnswerGivesItsResult) {
  struct Case {
    int status;
    std::string body;
    std::int32_t result;
    std::vector<std::wstring> names;
  };
  const Case cases[] = {
      {200, "", 0, {}},
      {202, "working", -1, {}},
      {207, "a, b,c", -2, {L"a", L"b", L"c"}},
      {207, ",x,, y ,", -2, {L"x", L"y"}},
      {404, "please skip search now", -3, {}},
      {404, "not here", 0, {}},
      {500, "artist=A\r\ntitle=T\r\n", 0, {}},
      {301, "", 0, {}},
      {200, "title=T\r\nalbum=X\r\n", 0, {}},          // no artist
      {200, "artist=A\r\nalbum=X\r\n", 0, {}},         // no title
      {200, "artist=A\ntitle=T\n", 0, {}},             // lines without CR LF
      {200, "artist=A\r\ntitle=T", 0, {}},             // the last line unended
      {200, "xartist=A\r\ntitle=T\r\n", 0, {}},        // a key inside a line
  };
  for (const Case& c : cases) {
    HttpResponse response;
    response.status = c.status;
    response.body = c.body;
    server.Serve("/lookup.php", response);
    Nimbrel::SongInfo info;
    std::vector<std::wstring> names{L"kept"};
    EXPECT_EQ(c.result, Lookup(info, names)) << c.status << " " << c.body;
    std::vector<std::wstring> expected{L"kept"};
    expected.insert(expected.end(), c.names.begin(), c.names.end());
    EXPECT_EQ(expected, names) << c.status << " " << c.body;
  }
  // No answer at all: nobody listens there any more.
  auto closed = std::make_unique<HttpTestServer>();
  settings.TagCacheHost = platform::FromUtf8(closed->HostPort()).c_str();
  closed.reset();
  Nimbrel::SongInfo info;
  std::vector<std::wstring> names;
  EXPECT_EQ(0, Lookup(info, names));
}

TEST_F(ServerCacheTest, FoundAnswerFillsTheRecord) {
  struct Case {
    std::string body;
    std::wstring artist, title, album, genre, coverUrl, source;
    std::int32_t year;
    std::uint32_t track;
  };
  const Case cases[] = {
      {"artist=AC/DC\r\ntitle=T.N.T.\r\nalbum=High Voltage\r\ngenre=Rock\r\nyear=1975\r\ntracknr=7\r\n"
       "coverurl=http://c/x.jpg\r\nsource=discs\r\n",
       L"AC/DC", L"T.N.T.", L"High Voltage", L"Rock", L"http://c/x.jpg", L"discs", 1975, 7},
      // Keys count only at a line's start; the first of a repeated key wins;
      // numbers that are no 32-bit number read as 0.
      {"artist=A\r\ntitle=T\r\ncoverurl=http://c/x.jpg?source=api\r\nartist=B\r\nyear=" + std::string(40, '9') +
           "\r\ntracknr=x\r\n",
       L"A", L"T", L"", L"", L"http://c/x.jpg?source=api", L"", 0, 0},
      {"artist=\xC3\xA9\r\ntitle=\xFF\xFEZ\r\nyear=-12ab\r\ntracknr=3 \r\n", L"\u00e9", L"", L"", L"", L"", L"", -12, 3},
  };
  for (const Case& c : cases) {
    server.ServeText("/lookup.php", c.body);
    Nimbrel::SongInfo info;
    info.trackInfo.composer = L"untouched";
    std::vector<std::wstring> names;
    const std::int32_t result = Lookup(info, names);
    EXPECT_EQ(c.artist, info.albumInfo.artist);
    EXPECT_EQ(L"untouched", info.trackInfo.composer);
    if (c.title.empty()) {  // not UTF-8: decoded to something, never a crash
      EXPECT_EQ(1, result);
      EXPECT_FALSE(info.trackInfo.title.empty());
    } else {
      EXPECT_EQ(1, result) << c.body;
      EXPECT_EQ(c.title, info.trackInfo.title);
      EXPECT_EQ(c.album, info.albumInfo.album);
      EXPECT_EQ(c.genre, info.albumInfo.genre);
      EXPECT_EQ(c.coverUrl, info.coverInfo.coverUrl);
      EXPECT_EQ(c.source, info.source);
    }
    EXPECT_EQ(c.year, info.albumInfo.year);
    EXPECT_EQ(c.track, info.trackInfo.trackNumber);
  }
}

TEST_F(ServerCacheTest, HugeAnswersAreReadOrRefused) {
  std::string names;
  for (int i = 0; i < 100000; ++i) names += (i ? ", s" : "s") + std::to_string(i);
  HttpResponse many;
  many.status = 207;
  many.body = names;
  server.Serve("/lookup.php", many);
  Nimbrel::SongInfo info;
  std::vector<std::wstring> found;
  EXPECT_EQ(-2, Lookup(info, found));
  ASSERT_EQ(100000u, found.size());
  EXPECT_EQ(L"s99999", found.back());

  std::string body = "artist=A\r\ntitle=T\r\n";
  body.resize(64u << 20, 'x');  // the client's body limit exactly
  server.ServeText("/lookup.php", body);
  EXPECT_EQ(1, Lookup(info, found));
  body.push_back('x');
  server.ServeText("/lookup.php", body);
  info = {};
  EXPECT_EQ(0, Lookup(info, found));
  server.DropMidBody("/lookup.php", 100, "artist=A\r\ntitle=T\r\n");
  EXPECT_EQ(0, Lookup(info, found));
}

TEST_F(ServerCacheTest, RetryAsksEveryTenToTwentySecondsForFiveMinutes) {
  // The fake clock's reading at every request; 202 until the `answerAfter`th.
  std::mutex mutex;
  std::vector<std::uint32_t> ticks;
  std::size_t answerAfter = 0;
  server.Handle("/lookup.php", [&](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mutex);
    ticks.push_back(env.TickCount());
    HttpResponse response;
    if (ticks.size() >= answerAfter) {
      response.body = "artist=A\r\ntitle=T\r\n";
    } else {
      response.status = 202;
    }
    return response;
  });
  const auto restart = [&](std::size_t after) {
    std::lock_guard<std::mutex> lock(mutex);
    ticks.clear();
    answerAfter = after;
  };
  const auto seen = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return ticks;
  };
  Nimbrel::SongInfo info;
  std::vector<std::wstring> names;
  restart(1000);
  EXPECT_EQ(-1, cache->LookupWithRetry(L"a", L"t", info, names, true));
  const std::vector<std::uint32_t> asked = seen();
  ASSERT_GE(asked.size(), 16u);
  ASSERT_LE(asked.size(), 31u);
  for (std::size_t i = 1; i < asked.size(); ++i) {
    const std::uint32_t pause = asked[i] - asked[i - 1];
    EXPECT_TRUE(pause >= 10000 && pause <= 20000 && pause % 1000 == 0) << pause;
  }
  EXPECT_GE(asked.back() - asked.front(), CNimbrelServerCache::kRetryForMs);
  EXPECT_LT(asked[asked.size() - 2] - asked.front(), CNimbrelServerCache::kRetryForMs);

  restart(3);
  EXPECT_EQ(1, cache->LookupWithRetry(L"a", L"t", info, names, false));
  EXPECT_EQ(3u, seen().size());

  // A stop query ends the wait within a second's slice.
  struct StopAfter : ILookupRetryStop {
    int left = 3;
    bool ContinueWaiting() override { return --left > 0; }
  } stop;
  restart(1000);
  const std::int64_t sleptBefore = env.sleptMs();
  EXPECT_EQ(-1, cache->LookupWithRetry(L"a", L"t", info, names, false, &stop));
  EXPECT_EQ(1u, seen().size());
  EXPECT_LE(env.sleptMs() - sleptBefore, 2 * static_cast<std::int64_t>(CNimbrelServerCache::kSleepSliceMs));
}

TEST_F(ServerCacheTest, FillSendsTheRecordAndTheCoverAsOnDisk) {
  server.ServeText("/fill.php", "");
  testing_support::ScratchFolder folder;
  const std::string picture = test_pictures::Make(test_pictures::Kind::kPng, 40, 30);
  testing_support::WriteFileBytes(folder / L"c.png", picture);
  Nimbrel::SongInfo song = Song();
  song.coverInfo.coverFile = folder / L"c.png";
  song.coverInfo.coverWidth = 999;  // not what is sent
  EXPECT_EQ(1, cache->Fill(song));
  song.albumInfo.album = L"Other";
  song.coverInfo.coverFile = folder / L"missing.png";
  EXPECT_EQ(1, cache->Fill(song));
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/fill.php", requests[0].target);
  EXPECT_EQ("album=High%20Voltage&artist=AC%2FDC&cover_size_bytes=" + std::to_string(picture.size()) +
                "&cover_x_resolution=40&cover_y_resolution=30&coverurl=http%3A%2F%2Fcovers%2Fhv.jpg&genre=Rock"
                "&source=discs&" + kTimestamp + "&title=T.N.T.&tracknr=7&type=tags&version=1&year=1975",
            Unsigned(requests[0]));
  EXPECT_NE(std::string::npos, requests[1].body.find("&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0&"));
}

TEST_F(ServerCacheTest, FillLimitsHoldAtTheirBoundaries) {
  server.ServeText("/fill.php", "");
  using Edit = void (*)(Nimbrel::SongInfo&, bool over);
  const Edit edits[] = {
      [](Nimbrel::SongInfo& s, bool over) { s.albumInfo.album.assign(over ? 256 : 255, L'a'); },
      [](Nimbrel::SongInfo& s, bool over) { s.albumInfo.artist.assign(over ? 256 : 255, L'a'); },
      [](Nimbrel::SongInfo& s, bool over) { s.coverInfo.coverUrl.assign(over ? 256 : 255, L'a'); },
      [](Nimbrel::SongInfo& s, bool over) { s.albumInfo.genre.assign(over ? 51 : 50, L'a'); },
      [](Nimbrel::SongInfo& s, bool over) { s.albumInfo.genre = std::wstring(over ? 49 : 48, L'a') + L"\U0001F600"; },
      [](Nimbrel::SongInfo& s, bool over) { s.source.assign(over ? 21 : 20, L's'); },
      [](Nimbrel::SongInfo& s, bool over) { s.source = std::wstring(10, L'\U0001F600') + (over ? L"a" : L""); },
      [](Nimbrel::SongInfo& s, bool over) { s.trackInfo.title.assign(over ? 256 : 255, L't'); },
      [](Nimbrel::SongInfo& s, bool over) { s.trackInfo.trackNumber = over ? 100 : 99; },
      [](Nimbrel::SongInfo& s, bool over) { s.albumInfo.year = over ? 10000 : 9999; },
  };
  for (std::size_t i = 0; i < std::size(edits); ++i) {
    for (const bool over : {false, true}) {
      CNimbrelServerCache fresh(settings);
      Nimbrel::SongInfo song = Song();
      edits[i](song, over);
      server.ClearRequests();
      EXPECT_EQ(over ? 0 : 1, fresh.Fill(song)) << "edit " << i << (over ? " over" : " at");
      EXPECT_EQ(over ? 0u : 1u, server.RequestCount()) << "edit " << i;
    }
  }
}

TEST_F(ServerCacheTest, AcceptedFillsAndReportsAreSentOncePerProcess) {
  HttpResponse refuse;
  refuse.status = 500;
  for (const char* path : {"/fill.php", "/reportFail.php"}) server.Serve(path, refuse);
  EXPECT_EQ(0, cache->Fill(Song()));
  EXPECT_EQ(0, cache->Fill(Song()));  // refused, so sent again
  cache->ReportFail(L"A", L"T", L"src");
  cache->ReportFail(L"A", L"T", L"src");
  EXPECT_EQ(4u, server.RequestCount());

  for (const char* path : {"/fill.php", "/reportFail.php"}) server.ServeText(path, "");
  server.ClearRequests();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(1, cache->Fill(Song()));
    cache->ReportFail(L"A", L"T", L"src");
    cache->ReportFail(L"A", L"T", L"");
  }
  Nimbrel::SongInfo mb = Song();
  mb.source = L"musicbrainz";
  EXPECT_EQ(1, cache->Fill(mb));
  cache->ReportFail(std::wstring(256, L'a'), L"T", L"");
  const auto requests = server.Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("artist=A&source=src&" + kTimestamp + "&title=T&type=tags&version=1", Unsigned(requests[1]));
  EXPECT_EQ("artist=A&" + kTimestamp + "&title=T&type=tags&version=1", Unsigned(requests[2]));
  EXPECT_TRUE(cache->WasSent(L"AC/DCT.N.T.High Voltagediscs"));
  EXPECT_TRUE(cache->WasSent(L"Fail:ATsrc"));
}

// The memory of accepted fills keeps the newest: one forgotten past the
// limit is merely sent again when it comes back.
TEST_F(ServerCacheTest, TheMemoryOfAcceptedFillsKeepsTheNewestAndAForgottenOneIsSentAgain) {
  server.ServeText("/fill.php", "");
  CNimbrelServerCache small(settings, 2);
  small.requestTimeoutMs = 5000;
  for (const wchar_t* title : {L"a", L"b", L"a", L"c", L"b"}) EXPECT_EQ(1, small.Fill(Song(title)));
  EXPECT_EQ(3u, server.RequestCount());  // a, b, c: "a" went out when "c" came
  EXPECT_EQ(1, small.Fill(Song(L"a")));
  EXPECT_EQ(4u, server.RequestCount());
  EXPECT_FALSE(small.WasSent(L"AC/DCbHigh Voltagediscs"));
  EXPECT_TRUE(small.WasSent(L"AC/DCcHigh Voltagediscs"));
  EXPECT_TRUE(small.WasSent(L"AC/DCaHigh Voltagediscs"));
}

TEST_F(ServerCacheTest, EmptyHostSwitchesEverythingOff) {
  server.ServeText("/lookup.php", "artist=A\r\ntitle=T\r\n");
  settings.TagCacheHost = L"";
  Nimbrel::SongInfo info;
  std::vector<std::wstring> names;
  EXPECT_EQ(0, Lookup(info, names));
  EXPECT_EQ(0, cache->LookupWithRetry(L"a", L"t", info, names, true));
  EXPECT_EQ(0, cache->Fill(Song()));
  cache->ReportFail(L"A", L"T", L"");
  cache->PostFill(Song());
  cache.reset();  // waits for the queued fill, if it runs
  EXPECT_EQ(0u, server.RequestCount());
}

TEST_F(ServerCacheTest, FeedbackStopsAtTheFirstMusicbrainzAlbum) {
  server.ServeText("/fill.php", "");
  server.ServeText("/reportFail.php", "");
  std::list<Nimbrel::AlbumResult> results(3);
  const wchar_t* sources[] = {L"x", L"musicbrainz", L"y"};
  int n = 0;
  for (auto& album : results) {
    album.source = sources[n];
    album.albumInfo.artist = L"A";
    for (int t = 0; t < 2; ++t) album.tracks.emplace_back().title = L"t" + std::to_wstring(n * 2 + t);
    ++n;
  }
  cache->SendFeedback(results, false);
  auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("artist=A&source=x&" + kTimestamp + "&title=t1&type=tags&version=1", Unsigned(requests[1]));

  // Fills run on the pool; a marker queued behind them tells when they have.
  server.ClearRequests();
  cache->SendFeedback(results, true);
  Nimbrel::SongInfo marker = Song(L"marker");
  cache->PostFill(marker);
  ASSERT_TRUE(server.WaitForRequests(3, 20000));
  cache.reset();
  requests = server.Requests();
  ASSERT_EQ(3u, requests.size());
  for (const auto& request : requests) EXPECT_EQ(std::string::npos, request.body.find("title=t4"));
}

// A song found by two paths queues its fill twice; a server that refuses
// fills (404) is sent it once all the same.
TEST_F(ServerCacheTest, AFillQueuedTwiceIsSentOnceEvenWhenRefused) {
  cache->PostFill(Song());
  cache->PostFill(Song());
  cache->PostFill(Song(L"marker"));
  ASSERT_TRUE(server.WaitForRequests(2, 20000));
  cache.reset();  // waits for what is still queued
  EXPECT_EQ(2u, server.RequestCount());
}

// New settings (a second initialisation) and an unload both drop the queued
// fills and wait for the running ones; after new settings a dropped fill may
// be queued again.
TEST_F(ServerCacheTest, NewSettingsAndUnloadDropQueuedFillsAndWaitForRunningOnes) {
  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
  server.Handle("/fill.php", [&](const RecordedRequest&) {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [&] { return open; });
    return HttpResponse{};
  });
  const auto dropWhileTwoRun = [&](std::function<void()> drop) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = false;
    }
    const std::size_t before = server.RequestCount();
    for (int i = 0; i < 200; ++i) cache->PostFill(Song(L"song " + std::to_wstring(i)));
    ASSERT_TRUE(server.WaitForRequests(before + 2, 20000));
    std::thread dropping(drop);
    while (cache->QueuedJobCount() != 0) std::this_thread::yield();  // the queue is dropped first
    {
      std::lock_guard<std::mutex> lock(mutex);
      open = true;
    }
    released.notify_all();
    dropping.join();
  };
  dropWhileTwoRun([this] { cache->DropFillsAndWait(); });
  EXPECT_EQ(2u, server.RequestCount());
  EXPECT_EQ(0, cache->ThreadCount());

  CNimbrelServerCache* unloading = cache.get();
  dropWhileTwoRun([unloading] { delete unloading; });
  cache.release();
  // Songs 0 and 1 were accepted before; two of the dropped ones ran now.
  EXPECT_EQ(4u, server.RequestCount());
}

TEST_F(ServerCacheTest, StallingServerEndsByTheTimeOut) {
  server.Stall("/lookup.php");
  server.Stall("/fill.php");
  cache->requestTimeoutMs = 300;
  Nimbrel::SongInfo info;
  std::vector<std::wstring> names;
  EXPECT_EQ(0, Lookup(info, names));
  cache->PostFill(Song());
  ASSERT_TRUE(server.WaitForRequests(2, 20000));
  cache.reset();  // the running fill ends by its time-out
  EXPECT_EQ(2u, server.RequestCount());
}

}  // namespace
