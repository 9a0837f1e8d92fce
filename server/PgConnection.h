// One connection to a PostgreSQL server over libpq, as the tag store uses
// it: statements with text parameters, each prepared once per connection
// under a name, and results read as text or numbers.
//
// A failure says what kind it is, so that the store can answer it rightly:
// the server unreachable or gone (the connection is then broken and must be
// dropped), a conflict between transactions that is worth one more try, or
// a full disk. Not thread-safe: one thread at a time (the store's pool hands
// connections out).
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace cache_server {

// A query's rows, owned.
class PgResult {
 public:
  PgResult() = default;
  explicit PgResult(PGresult* result) : result_(result, &PQclear) {}
  int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
  }
  std::int64_t Int(int row, int column) const;

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_{nullptr, &PQclear};
};

class PgConnection {
 public:
  enum class Failure { kNone, kUnavailable, kConflict, kNoSpace, kOther };

  PgConnection() = default;
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects with the libpq connection string or URI `conninfo` (a password
  // missing from it comes from PGPASSWORD or ~/.pgpass, as libpq reads them).
  bool Open(const std::string& conninfo, std::string& error);

  // Runs `sql` with `params` (text), prepared
  // under `name` the first time this connection runs it; rows in `result`
  // when given. False with `error` (and failure()).
  bool Run(const char* name, const char* sql, const std::vector<std::string>& params, PgResult* result,
           std::string& error);
  // Runs statements without parameters (migrations, BEGIN, COMMIT).
  bool Execute(const std::string& sql, std::string& error, PgResult* result = nullptr);
  // The number of rows the last Run or Execute changed.
  std::int64_t changes() const { return changes_; }

  // Streams the rows of `sql` one by one to `row` (false from it stops).
  bool Stream(const std::string& sql, const std::function<bool(const PgResult&)>& row, std::string& error);

  Failure failure() const { return failure_; }
  // Whether the connection is gone (it must not be used again).
  bool broken() const { return !conn_ || PQstatus(conn_) != CONNECTION_OK; }

  // `conninfo` with its password left out, fit for a log: user, host,
  // port and database.
  static std::string Describe(const std::string& conninfo);

 private:
  bool Check(PGresult* result, std::string& error, PgResult* out);

  PGconn* conn_ = nullptr;
  std::unordered_set<std::string> prepared_;
  std::int64_t changes_ = 0;
  Failure failure_ = Failure::kNone;
};

}  // namespace cache_server
