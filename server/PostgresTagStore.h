// The tag-cache store on a PostgreSQL server, for several server processes
// (on one or more machines) that answer as one cache.
//
// Each protocol step is one transaction at READ COMMITTED. A step that writes
// first takes its song's row lock (the upsert of the song's row, which also
// creates it), so steps on one song run one after another across all
// servers, and each statement after the lock sees everything committed
// before it: the count of clients that reported a failure and the check for
// a record, the end of a search, the votes. Steps on different songs never
// wait for each other, and nothing has to be retried, as it would under
// SERIALIZABLE whenever two servers touch neighbouring rows. A look-up reads
// in one statement (one snapshot); a searcher's start of a search is a
// conditional upsert that re-checks, under the row lock, that nobody started
// one (nor a skip) since. Fills and failure reports carry their request's
// mark: inserted in the same transaction into the replay memory, whose
// primary key refuses a second insert from any server, so a request accepted
// by one server is refused by every other, and a request whose transaction
// failed is not remembered. The memory forgets marks past their time now and
// then.
//
// Connections come from a small pool (opened on demand, at most
// `maxConnections`, 8 by default). A connection that breaks (the database
// restarting, the network cut) is dropped, and the step fails with
// kUnavailableError (the server answers 503); the next step connects anew.
// A step is acknowledged only after its COMMIT returned, which PostgreSQL
// makes durable before answering (synchronous_commit is left on).
//
// The schema is versioned in its own table and brought up to date at open,
// under an advisory lock so that servers starting together migrate once. A
// schema holding tables that are not the cache's is refused. Tables live in
// the connection's current schema (search_path), so one database can hold
// several caches.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/PgConnection.h"
#include "server/TagStore.h"

namespace cache_server {

class PostgresTagStore : public TagStore {
 public:
  static constexpr int kSchemaVersion = 2;

  // `forgetEvery`: how many marks are remembered between two sweeps of the
  // replay memory.
  explicit PostgresTagStore(CachePolicy policy = CachePolicy(), std::size_t maxConnections = 8,
                            std::uint64_t forgetEvery = 256);
  ~PostgresTagStore() override;

  // Whether `db` names a PostgreSQL database (a postgresql:// or
  // postgres:// URI) rather than a file.
  static bool IsConnectionString(const std::string& db);

  // Connects with `conninfo`; to write, creates or migrates the schema.
  // False with `error` (which never holds the password) when the database
  // cannot be reached, holds other tables, or is of a newer server (or,
  // read-only, of an older one).
  bool Open(const std::string& conninfo, std::string& error, bool readOnly = false);

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

 private:
  class Lease;

  std::unique_ptr<PgConnection> Acquire(std::string& error);
  void Release(std::unique_ptr<PgConnection> connection);
  // Runs `body` in one transaction (`begin` starts it; nullptr: `body` is
  // one statement in a transaction of its own) on a pooled connection;
  // failures are named by kind (kUnavailableError, kNoSpaceError), a
  // conflict is tried again.
  bool InTransaction(const char* begin, const std::function<bool(PgConnection&, std::string&)>& body,
                     std::string& error);
  bool Migrate(PgConnection& db, std::string& error);
  // Remembers `mark`; kReplayError when it is there already.
  bool Remember(PgConnection& db, const RequestMark& mark, std::string& error);
  // Every `forgetEvery`th mark, after its step: forgets the marks whose time
  // is over.
  void ForgetNowAndThen(const RequestMark& mark, std::int64_t now);

  const CachePolicy policy_;
  const std::size_t maxConnections_;
  const std::uint64_t forgetEvery_;
  std::string conninfo_;
  std::string description_;
  bool readOnly_ = false;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<PgConnection>> idle_;
  std::size_t open_ = 0;  // connections handed out or idle
  std::atomic<std::uint64_t> marks_{0};
};

}  // namespace cache_server
