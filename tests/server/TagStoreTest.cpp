// The SQLite store's file: its schema version, the files it must refuse or
// leave alone, its look-up's choice among many records; the song keys; the
// rules of an import.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/TextCodec.h"
#include "server/JsonLines.h"
#include "server/ServerMain.h"
#include "server/SqliteTagStore.h"
#include "support/ScratchFolder.h"

namespace {

using cache_server::MakeSongKey;
using cache_server::SqliteTagStore;
using Kind = cache_server::LookupOutcome::Kind;

cache_server::TagRecord Record(const std::string& album, const std::string& source = "discs") {
  cache_server::TagRecord record;
  record.artist = "A";
  record.title = "T";
  record.album = album;
  record.source = source;
  return record;
}

std::string LookedUpAlbum(SqliteTagStore& store, const cache_server::SongKey& key) {
  cache_server::LookupOutcome outcome;
  std::string error;
  EXPECT_TRUE(store.Lookup(key, false, 1000, outcome, error)) << error;
  return outcome.kind == Kind::kFound ? outcome.record.album : "-";
}

std::int64_t UserVersion(const std::string& path) {
  cache_server::SqliteDatabase db;
  std::string error;
  EXPECT_TRUE(db.Open(path, error)) << error;
  cache_server::SqliteStatement q;
  EXPECT_TRUE(q.Prepare(db.handle(), "PRAGMA user_version", error)) << error;
  return q.Step() ? q.Int(0) : -1;
}

TEST(TagStoreTest, SchemaIsVersionedAndNewerFilesAreRefused) {
  testing_support::ScratchFolder folder;
  const std::string path = platform::ToUtf8(folder / L"cache.sqlite");
  std::string error;
  {
    SqliteTagStore store;
    ASSERT_TRUE(store.Open(path, error)) << error;
    cache_server::TagRecord record;
    record.artist = "A";
    record.title = "T";
    record.source = "discs";
    ASSERT_TRUE(store.Fill(cache_server::MakeSongKey("A", "T"), record, "192.0.2.1", 100, {}, error)) << error;
  }
  EXPECT_EQ(SqliteTagStore::kSchemaVersion, UserVersion(path));
  {
    SqliteTagStore again;  // migrations are not applied twice
    ASSERT_TRUE(again.Open(path, error)) << error;
    cache_server::LookupOutcome outcome;
    ASSERT_TRUE(again.Lookup(cache_server::MakeSongKey(" a", "t "), false, 200, outcome, error)) << error;
    EXPECT_EQ(cache_server::LookupOutcome::Kind::kFound, outcome.kind);
  }
  {
    cache_server::SqliteDatabase db;
    ASSERT_TRUE(db.Open(path, error));
    ASSERT_TRUE(db.Execute("PRAGMA user_version=" + std::to_string(SqliteTagStore::kSchemaVersion + 1), error));
  }
  SqliteTagStore newer;
  EXPECT_FALSE(newer.Open(path, error));
  EXPECT_NE(std::string::npos, error.find("newer")) << error;

  const std::wstring junk = folder / L"junk.sqlite";
  testing_support::WriteFileBytes(junk, std::string(4096, 'x'));
  SqliteTagStore notADatabase;
  EXPECT_FALSE(notADatabase.Open(platform::ToUtf8(junk), error));
  cache_server::LookupOutcome outcome;
  EXPECT_FALSE(notADatabase.Lookup(cache_server::MakeSongKey("A", "T"), false, 0, outcome, error));
}

// A file written before votes and the current key folding: the songs whose
// keys now meet become one, their fills and failures added up.
TEST(TagStoreTest, OlderFilesAreBroughtUpToDateTheirKeysFoldedAnew) {
  testing_support::ScratchFolder folder;
  const std::string path = platform::ToUtf8(folder / L"old.sqlite");
  std::string error;
  {
    cache_server::SqliteDatabase db;
    ASSERT_TRUE(db.Open(path, error)) << error;
    ASSERT_TRUE(db.Execute(R"sql(
      CREATE TABLE songs(id INTEGER PRIMARY KEY, artist_key TEXT NOT NULL, title_key TEXT NOT NULL,
        searching_until INTEGER NOT NULL DEFAULT 0, skip_until INTEGER NOT NULL DEFAULT 0,
        UNIQUE(artist_key, title_key));
      CREATE TABLE records(song_id INTEGER NOT NULL REFERENCES songs(id), source TEXT NOT NULL,
        tags_hash INTEGER NOT NULL, artist TEXT NOT NULL, title TEXT NOT NULL, album TEXT NOT NULL,
        genre TEXT NOT NULL, year INTEGER NOT NULL, tracknr INTEGER NOT NULL, coverurl TEXT NOT NULL,
        cover_bytes INTEGER NOT NULL, cover_x INTEGER NOT NULL, cover_y INTEGER NOT NULL,
        first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, fills INTEGER NOT NULL,
        PRIMARY KEY(song_id, source, tags_hash)) WITHOUT ROWID;
      CREATE TABLE source_failures(song_id INTEGER NOT NULL REFERENCES songs(id), source TEXT NOT NULL,
        count INTEGER NOT NULL, last_seen INTEGER NOT NULL, PRIMARY KEY(song_id, source)) WITHOUT ROWID;
      CREATE TABLE client_failures(song_id INTEGER NOT NULL REFERENCES songs(id), client TEXT NOT NULL,
        last_seen INTEGER NOT NULL, PRIMARY KEY(song_id, client)) WITHOUT ROWID;
      CREATE TABLE request_counts(status INTEGER PRIMARY KEY, count INTEGER NOT NULL);
      INSERT INTO songs VALUES(1, 'straße', 'lied', 0, 5000), (2, 'strasse', 'lied', 0, 0),
        (3, 'bjo)sql" "\xCC\x88" R"sql(rk', 'jóga', 0, 0), (4, 'abba', 'sos', 0, 0);
      INSERT INTO records VALUES(1, 'discs', 7, 'Straße', 'Lied', 'Eins', '', 0, 0, '', 0, 0, 0, 10, 20, 2),
        (2, 'discs', 7, 'Straße', 'Lied', 'Eins', '', 0, 0, '', 0, 0, 0, 5, 30, 3),
        (3, 'discs', 8, 'Björk', 'Jóga', 'Homogenic', '', 0, 0, '', 0, 0, 0, 10, 10, 1),
        (4, 'discs', 9, 'ABBA', 'SOS', 'ABBA', '', 0, 0, '', 0, 0, 0, 10, 10, 1);
      INSERT INTO source_failures VALUES(1, 'tapes', 2, 10), (2, 'tapes', 1, 40);
      PRAGMA user_version=1;
    )sql",
                           error))
        << error;
  }
  SqliteTagStore store;
  ASSERT_TRUE(store.Open(path, error)) << error;
  EXPECT_EQ(SqliteTagStore::kSchemaVersion, UserVersion(path));
  EXPECT_EQ("Eins", LookedUpAlbum(store, MakeSongKey("STRASSE", "Lied")));
  EXPECT_EQ("Homogenic", LookedUpAlbum(store, MakeSongKey("Bj\xC3\xB6rk", "J\xC3\xB3ga")));  // composed
  EXPECT_EQ("ABBA", LookedUpAlbum(store, MakeSongKey("abba", "sos")));
  std::vector<cache_server::ExportItem> items;
  ASSERT_TRUE(store.Export(
      [&](const cache_server::ExportItem& item) {
        items.push_back(item);
        return true;
      },
      error));
  ASSERT_EQ(5u, items.size());  // three records, one source failure, one skip
  EXPECT_EQ("strasse", items[0].key.artist);
  EXPECT_EQ(5, items[0].record.fills);
  EXPECT_EQ(5, items[0].record.firstSeen);
  EXPECT_EQ(30, items[0].record.lastSeen);
  EXPECT_EQ(std::vector<std::string>{""}, items[0].clients);  // one vote of an unknown client
  EXPECT_EQ(cache_server::ExportItem::Kind::kSourceFailure, items[3].kind);
  EXPECT_EQ(3, items[3].count);
  EXPECT_EQ(40, items[3].time);
  EXPECT_EQ(cache_server::ExportItem::Kind::kSkip, items[4].kind);
  EXPECT_EQ(5000, items[4].time);
}

