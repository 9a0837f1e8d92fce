// The SQLite store's file: its schema version and the files it must refuse.
#include <gtest/gtest.h>

#include "platform/TextCodec.h"
#include "server/SqliteTagStore.h"
#include "support/ScratchFolder.h"

namespace {

using cache_server::SqliteTagStore;

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
    ASSERT_TRUE(store.Fill(cache_server::MakeSongKey("A", "T"), record, 100, error)) << error;
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

}  // namespace
