// The embedded store of the tag-cache server: one SQLite file in WAL mode,
// its schema versioned (PRAGMA user_version) and brought up to date when the
// store opens.
//
// Every write commits before it returns, with synchronous=NORMAL: an answered
// fill survives the server being killed at any moment (the write-ahead log is
// in the file system); only a power failure may lose the last transactions.
// Writes take turns on one connection; look-ups read on connections of their
// own (WAL readers never wait for the writer nor for each other), and each
// asks SQLite for its answer through indexes, so a song with many records
// costs no more than one with a few. The write-ahead log is checkpointed
// every 256 pages and cut back to 4 MiB, so it stays small between them.
//
// A file that holds tables of another program is refused, so that pointing
// the server at the wrong file changes nothing. A read-only store (stats,
// export) never writes nor creates the file. When the disk is full, the store
// still opens and answers look-ups; what it cannot write fails with
// kNoSpaceError. Opened on a full disk, where SQLite cannot even grow the
// shared-memory file of the log's index, it reads on one connection that
// keeps that index in its own memory.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/SqliteDatabase.h"
#include "server/TagStore.h"

namespace cache_server {

class SqliteTagStore : public TagStore {
 public:
  // The schema version this build writes.
  static constexpr int kSchemaVersion = 3;
  using Mode = SqliteDatabase::Mode;

  explicit SqliteTagStore(CachePolicy policy = CachePolicy());
  ~SqliteTagStore() override;

  // Opens `path`; to write, creates it when missing, applies the missing
  // migrations and checks it (PRAGMA quick_check). False with `error` when
  // the file cannot be opened, is no database, holds tables that are not the
  // cache's, was written by a newer server (a schema version above
  // kSchemaVersion) or, to write, is damaged; read-only, also when it was
  // written by an older server.
  bool Open(const std::string& path, std::string& error, Mode mode = Mode::kReadWrite);

  // One server serves a file: its requests' marks are left to the server's
  // own replay memory.
  bool Fill(const SongKey& key, const TagRecord& record, const std::string& client, std::int64_t now,
            const RequestMark& mark, std::string& error) override;
  bool Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
              std::string& error) override;
  bool ReportFail(const SongKey& key, const std::string& source, const std::string& client, std::int64_t now,
                  const RequestMark& mark, std::string& error) override;
  bool AddRequestCounts(const std::map<int, std::int64_t>& counts, std::string& error) override;
  bool Stats(std::int64_t now, StoreStats& stats, std::string& error) override;
  bool Export(const std::function<bool(const ExportItem&)>& sink, std::string& error) override;
  bool Import(const std::vector<ExportItem>& items, std::string& error) override;

  // Whether the store can write (false: opened read-only).
  bool writable() const { return !readOnly_; }
  // Whether it was opened to write but the disk was full: it then serves
  // what it holds, read-only, until it is opened again.
  bool startedFull() const { return startedFull_; }

 private:
  struct Statements;
  struct Reader;
  class ReaderLease;

  bool OpenWritable(std::string& error, bool& full);
  bool OpenReadable(bool oneConnection, std::string& error);
  bool CheckTables(std::string& error);
  bool Migrate(std::string& error);
  bool RefoldKeys(std::string& error);
  bool MergeSong(std::int64_t from, std::int64_t into, std::string& error);
  bool QuickCheck(SqliteDatabase& db, std::string& result, std::string& error);
  bool PrepareStatements(std::string& error);
  std::unique_ptr<Reader> OpenReader(std::string& error);
  static bool PrepareReader(Reader& reader, sqlite3* handle, std::string& error);
  // The id of the song `key`; 0 when absent (and not `create`d) or on error.
  std::int64_t SongId(const SongKey& key, bool create, std::string& error);
  bool AddRecord(std::int64_t songId, const StoredRecord& stored, std::string& error);
  bool AddVote(std::int64_t songId, std::int64_t tagsHash, const std::string& client, std::int64_t at,
               std::string& error);
  bool AddSourceFailure(std::int64_t songId, const std::string& source, std::int64_t count, std::int64_t at,
                        std::string& error);
  bool AddClientFailure(std::int64_t songId, const std::string& client, std::int64_t at, std::string& error);
  bool ExtendSkip(std::int64_t songId, std::int64_t until, std::string& error);
  // Runs `body` in one write transaction; a full disk's failure is reported
  // as kNoSpaceError.
  bool InTransaction(const std::function<bool(std::string&)>& body, std::string& error);

  const CachePolicy policy_;
  std::string path_;
  bool readOnly_ = false;
  std::mutex mutex_;  // the writer's turn
  SqliteDatabase db_;
  std::unique_ptr<Statements> statements_;
  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Reader>> idleReaders_;
  bool oneConnection_ = false;            // no other connection can see the database
  std::unique_ptr<Reader> memoryReader_;  // then: statements on the main connection
  bool startedFull_ = false;
};

}  // namespace cache_server