TEST(TagStoreTest, KeysAreNormalisedAndFullyCaseFolded) {
  const std::pair<std::string, std::string> same[] = {
      {"Bj\xC3\xB6rk", "bjo\xCC\x88rk"},          // NFC and NFD
      {"\xC2\xA0" "Abba\xE2\x80\x8B ", "abba"},   // NBSP, zero-width space
      {"\xE3\x80\x80" "Abba\xEF\xBB\xBF", "ABBA"},   // ideographic space, byte-order mark
      {"Stra\xC3\x9F" "e", "STRASSE"},            // sharp s
      {"\xCE\x9C\xCE\xA5\xCE\xA3", "\xCE\xBC\xCF\x85\xCF\x82"},  // final sigma
      {"\xEF\xAC\x81" "x", "FIX"},                // the "fi" ligature
  };
  for (const auto& [a, b] : same) EXPECT_EQ(MakeSongKey(a, "t"), MakeSongKey(b, "T")) << a << " / " << b;
  EXPECT_NE(MakeSongKey("Abba", "t"), MakeSongKey("Abb", "t"));
  EXPECT_NE(MakeSongKey("a b", "t"), MakeSongKey("ab", "t"));  // only the ends are trimmed
  EXPECT_EQ("", cache_server::FoldKeyText("\xC2\xA0\xE2\x80\x8B"));
}

