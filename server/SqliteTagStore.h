// The embedded store of the tag-cache server: one SQLite file in WAL mode
// (readers never wait for the writer), its schema versioned (PRAGMA
// user_version) and brought up to date when the store opens.
//
// Every operation commits before it returns, with synchronous=NORMAL: an
// answered fill survives the server being killed at any moment (the write-ahead
// log is in the file system); only a power failure may lose the last
// transactions. One connection serves all threads in turn: the operations are
// a few indexed statements each.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "server/SqliteDatabase.h"
#include "server/TagStore.h"

namespace cache_server {

class SqliteTagStore : public TagStore {
 public:
  // The schema version this build writes.
  static constexpr int kSchemaVersion = 1;

  explicit SqliteTagStore(CachePolicy policy = CachePolicy());
  ~SqliteTagStore() override;

  // Opens or creates `path` and applies the missing migrations. False with
  // `error` when the file cannot be opened, is no database, or was written by
  // a newer server (a schema version above kSchemaVersion).
  bool Open(const std::string& path, std::string& error);

  bool Fill(const SongKey& key, const TagRecord& record, std::int64_t now, std::string& error) override;
  bool Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
              std::string& error) override;
  bool ReportFail(const SongKey& key, const std::string& source, const std::string& client, std::int64_t now,
                  std::string& error) override;
  bool AddRequestCounts(const std::map<int, std::int64_t>& counts, std::string& error) override;
  bool Stats(std::int64_t now, StoreStats& stats, std::string& error) override;
  bool Export(const std::function<bool(const ExportItem&)>& sink, std::string& error) override;
  bool Import(const std::vector<ExportItem>& items, std::string& error) override;

 private:
  struct Statements;

  bool Migrate(std::string& error);
  bool PrepareStatements(std::string& error);
  // The id of the song `key`; 0 when absent (and not `create`d) or on error.
  std::int64_t SongId(const SongKey& key, bool create, std::string& error);
  bool AddRecord(std::int64_t songId, const StoredRecord& stored, std::string& error);
  bool AddSourceFailure(std::int64_t songId, const std::string& source, std::int64_t count, std::int64_t at,
                        std::string& error);
  bool AddClientFailure(std::int64_t songId, const std::string& client, std::int64_t at, std::string& error);
  bool ExtendSkip(std::int64_t songId, std::int64_t until, std::string& error);
  // Runs `body` in one write transaction.
  bool InTransaction(const std::function<bool(std::string&)>& body, std::string& error);

  const CachePolicy policy_;
  std::mutex mutex_;
  SqliteDatabase db_;
  std::unique_ptr<Statements> statements_;
};

}  // namespace cache_server
