// The server against the library's own client over loopback, and its answers
// status by status.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "server/ServerLog.h"
#include "server/ServerFixture.h"
#include "support/ProxyEnvironment.h"

namespace {

using server_testing::Answer;
using server_testing::ServerTest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();
const bool kQuietLog = [] {
  cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
  return true;
}();

class CacheServerTest : public ServerTest {
 protected:
  std::int32_t Lookup(const std::wstring& artist, const std::wstring& title, bool searcher,
                      Nimbrel::SongInfo* info = nullptr, std::vector<std::wstring>* names = nullptr) {
    Nimbrel::SongInfo ignored;
    std::vector<std::wstring> ignoredNames;
    return client->Lookup(artist, title, info ? *info : ignored, names ? *names : ignoredNames, searcher);
  }
  // Identical requests in the same second from one address are replays: the
  // tests let a second pass between them, as real clients' requests differ.
  void NextSecond() { env.AdvanceMs(1000); }

  // A failure report without source from another household: straight into
  // the request handler, where a client's address is only a text.
  int ReportFailFrom(const std::string& artist, const std::string& title, const std::string& address) {
    if (!handler) {
      authenticator = std::make_unique<cache_server::RequestAuthenticator>(
          platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600);
      handler = std::make_unique<cache_server::RequestHandler>(*store, *authenticator);
    }
    const std::string text =
        "artist=" + artist + "&timestamp=" + Timestamp() + "&title=" + title + "&type=tags&version=1";
    const std::string body =
        text + "&signature=" + platform::ToUtf8(CNimbrelServerCache::Sign(platform::FromUtf8(text)));
    return handler->Handle("/reportFail.php", body, address, env.UnixTime()).status;
  }

  std::unique_ptr<cache_server::RequestAuthenticator> authenticator;
  std::unique_ptr<cache_server::RequestHandler> handler;
};

TEST_F(CacheServerTest, FillThenLookUpThroughTheLibrarysClient) {
  StartServer();
  Nimbrel::SongInfo song = Song(L"AC/DC", L"T.N.T.", L"High Voltage", L"discs");
  song.albumInfo.genre = L"Hard \u00c9 Rock";
  ASSERT_EQ(1, client->Fill(song));

  Nimbrel::SongInfo info;
  // Trimmed and case-folded keys: the same song.
  ASSERT_EQ(CNimbrelServerCache::kFound, Lookup(L"  ac/dc ", L"t.n.t.", false, &info));
  EXPECT_EQ(L"AC/DC", info.albumInfo.artist);
  EXPECT_EQ(L"T.N.T.", info.trackInfo.title);
  EXPECT_EQ(L"High Voltage", info.albumInfo.album);
  EXPECT_EQ(L"Hard \u00c9 Rock", info.albumInfo.genre);
  EXPECT_EQ(1975, info.albumInfo.year);
  EXPECT_EQ(7u, info.trackInfo.trackNumber);
  EXPECT_EQ(L"http://covers.test/High Voltage.jpg", info.coverInfo.coverUrl);
  EXPECT_EQ(L"discs", info.source);
  // Folding by the library's table, beyond ASCII: final sigma and capital.
  ASSERT_EQ(1, client->Fill(Song(L"\u039c\u03a5\u03a3", L"Song", L"A", L"discs")));
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"\u03bc\u03c5\u03c2", L"SONG", false));
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"AC/DC", L"Jailbreak", false));
}

TEST_F(CacheServerTest, LookUpAnswersWhatMostFillsAgreeOnTiesToTheLatest) {
  StartServer();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"First", L"one")));
  NextSecond();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Second", L"two")));
  Nimbrel::SongInfo info;
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"Second", info.albumInfo.album);  // one fill each: the later one
  NextSecond();
  // A third source agrees with the first: two fills against one.
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"First", L"three")));
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"First", info.albumInfo.album);
  // Another client repeats the second record twice more (the library sends a
  // record once per process).
  for (int i = 0; i < 2; ++i) {
    NextSecond();
    CNimbrelServerCache other(settings);
    ASSERT_EQ(1, other.Fill(Song(L"A", L"T", L"Second", L"two")));
  }
  NextSecond();
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"Second", info.albumInfo.album);
  EXPECT_EQ(L"two", info.source);
}

