// The cache's rules, the same for every store: each test runs on the SQLite
// file and on a PostgreSQL schema of its own (the test program's server).
#include <gtest/gtest.h>

#include <atomic>

#include "server/PostgresTagStore.h"
#include "server/ServerFixture.h"
#include "server/ServerLog.h"
#include "server/TestPostgres.h"
#include "support/ProxyEnvironment.h"

namespace {

using server_testing::Answer;
using server_testing::ServerTest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();
const bool kQuietLog = [] {
  cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
  return true;
}();
::testing::Environment* const kPostgres =
    ::testing::AddGlobalTestEnvironment(new server_testing::PostgresEnvironment);

enum class StoreKind { kSqlite, kPostgres };

class StoreRulesTest : public ServerTest, public ::testing::WithParamInterface<StoreKind> {
 protected:
  std::unique_ptr<cache_server::TagStore> OpenStore(std::string& error) override {
    if (GetParam() == StoreKind::kSqlite) return ServerTest::OpenStore(error);
    if (conninfo.empty()) conninfo = server_testing::TestPostgres::Instance().NewSchema();
    auto shared = std::make_unique<cache_server::PostgresTagStore>();
    if (!shared->Open(conninfo, error)) return nullptr;
    return shared;
  }
  std::string conninfo;  // the test's schema, kept over restarts
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreRulesTest, ::testing::Values(StoreKind::kSqlite, StoreKind::kPostgres),
                         [](const ::testing::TestParamInfo<StoreKind>& info) {
                           return info.param == StoreKind::kSqlite ? "Sqlite" : "Postgres";
                         });

TEST_P(StoreRulesTest, FillThenLookUpThroughTheLibrarysClient) {
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

// The optional fields go to the server and come back with the record; they
// do not split the agreement: a fill of the same tags without them counts for
// the same record and keeps them. A record without them is answered as before.
TEST_P(StoreRulesTest, OptionalFieldsRoundTripWithoutChangingTheAnswerOfOthers) {
  StartServer();
  Nimbrel::SongInfo song = Song(L"Artist", L"Title", L"Album", L"discs");
  song.trackInfo.discNumber = 2;
  song.trackInfo.lengthMs = 215043;
  song.trackInfo.recordingId = L"0f8c1f5e-4a0b-4c7e-9d3e-2b1a0c9d8e7f";
  song.albumInfo.albumArtist = L"Various \u00c4rtists";
  song.albumInfo.trackTotal = 14;
  song.albumInfo.discTotal = 2;
  song.albumInfo.originalDate = L"1975-03-01";
  song.albumInfo.releaseId = L"1B2C3D4E-5F60-4718-8293-A4B5C6D7E8F9";  // sent in lowercase
  song.albumInfo.releaseGroupId = L"not an id";                        // left out
  ASSERT_EQ(1, client->Fill(song));
  CNimbrelServerCache oldFields(settings);  // the same tags, without the optional fields
  ASSERT_EQ(1, oldFields.Fill(Song(L"Artist", L"Title", L"Album", L"discs")));

  Nimbrel::SongInfo info;
  info.albumInfo.releaseGroupId = L"stale";
  ASSERT_EQ(CNimbrelServerCache::kFound, Lookup(L"artist", L"title", false, &info));
  EXPECT_EQ(L"Album", info.albumInfo.album);
  EXPECT_EQ(2u, info.trackInfo.discNumber);
  EXPECT_EQ(215043u, info.trackInfo.lengthMs);
  EXPECT_EQ(L"0f8c1f5e-4a0b-4c7e-9d3e-2b1a0c9d8e7f", info.trackInfo.recordingId);
  EXPECT_EQ(L"Various \u00c4rtists", info.albumInfo.albumArtist);
  EXPECT_EQ(14u, info.albumInfo.trackTotal);
  EXPECT_EQ(2u, info.albumInfo.discTotal);
  EXPECT_EQ(L"1975-03-01", info.albumInfo.originalDate);
  EXPECT_EQ(L"1b2c3d4e-5f60-4718-8293-a4b5c6d7e8f9", info.albumInfo.releaseId);
  EXPECT_EQ(L"", info.albumInfo.releaseGroupId);
  std::int64_t fills = 0;
  std::string error;
  ASSERT_TRUE(store->Export(
      [&](const cache_server::ExportItem& item) {
        fills += item.record.fills;
        return true;
      },
      error));
  EXPECT_EQ(2, fills);  // one record

  NextSecond();
  ASSERT_EQ(200, Post("/fill.php", FillText("B", "T", "X", "discs")).status);
  EXPECT_EQ((Answer{200, "artist=B\r\ntitle=T\r\nalbum=X\r\ngenre=Rock\r\nyear=2000\r\ntracknr=1\r\ncoverurl=\r\n"
                         "source=discs\r\n"}),
            Post("/lookup.php", LookupText("B", "T")));
}

TEST_P(StoreRulesTest, LookUpAnswersWhatMostClientsAgreeOnTiesToTheLatest) {
  StartServer();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"First", L"one")));
  NextSecond();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Second", L"two")));
  Nimbrel::SongInfo info;
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"Second", info.albumInfo.album);  // one vote each: the later one
  NextSecond();
  // The same client agreeing again through a third source adds no vote; it
  // only makes the first record the latest.
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"First", L"three")));
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"First", info.albumInfo.album);
  // Another client (address) fills the second record in: two against one.
  NextSecond();
  const std::string second = "album=Second&artist=A&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0"
                             "&coverurl=http%3A%2F%2Fcovers.test%2FSecond.jpg&genre=Rock&source=two&timestamp=" +
                             Timestamp() + "&title=T&tracknr=7&type=tags&version=1&year=1975";
  ASSERT_EQ(200, PostFrom("127.0.0.2", "/fill.php", second).status);
  NextSecond();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"First", L"four")));
  ASSERT_EQ(1, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(L"Second", info.albumInfo.album);
  EXPECT_EQ(L"two", info.source);
}

