// What only the PostgreSQL store has: a database that goes away and comes
// back, a password that must never show, the schema it refuses, and the
// command line moving a cache from SQLite to PostgreSQL and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "server/PostgresTagStore.h"
#include "server/ServerFixture.h"
#include "server/ServerMain.h"
#include "server/TestPostgres.h"

namespace {

using server_testing::TestPostgres;

class PostgresStoreTest : public server_testing::ServerTest {
 protected:
  std::unique_ptr<cache_server::TagStore> OpenStore(std::string& error) override {
    auto shared = std::make_unique<cache_server::PostgresTagStore>();
    if (!shared->Open(conninfo, error)) return nullptr;
    return shared;
  }
  // With a password the test server does not ask for (it trusts its
  // socket), so that where it would show, it can be seen.
  std::string conninfo = TestPostgres::Instance().NewSchema() + "&password=SeCrEt-42";
};

std::string Command(const std::vector<std::string>& arguments, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = cache_server::RunCommandLine(arguments, in, out, err);
  EXPECT_EQ(0, status) << arguments[0] << ": " << err.str();
  return out.str();
}

// Lines sorted: the stores number their songs in their own order.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(PostgresStoreTest, TheDatabaseAwayIsAnswered503AndThePasswordNeverShows) {
  StartServer();
  ASSERT_EQ(200, Post("/fill.php", FillText("A", "T", "Album", "discs")).status);
  TestPostgres& db = TestPostgres::Instance();
  const std::string dropOurs =
      "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name='nimbrel-cache-server'";
  // Its connections cut: the next request is served on new ones.
  ASSERT_TRUE(db.Sql(dropOurs));
  EXPECT_EQ(200, Post("/lookup.php", LookupText("A", "T")).status);
  // No connection possible: busy, whatever the request, and the reason for
  // the log names the database without its password.
  ASSERT_TRUE(db.Sql("ALTER DATABASE postgres ALLOW_CONNECTIONS false", "template1"));
  ASSERT_TRUE(db.Sql(dropOurs, "template1"));
  ASSERT_TRUE(handler == nullptr);
  authenticator = std::make_unique<cache_server::RequestAuthenticator>(
      platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600);
  handler = std::make_unique<cache_server::RequestHandler>(*store, *authenticator);
  NextSecond();
  const std::string refusedFill = SignedBody(FillText("B", "T", "Album", "discs"));
  for (const auto& [path, body] : {std::pair<std::string, std::string>{"/lookup.php", SignedBody(LookupText("A", "T", 1))},
                                   {"/fill.php", refusedFill},
                                   {"/reportFail.php", SignedBody(ReportText("C", "T"))}}) {
    const cache_server::HandlerResponse answer = handler->Handle(path, body, "192.0.2.1", env.UnixTime());
    EXPECT_EQ(503, answer.status) << path << ": " << answer.reason;
    EXPECT_NE(std::string::npos, answer.reason.find("store unavailable")) << answer.reason;
    EXPECT_EQ(std::string::npos, answer.reason.find("SeCrEt")) << answer.reason;
  }
  cache_server::PostgresTagStore unreachable;
  std::string error;
  EXPECT_FALSE(unreachable.Open(conninfo, error));
  EXPECT_EQ(std::string::npos, error.find("SeCrEt")) << error;
  ASSERT_TRUE(db.Sql("ALTER DATABASE postgres ALLOW_CONNECTIONS true", "template1"));
  // Back: served again, and the refused fill may be sent anew, byte for
  // byte; once served, it is a replay.
  NextSecond();
  EXPECT_EQ(200, handler->Handle("/fill.php", refusedFill, "192.0.2.1", env.UnixTime()).status);
  EXPECT_EQ(403, handler->Handle("/fill.php", refusedFill, "192.0.2.1", env.UnixTime()).status);
  EXPECT_EQ(200, Post("/lookup.php", LookupText("B", "T")).status);
}