TEST_F(CacheServerTest, SearcherMakesOthersWaitUntilFillOrReportOrSixtySeconds) {
  StartServer();
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", true));  // 404: this one searches
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", true));  // 202 for the others
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", false));
  env.AdvanceMs(58000);
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", true));
  env.AdvanceMs(1000);  // 60 s after the search began
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", true));
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", false));
  // The searcher's failure report ends the wait at once.
  client->ReportFail(L"A", L"T", L"");
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", true));
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", false));
  // So does a fill.
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Album", L"discs")));
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"A", L"T", false));
}

TEST_F(CacheServerTest, FailedSourcesAreNamedWith207) {
  StartServer();
  client->ReportFail(L"A", L"T", L"discs");
  client->ReportFail(L"a", L"t ", L"tapes");
  CNimbrelServerCache other(settings);
  NextSecond();
  other.ReportFail(L"A", L"T", L"tapes");
  // A name with a comma is left out: split by the client, it would make
  // everyone skip a source ("vinyl") that nobody reported.
  CNimbrelServerCache third(settings);
  third.ReportFail(L"A", L"T", L"junk,vinyl");
  std::vector<std::wstring> names{L"kept"};
  EXPECT_EQ(CNimbrelServerCache::kUseSources, Lookup(L"A", L"T", true, nullptr, &names));
  EXPECT_EQ((std::vector<std::wstring>{L"kept", L"tapes", L"discs"}), names);  // most failures first
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", true));  // the 207 started a search
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Album", L"vinyl")));
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"A", L"T", false));
}

TEST_F(CacheServerTest, ThreeClientsFindingNothingSkipTheSongForThirtyDays) {
  StartServer();
  // Two other households report through the handler (their addresses are
  // only texts there); the third is the library's client on loopback.
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));
  NextSecond();
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));  // the same client again counts once
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.2"));
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  client->ReportFail(L"A", L"T", L"");
  EXPECT_EQ(CNimbrelServerCache::kSkipSearch, Lookup(L"A", L"T", true));
  env.AdvanceMs(30LL * 24 * 3600 * 1000 - 1000);
  EXPECT_EQ(CNimbrelServerCache::kSkipSearch, Lookup(L"A", L"T", false));
  env.AdvanceMs(1000);
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  // A new period needs three new reports.
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.2"));
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  // A song with a fill is never skipped.
  ASSERT_EQ(1, client->Fill(Song(L"B", L"T", L"Album", L"discs")));
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
    ASSERT_EQ(200, ReportFailFrom("B", "T", address));
  }
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"B", L"T", false));
}