// Stats and export read; pointed at another program's file, nothing writes.
TEST(TagStoreTest, ForeignFilesAndMistypedNamesAreLeftAlone) {
  testing_support::ScratchFolder folder;
  const std::wstring foreign = folder / L"notes.sqlite";
  std::string error;
  {
    cache_server::SqliteDatabase db;
    ASSERT_TRUE(db.Open(platform::ToUtf8(foreign), error)) << error;
    ASSERT_TRUE(db.Execute("CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES('keep');", error)) << error;
  }
  const std::string before = testing_support::ReadFileBytes(foreign);
  for (const SqliteTagStore::Mode mode : {SqliteTagStore::Mode::kReadWrite, SqliteTagStore::Mode::kReadOnly}) {
    SqliteTagStore store;
    EXPECT_FALSE(store.Open(platform::ToUtf8(foreign), error, mode));
    EXPECT_NE(std::string::npos, error.find("other tables (notes)")) << error;
  }
  EXPECT_EQ(before, testing_support::ReadFileBytes(foreign));
  EXPECT_FALSE(std::filesystem::exists(platform::ToUtf8(foreign) + "-wal"));

  const std::string mistyped = platform::ToUtf8(folder / L"cahce.sqlite");
  for (const char* command : {"stats", "export"}) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(1, cache_server::RunCommandLine({command, "--db", mistyped}, in, out, err)) << command;
    EXPECT_FALSE(std::filesystem::exists(mistyped)) << command;
  }
}

TEST(TagStoreTest, DamageIsFoundAtStartAndByStats) {
  testing_support::ScratchFolder folder;
  const std::wstring file = folder / L"cache.sqlite";
  const std::string path = platform::ToUtf8(file);
  std::string error;
  {
    SqliteTagStore store;
    ASSERT_TRUE(store.Open(path, error)) << error;
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(store.Fill(MakeSongKey("A", "T" + std::to_string(i)), Record("X" + std::to_string(i)), "192.0.2.1",
                             100, {}, error))
          << error;
    }
  }
  // The last page (a leaf of one of the trees) overwritten.
  std::string bytes = testing_support::ReadFileBytes(file);
  ASSERT_GT(bytes.size(), 8192u);
  std::fill(bytes.end() - 4096, bytes.end() - 2048, '\x5A');
  testing_support::WriteFileBytes(file, bytes);

  SqliteTagStore store;
  EXPECT_FALSE(store.Open(path, error));
  EXPECT_NE(std::string::npos, error.find("damaged")) << error;
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(1, cache_server::RunCommandLine({"stats", "--db", path}, in, out, err));
  EXPECT_EQ(0u, out.str().rfind("integrity ", 0)) << out.str();
  EXPECT_EQ(std::string::npos, out.str().find("integrity ok")) << out.str();
}

// Ten thousand records of one song (say, one client filling in a different
// album a second for three hours): the look-up still answers what most
// clients agree on.
TEST(TagStoreTest, ASongWithManyRecordsAnswersWhatMostClientsAgreeOn) {
  testing_support::ScratchFolder folder;
  SqliteTagStore store;
  std::string error;
  ASSERT_TRUE(store.Open(platform::ToUtf8(folder / L"cache.sqlite"), error)) << error;
  std::vector<cache_server::ExportItem> items(10000);
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].key = MakeSongKey("A", "T");
    items[i].record = cache_server::StoredRecord{Record("Junk " + std::to_string(i)), 100, 100 + std::int64_t(i), 1};
    items[i].clients = {"192.0.2.66"};
  }
  ASSERT_TRUE(store.Import(items, error)) << error;
  EXPECT_EQ("Junk 9999", LookedUpAlbum(store, MakeSongKey("A", "T")));  // one vote each: the latest
  ASSERT_TRUE(store.Fill(MakeSongKey("A", "T"), Record("Real", "tapes"), "192.0.2.1", 50, {}, error)) << error;
  ASSERT_TRUE(store.Fill(MakeSongKey("A", "T"), Record("Real", "discs"), "192.0.2.2", 60, {}, error)) << error;
  EXPECT_EQ("Real", LookedUpAlbum(store, MakeSongKey("A", "T")));
}