TEST_F(PostgresStoreTest, SchemasOfOtherProgramsAndNewerServersAreRefused) {
  TestPostgres& db = TestPostgres::Instance();
  std::string error;
  const std::string other = db.NewSchema();
  ASSERT_TRUE(db.Sql("CREATE TABLE " + other.substr(other.rfind("%3D") + 3) + ".notes(text text)"));
  cache_server::PostgresTagStore foreign;
  EXPECT_FALSE(foreign.Open(other, error));
  EXPECT_NE(std::string::npos, error.find("other tables (notes)")) << error;

  cache_server::PostgresTagStore readOnly;  // nothing there yet: nothing made
  EXPECT_FALSE(readOnly.Open(conninfo, error, true));
  StartServer();
  StopServer();
  const std::string schema = conninfo.substr(conninfo.rfind("%3D") + 3, conninfo.find('&', conninfo.rfind("%3D")) -
                                                                             conninfo.rfind("%3D") - 3);
  ASSERT_TRUE(db.Sql("UPDATE " + schema + ".schema_version SET version=version+1"));
  cache_server::PostgresTagStore older;
  EXPECT_FALSE(older.Open(conninfo, error));
  EXPECT_NE(std::string::npos, error.find("newer than this server's")) << error;
}

// A schema of the first version (no optional fields) is brought up to date
// on opening and keeps its records, which then take optional fields.
TEST_F(PostgresStoreTest, AnOlderSchemaIsBroughtUpToDateKeepingItsRecords) {
  TestPostgres& db = TestPostgres::Instance();
  const std::size_t at = conninfo.rfind("%3D") + 3;
  const std::string schema = conninfo.substr(at, conninfo.find('&', at) - at);
  ASSERT_TRUE(db.Sql("SET search_path TO " + schema + R"sql(;
    CREATE TABLE songs(id bigserial PRIMARY KEY, artist_key text NOT NULL, title_key text NOT NULL,
      searching_until bigint NOT NULL DEFAULT 0, skip_until bigint NOT NULL DEFAULT 0, UNIQUE(artist_key, title_key));
    CREATE TABLE records(song_id bigint NOT NULL REFERENCES songs(id), source text NOT NULL, tags_hash bigint NOT NULL,
      artist text NOT NULL, title text NOT NULL, album text NOT NULL, genre text NOT NULL, year integer NOT NULL,
      tracknr integer NOT NULL, coverurl text NOT NULL, cover_bytes integer NOT NULL, cover_x integer NOT NULL,
      cover_y integer NOT NULL, first_seen bigint NOT NULL, last_seen bigint NOT NULL, fills bigint NOT NULL,
      PRIMARY KEY(song_id, source, tags_hash));
    CREATE INDEX records_by_tags ON records(song_id, tags_hash, fills, last_seen);
    CREATE TABLE source_failures(song_id bigint NOT NULL REFERENCES songs(id), source text NOT NULL,
      count bigint NOT NULL, last_seen bigint NOT NULL, PRIMARY KEY(song_id, source));
    CREATE TABLE client_failures(song_id bigint NOT NULL REFERENCES songs(id), client text NOT NULL,
      last_seen bigint NOT NULL, PRIMARY KEY(song_id, client));
    CREATE TABLE votes(song_id bigint NOT NULL REFERENCES songs(id), tags_hash bigint NOT NULL, client text NOT NULL,
      PRIMARY KEY(song_id, tags_hash, client));
    CREATE TABLE tag_votes(song_id bigint NOT NULL REFERENCES songs(id), tags_hash bigint NOT NULL,
      voters bigint NOT NULL, last_seen bigint NOT NULL, PRIMARY KEY(song_id, tags_hash));
    CREATE INDEX tag_votes_rank ON tag_votes(song_id, voters, last_seen);
    CREATE TABLE request_counts(status integer PRIMARY KEY, count bigint NOT NULL);
    CREATE TABLE replays(signature text PRIMARY KEY, until bigint NOT NULL);
    CREATE INDEX replays_by_time ON replays(until);
    CREATE TABLE schema_version(version integer NOT NULL);
    INSERT INTO schema_version VALUES(1);
    INSERT INTO songs(id, artist_key, title_key) VALUES(1, 'a', 't');
    INSERT INTO records VALUES(1, 'discs', 7, 'A', 'T', 'Old', 'Rock', 2000, 1, '', 0, 0, 0, 10, 20, 3);
    INSERT INTO votes VALUES(1, 7, '192.0.2.1');
    INSERT INTO tag_votes VALUES(1, 7, 1, 20);
  )sql"));
  StartServer();
  EXPECT_EQ((server_testing::Answer{200, "artist=A\r\ntitle=T\r\nalbum=Old\r\ngenre=Rock\r\nyear=2000\r\ntracknr=1\r\n"
                                        "coverurl=\r\nsource=discs\r\n"}),
            Post("/lookup.php", LookupText("A", "T")));
  const std::string old = Command({"export", "--db", conninfo});
  EXPECT_NE(std::string::npos, old.find(R"("album":"Old")")) << old;
  EXPECT_NE(std::string::npos, old.find(R"("fills":3)")) << old;
  Nimbrel::SongInfo song = Song(L"A", L"T", L"New", L"discs");
  song.trackInfo.discNumber = 2;
  ASSERT_EQ(1, client->Fill(song));
  Nimbrel::SongInfo info;
  ASSERT_EQ(CNimbrelServerCache::kFound, Lookup(L"A", L"T", false, &info));
  EXPECT_EQ(2u, info.trackInfo.discNumber);
  EXPECT_EQ(L"New", info.albumInfo.album);  // the latest of two tags with one vote each
}

TEST_F(PostgresStoreTest, TheCommandLineMovesACacheToPostgresqlAndBack) {
  {
    cache_server::SqliteTagStore file;
    std::string error;
    cache_server::TagRecord record;
    record.artist = "A";
    record.title = "T";
    record.album = "X";
    record.source = "discs";
    record.fields[nimbrel::RecordFieldIndex("discnr")] = "2";
    record.fields[nimbrel::RecordFieldIndex("originaldate")] = "1999-12";
    ASSERT_TRUE(file.Open(DbPath(), error)) << error;
    for (const char* client : {"192.0.2.1", "192.0.2.2"}) {
      ASSERT_TRUE(file.Fill(cache_server::MakeSongKey("A", "T"), record,
                            client, env.UnixTime(), {}, error))
          << error;
    }
    for (const char* client : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
      ASSERT_TRUE(file.ReportFail(cache_server::MakeSongKey("B", "T"), "", client, env.UnixTime(), {}, error)) << error;
    }
    ASSERT_TRUE(file.ReportFail(cache_server::MakeSongKey("B", "T"), "tapes", "192.0.2.1", env.UnixTime(), {}, error)) << error;
  }
  const std::string exported = Command({"export", "--db", DbPath()});
  ASSERT_EQ(6u, Lines(exported).size()) << exported;  // a record, a source's and three clients' failures, a skip
  EXPECT_NE(std::string::npos, exported.find(R"("discnr":2,"originaldate":"1999-12"})")) << exported;
  Command({"import", "--db", conninfo}, exported);
  EXPECT_EQ(Lines(exported), Lines(Command({"export", "--db", conninfo})));
  const std::string stats = Command({"stats", "--db", conninfo});
  EXPECT_NE(std::string::npos, stats.find("records 1\nfills 2\n")) << stats;
  EXPECT_NE(std::string::npos, stats.find("song_failures 3\nskipped_songs 1\nrecords_with_fields 1\n")) << stats;
  const std::string back = platform::ToUtf8(folder / L"back.sqlite");
  Command({"import", "--db", back}, Command({"export", "--db", conninfo}));
  EXPECT_EQ(Lines(exported), Lines(Command({"export", "--db", back})));
}

// The shared replay memory refuses a mark again for as long as it holds,
// and forgets marks only once their time is over.
TEST_F(PostgresStoreTest, TheReplayMemoryForgetsOnlyMarksPastTheirTime) {
  cache_server::PostgresTagStore store(cache_server::CachePolicy(), 2, 16);
  std::string error;
  ASSERT_TRUE(store.Open(conninfo, error)) << error;
  cache_server::TagRecord record;
  record.artist = "A";
  record.source = "discs";
  const std::int64_t now = 1000;
  const auto fill = [&](int i, std::int64_t until) {
    record.title = "T" + std::to_string(i);
    error.clear();
    return store.Fill(cache_server::MakeSongKey("A", record.title), record, "192.0.2.1", now,
                      cache_server::RequestMark{"mark" + std::to_string(i), until}, error);
  };
  // Past their time (odd ones) or not; the 16th step forgets.
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(fill(i, i % 2 ? now - 1 : now + 600)) << i << ": " << error;
  EXPECT_FALSE(fill(0, now + 600));
  EXPECT_EQ(cache_server::kReplayError, error);
  EXPECT_FALSE(fill(14, now + 600));
  EXPECT_TRUE(fill(1, now + 600)) << error;
  EXPECT_TRUE(fill(15, now + 600)) << error;
}

// Two stores (two servers' pools) on one schema, their steps on one song at
// the same moment: one searcher starts the search, the third client's
// report makes the song skipped, every client's vote counts.
TEST_F(PostgresStoreTest, StepsOfTwoServersAtTheSameMomentKeepTheRules) {
  cache_server::PostgresTagStore stores[2];
  std::string error;
  for (auto& store : stores) ASSERT_TRUE(store.Open(conninfo, error)) << error;
  constexpr int kThreads = 8;
  const auto together = [&](const std::function<void(int)>& step) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ++ready;
        while (ready < kThreads) std::this_thread::yield();
        step(t);
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  const std::int64_t now = 1000;
  std::atomic<int> failed{0};
  // Several songs, so that look-ups that all read "unknown" before any of
  // them starts the search do happen.
  for (int song = 0; song < 20; ++song) {
    std::atomic<int> searchers{0};
    together([&](int t) {
      cache_server::LookupOutcome outcome;
      std::string e;
      if (!stores[t % 2].Lookup(cache_server::MakeSongKey("A", "Searched " + std::to_string(song)), true, now, outcome,
                                e)) {
        ++failed;
      }
      if (outcome.kind == cache_server::LookupOutcome::Kind::kUnknown) ++searchers;
    });
    EXPECT_EQ(1, searchers.load()) << song;
  }
  together([&](int t) {
    std::string e;
    if (!stores[t % 2].ReportFail(cache_server::MakeSongKey("A", "Nothing"), "", "192.0.2." + std::to_string(t % 3),
                                  now, {}, e)) {
      ++failed;
    }
    cache_server::TagRecord record;
    record.artist = "A";
    record.title = "Voted";
    record.source = "s" + std::to_string(t % 2);
    if (!stores[t % 2].Fill(cache_server::MakeSongKey("A", "Voted"), record, "192.0.2." + std::to_string(t), now, {},
                            e)) {
      ++failed;
    }
  });
  EXPECT_EQ(0, failed.load());
  cache_server::LookupOutcome outcome;
  ASSERT_TRUE(stores[0].Lookup(cache_server::MakeSongKey("A", "Nothing"), false, now, outcome, error)) << error;
  EXPECT_EQ(cache_server::LookupOutcome::Kind::kSkipSearch, outcome.kind);
  std::size_t voters = 0;
  std::int64_t fills = 0;
  ASSERT_TRUE(stores[1].Export(
      [&](const cache_server::ExportItem& item) {
        if (item.kind == cache_server::ExportItem::Kind::kRecord) {
          voters += item.clients.size();  // each of the two records lists every voter of their tags
          fills += item.record.fills;
        }
        return true;
      },
      error));
  EXPECT_EQ(2u * kThreads, voters);
  EXPECT_EQ(kThreads, fills);
}

}  // namespace