TEST_P(StoreRulesTest, SearcherMakesOthersWaitUntilFillOrReportOrSixtySeconds) {
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

TEST_P(StoreRulesTest, FailedSourcesAreNamedWith207) {
  StartServer();
  client->ReportFail(L"A", L"T", L"discs");
  client->ReportFail(L"a", L"t ", L"tapes");
  CNimbrelServerCache other(settings);
  NextSecond();
  other.ReportFail(L"A", L"T", L"tapes");
  // A name with a comma would split on the clients' side into names they
  // would then skip: it is left out.
  ASSERT_EQ(200, PostFrom("127.0.0.2", "/reportFail.php",
                          "artist=A&source=junk%2Cdiscs&timestamp=" + Timestamp() + "&title=T&type=tags&version=1")
                     .status);
  std::vector<std::wstring> names{L"kept"};
  EXPECT_EQ(CNimbrelServerCache::kUseSources, Lookup(L"A", L"T", true, nullptr, &names));
  EXPECT_EQ((std::vector<std::wstring>{L"kept", L"tapes", L"discs"}), names);  // most failures first
  NextSecond();
  EXPECT_EQ(CNimbrelServerCache::kStillWorking, Lookup(L"A", L"T", true));  // the 207 started a search
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Album", L"vinyl")));
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"A", L"T", false));
}

TEST_P(StoreRulesTest, ThreeClientsFindingNothingSkipTheSongForThirtyDays) {
  StartServer();
  // Two other households report through the handler (their addresses are
  // only texts there); the third is the library's client on loopback.
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));
  NextSecond();
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));  // the same client again counts once
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  // A report counts once from whatever address: honest ones differ at least
  // in their second.
  NextSecond();
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.2"));
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  NextSecond();
  client->ReportFail(L"A", L"T", L"");
  EXPECT_EQ(CNimbrelServerCache::kSkipSearch, Lookup(L"A", L"T", true));
  env.AdvanceMs(30LL * 24 * 3600 * 1000 - 1000);
  EXPECT_EQ(CNimbrelServerCache::kSkipSearch, Lookup(L"A", L"T", false));
  env.AdvanceMs(1000);
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  // A new period needs three new reports.
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.1"));
  NextSecond();
  ASSERT_EQ(200, ReportFailFrom("A", "T", "192.0.2.2"));
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
  // A song with a fill is never skipped.
  ASSERT_EQ(1, client->Fill(Song(L"B", L"T", L"Album", L"discs")));
  for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
    NextSecond();
    ASSERT_EQ(200, ReportFailFrom("B", "T", address));
  }
  EXPECT_EQ(CNimbrelServerCache::kFound, Lookup(L"B", L"T", false));
}