TEST(TagStoreTest, TheWriteAheadLogStaysSmall) {
  testing_support::ScratchFolder folder;
  const std::string path = platform::ToUtf8(folder / L"cache.sqlite");
  SqliteTagStore store;
  std::string error;
  ASSERT_TRUE(store.Open(path, error)) << error;
  std::uintmax_t largest = 0;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(store.Fill(MakeSongKey("A", "T" + std::to_string(i)), Record("X"), "192.0.2.1", 100, {}, error)) << error;
    if (i % 100 == 99) largest = std::max(largest, std::filesystem::file_size(path + "-wal"));
  }
  EXPECT_GT(largest, 0u);
  EXPECT_LE(largest, 2u << 20);
}

// An import passes the rules of a fill, and its counts cannot overflow.
TEST(JsonLinesTest, ImportAppliesTheRulesOfAFill) {
  const std::string record =
      R"({"kind":"record","artistKey":"a","titleKey":"t","source":"discs","artist":"A","title":"T",)"
      R"("album":"X","genre":"","year":2000,"tracknr":1,"coverurl":"","coverBytes":0,"coverWidth":0,)"
      R"("coverHeight":0,"firstSeen":10,"lastSeen":20,"fills":3,"clients":["192.0.2.1","2001:db8::1"]})";
  cache_server::ExportItem item;
  std::string error;
  ASSERT_TRUE(cache_server::FromJsonLine(record, item, error)) << error;
  EXPECT_EQ((std::vector<std::string>{"192.0.2.1", "2001:db8::1"}), item.clients);
  EXPECT_EQ(record, cache_server::ToJsonLine(item));
  // The optional fields, by their names after the votes.
  const std::string withFields =
      record.substr(0, record.size() - 1) +
      R"(,"albumartist":"V\"A","discnr":2,"length_ms":215043,"releaseid":"1b2c3d4e-5f60-4718-8293-a4b5c6d7e8f9"})";
  ASSERT_TRUE(cache_server::FromJsonLine(withFields, item, error)) << error;
  EXPECT_EQ("215043", item.record.record.fields[nimbrel::RecordFieldIndex("length_ms")]);
  EXPECT_EQ(withFields, cache_server::ToJsonLine(item));
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string line = record;
    line.replace(line.find(from), from.size(), to);
    return line;
  };
  const std::pair<std::string, std::string> bad[] = {
      {with(R"("album":"X")", R"("album":"X\u0000Y")"), "album holds a control character"},
      {with(R"("album":"X")", R"("album":"X\tY")"), "album holds a control character"},
      {with(R"("year":2000)", R"("year":99999)"), "year is over 9999"},
      {with(R"("tracknr":1)", R"("tracknr":-1)"), "tracknr is negative"},
      {with(R"("coverBytes":0)", R"("coverBytes":-5)"), "cover_size_bytes is negative"},
      {with(R"("source":"discs")", R"("source":"")"), "fill without a source"},
      {with(R"("genre":"")", R"("genre":")" + std::string(51, 'g') + "\""), "genre is longer than 50"},
      {with(R"("fills":3)", R"("fills":-3)"), "\"fills\" outside 1..1000000000000"},
      {with(R"("fills":3)", R"("fills":9223372036854775807)"), "\"fills\" outside 1..1000000000000"},
      {with(R"("lastSeen":20)", R"("lastSeen":5)"), "\"lastSeen\" outside 10..1000000000000"},
      {with(R"("192.0.2.1")", R"("<script>")"), "\"clients\" holds something that is not an address"},
      {with(R"("fills":3)", R"("fills":3,"discnr":0)"), "discnr is not a valid value"},
      {with(R"("fills":3)", R"("fills":3,"releaseid":"x")"), "releaseid is not a valid value"},
      {R"({"kind":"sourceFailure","artistKey":"a","titleKey":"t","source":"s","count":-1,"lastSeen":1})",
       "\"count\" outside 1..1000000000000"},
      {R"({"kind":"sourceFailure","artistKey":"a","titleKey":"t","source":"a\tb","count":1,"lastSeen":1})",
       "source holds a control character"},
      {R"({"kind":"clientFailure","artistKey":"a","titleKey":"t","client":"x y","lastSeen":1})",
       "\"client\" is not an address"},
      {R"({"kind":"skip","artistKey":"a","titleKey":"t","until":-1})", "\"until\" outside 0..1000000000000"},
  };
  for (const auto& [line, reason] : bad) {
    EXPECT_FALSE(cache_server::FromJsonLine(line, item, error)) << line;
    EXPECT_EQ(reason, error) << line;
  }
}

}  // namespace