TEST_F(CacheServerTest, EveryRefusalHasItsStatus) {
  cache_server::ServerOptions options = DefaultOptions();
  StartServer(options);
  const std::string fill =
      "album=X&artist=A&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0&coverurl=&genre=Rock"
      "&source=discs&timestamp=" +
      Timestamp() + "&title=T&tracknr=1&type=tags&version=1&year=2000";
  EXPECT_EQ(200, Post("/fill.php", fill).status);
  EXPECT_EQ(403, Post("/fill.php", fill).status);                                    // replay
  EXPECT_EQ(403, Post("/lookup.php", LookupText("A", "T"), L"another-key").status);  // another key
  EXPECT_EQ(200, Post("/lookup.php", LookupText("A", "T")).status);
  // Timestamps: within ten minutes either way, not beyond.
  const auto at = [&](std::int64_t offset) {
    return Post("/lookup.php", "artist=A&searcher=0&timestamp=" + Timestamp(offset) +
                                   "&title=T&type=tags&version=1")
        .status;
  };
  EXPECT_EQ(200, at(-600));
  EXPECT_EQ(200, at(600));
  EXPECT_EQ(403, at(-601));
  EXPECT_EQ(403, at(601));
  // Malformed: 400.
  EXPECT_EQ(400, Post("/lookup.php", "searcher=0&artist=A&timestamp=" + Timestamp() +
                                         "&title=T&type=tags&version=1")
                     .status);                                                 // out of order
  EXPECT_EQ(400, PostRaw("/lookup.php", LookupText("A", "T")).status);          // unsigned
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A%C3", "T")).status);          // invalid UTF-8
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A%2", "T")).status);           // escape cut short
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A", "T", 2)).status);          // searcher 2
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A", "T") + "&title=U").status);  // duplicated
  EXPECT_EQ(400, Post("/lookup.php", LookupText("%20", "T")).status);           // empty once trimmed
  EXPECT_EQ(400, Post("/lookup.php", LookupText(std::string(256, 'a'), "T")).status);  // over 255
  // Not a request of the protocol.
  EXPECT_EQ(404, Post("/other.php", LookupText("A", "T")).status);
  // Bodies: 16 KiB is read (and refused as malformed), one byte more is not.
  EXPECT_EQ(400, PostRaw("/lookup.php", std::string(16 * 1024, 'a')).status);
  EXPECT_EQ(413, PostRaw("/lookup.php", std::string(16 * 1024 + 1, 'a')).status);
  std::string manyParameters;
  for (int i = 0; i < 1000000; ++i) manyParameters += "a=1&";
  EXPECT_EQ(413, PostRaw("/lookup.php", manyParameters).status);
}

TEST_F(CacheServerTest, ClientsOverTheirRateGet429) {
  cache_server::ServerOptions options = DefaultOptions();
  options.ratePerSecond = 0.001;
  options.rateBurst = 3;
  StartServer(options);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(404, Post("/lookup.php", LookupText("A", "T" + std::to_string(i))).status);
  }
  EXPECT_EQ(429, Post("/lookup.php", LookupText("A", "T9")).status);
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
}

TEST_F(CacheServerTest, RestartKeepsEveryAcceptedFill) {
  StartServer();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(1, client->Fill(Song(L"Artist", L"Title " + std::to_wstring(i), L"Album", L"discs")));
  }
  StopServer();
  StartServer();
  for (int i = 0; i < 50; ++i) {
    Nimbrel::SongInfo info;
    ASSERT_EQ(1, Lookup(L"Artist", L"Title " + std::to_wstring(i), false, &info)) << i;
    EXPECT_EQ(L"Album", info.albumInfo.album);
  }
  cache_server::StoreStats stats;
  std::string error;
  ASSERT_TRUE(store->Stats(env.UnixTime(), stats, error)) << error;
  EXPECT_EQ(50, stats.songs);
  EXPECT_EQ(50, stats.fills);
  EXPECT_EQ(50, stats.requestsByStatus[200]);  // counted before the first server stopped
}

TEST_F(CacheServerTest, ConcurrentClientsLoseNothing) {
  StartServer();
  constexpr int kThreads = 8;
  constexpr int kSongs = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CNimbrelServerCache own(settings);
      for (int i = 0; i < kSongs; ++i) {
        const std::wstring title = L"T" + std::to_wstring(t) + L"-" + std::to_wstring(i);
        if (own.Fill(Song(L"A", title, L"X", L"discs")) != 1) ++failures;
        // Everybody also fills and reads the shared song.
        if (own.Fill(Song(L"A", L"Shared", L"X" + std::to_wstring(i % 2), L"s" + std::to_wstring(t))) != 1) {
          ++failures;
        }
        Nimbrel::SongInfo info;
        std::vector<std::wstring> names;
        if (own.Lookup(L"A", title, info, names, false) != 1) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  cache_server::StoreStats stats;
  std::string error;
  ASSERT_TRUE(store->Stats(env.UnixTime(), stats, error)) << error;
  EXPECT_EQ(kThreads * kSongs + 1, stats.songs);
  // The client sends each record once per process: two shared ones per thread.
  EXPECT_EQ(kThreads * kSongs + 2 * kThreads, stats.fills);
}

}  // namespace
