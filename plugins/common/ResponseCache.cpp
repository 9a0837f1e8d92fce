#include "ResponseCache.h"

#include <sqlite3.h>

namespace {

// Finalises a statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

ResponseCache::~ResponseCache() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

void ResponseCache::CloseLocked() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  path_.clear();
}

bool ResponseCache::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  sqlite3_busy_timeout(db, 2000);
  const char* schema =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE IF NOT EXISTS responses(url TEXT PRIMARY KEY, stored INTEGER NOT NULL, body BLOB NOT NULL);"
      "CREATE INDEX IF NOT EXISTS responses_by_age ON responses(stored);";
  if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return false;
  }
  db_ = db;
  path_ = path;
  return true;
}

bool ResponseCache::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

std::string ResponseCache::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

std::optional<std::string> ResponseCache::Find(const std::string& url, std::int64_t nowMs, std::int64_t lifetimeMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return std::nullopt;
  Statement s(db_, "SELECT body FROM responses WHERE url = ?1 AND stored > ?2 AND stored <= ?3");
  if (!s.stmt) return std::nullopt;
  sqlite3_bind_text(s.stmt, 1, url.data(), static_cast<int>(url.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(s.stmt, 2, nowMs - lifetimeMs);
  // A time stamp from the future (a clock set back) does not count as fresh.
  sqlite3_bind_int64(s.stmt, 3, nowMs);
  if (sqlite3_step(s.stmt) != SQLITE_ROW) return std::nullopt;
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s.stmt, 0));
  const int size = sqlite3_column_bytes(s.stmt, 0);
  return std::string(bytes ? bytes : "", bytes ? static_cast<std::size_t>(size) : 0);
}

void ResponseCache::Store(const std::string& url, const std::string& body, std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return;
  Statement s(db_, "INSERT OR REPLACE INTO responses(url, stored, body) VALUES(?1, ?2, ?3)");
  if (!s.stmt) return;
  sqlite3_bind_text(s.stmt, 1, url.data(), static_cast<int>(url.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(s.stmt, 2, nowMs);
  sqlite3_bind_blob64(s.stmt, 3, body.data(), body.size(), SQLITE_TRANSIENT);
  sqlite3_step(s.stmt);
}

void ResponseCache::Prune(std::int64_t nowMs, std::int64_t lifetimeMs, std::int64_t maxBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return;
  {
    Statement s(db_, "DELETE FROM responses WHERE stored <= ?1 OR stored > ?2");
    if (!s.stmt) return;
    sqlite3_bind_int64(s.stmt, 1, nowMs - lifetimeMs);
    sqlite3_bind_int64(s.stmt, 2, nowMs);
    sqlite3_step(s.stmt);
  }
  // The newest answers that fit in the limit stay.
  Statement s(db_,
              "DELETE FROM responses WHERE url IN (SELECT url FROM (SELECT url, SUM(length(body)) OVER "
              "(ORDER BY stored DESC, url ROWS UNBOUNDED PRECEDING) AS total FROM responses) WHERE total > ?1)");
  if (!s.stmt) return;
  sqlite3_bind_int64(s.stmt, 1, maxBytes);
  sqlite3_step(s.stmt);
}

std::pair<std::int64_t, std::int64_t> ResponseCache::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return {0, 0};
  Statement s(db_, "SELECT COUNT(*), COALESCE(SUM(length(body)), 0) FROM responses");
  if (!s.stmt || sqlite3_step(s.stmt) != SQLITE_ROW) return {0, 0};
  return {sqlite3_column_int64(s.stmt, 0), sqlite3_column_int64(s.stmt, 1)};
}