TEST_P(StoreRulesTest, RestartKeepsEveryAcceptedFill) {
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

TEST_P(StoreRulesTest, ConcurrentClientsLoseNothing) {
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

// The key is public: anyone can sign. What decides is how many clients
// (addresses) agree, not how often one of them sends.
TEST_P(StoreRulesTest, VotesCountClientAddressesNotRequests) {
  StartServer();
  const auto album = [&] {
    const Answer answer = Post("/lookup.php", LookupText("A", "T"));
    const std::size_t at = answer.body.find("album=");
    return at == std::string::npos ? std::to_string(answer.status)
                                   : answer.body.substr(at + 6, answer.body.find('\r', at) - at - 6);
  };
  for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    NextSecond();
    ASSERT_EQ(200, PostFrom(from, "/fill.php", FillText("A", "T", "Real", "discs")).status);
  }
  // One address: fills differing only in the cover's size, or in the source.
  for (int i = 1; i <= 4; ++i) {
    NextSecond();
    ASSERT_EQ(200, PostFrom("127.0.0.5", "/fill.php", FillText("A", "T", "Fake", "discs", i)).status);
    ASSERT_EQ(200, PostFrom("127.0.0.5", "/fill.php", FillText("A", "T", "Fake", "s" + std::to_string(i))).status);
  }
  EXPECT_EQ("Real", album());
  // Three against three: the latest.
  for (const char* from : {"127.0.0.6", "127.0.0.7"}) {
    NextSecond();
    ASSERT_EQ(200, PostFrom(from, "/fill.php", FillText("A", "T", "Fake", "discs")).status);
  }
  EXPECT_EQ("Fake", album());
  NextSecond();
  ASSERT_EQ(200, PostFrom("127.0.0.2", "/fill.php", FillText("A", "T", "Real", "tapes")).status);
  EXPECT_EQ("Real", album());
}

// A fill or failure report counts once, whichever address sends it again; a
// searcher's look-up once per address; a plain look-up is never a replay.
TEST_P(StoreRulesTest, StateChangingRequestsCountOnceFromAnyAddress) {
  StartServer();
  const std::string report = ReportText("A", "T");
  EXPECT_EQ(200, PostFrom("127.0.0.2", "/reportFail.php", report).status);
  EXPECT_EQ(403, PostFrom("127.0.0.3", "/reportFail.php", report).status);
  EXPECT_EQ(403, PostFrom("127.0.0.4", "/reportFail.php", report).status);
  EXPECT_EQ((Answer{404, "not found"}), Post("/lookup.php", LookupText("A", "T")));  // one client: no skip

  const std::string fill = FillText("B", "T", "Album", "discs");
  EXPECT_EQ(200, PostFrom("127.0.0.2", "/fill.php", fill).status);
  EXPECT_EQ(403, PostFrom("127.0.0.3", "/fill.php", fill).status);
  cache_server::StoreStats stats;
  std::string error;
  ASSERT_TRUE(store->Stats(env.UnixTime(), stats, error)) << error;
  EXPECT_EQ(1, stats.fills);

  const std::string searcher = LookupText("C", "T", 1);
  EXPECT_EQ(404, PostFrom("127.0.0.2", "/lookup.php", searcher).status);  // searches
  EXPECT_EQ(403, PostFrom("127.0.0.2", "/lookup.php", searcher).status);
  EXPECT_EQ(202, PostFrom("127.0.0.3", "/lookup.php", searcher).status);  // another household waits
  const std::string plain = LookupText("C", "T");
  for (int i = 0; i < 2; ++i) EXPECT_EQ(202, PostFrom("127.0.0.2", "/lookup.php", plain).status) << i;

  // Remembered for as long as its timestamp would pass: until it is more
  // than the allowed skew (ten minutes) old.
  const std::string late = FillText("D", "T", "Album", "discs");
  const std::int64_t sentAt = env.UnixTime();
  ASSERT_EQ(200, PostFrom("127.0.0.2", "/fill.php", late).status);
  for (const std::int64_t seconds : {1, 5, 600}) {
    env.AdvanceMs(1000 * seconds - 1000 * (env.UnixTime() - sentAt));
    EXPECT_EQ(403, PostFrom("127.0.0.3", "/fill.php", late).status) << seconds;
  }
}

}  // namespace
