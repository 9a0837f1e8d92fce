#include "server/SqliteDatabase.h"

#include <sqlite3.h>

namespace cache_server {

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

bool SqliteStatement::Prepare(sqlite3* db, std::string_view sql, std::string& error) {
  db_ = db;
  sqlite3_finalize(statement_);
  statement_ = nullptr;
  if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &statement_,
                         nullptr) != SQLITE_OK) {
    error = std::string("cannot prepare \"") + std::string(sql) + "\": " + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

void SqliteStatement::Bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }

void SqliteStatement::Bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

bool SqliteStatement::Step() {
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  ok_ = result == SQLITE_DONE;
  return false;
}

bool SqliteStatement::Run(std::string& error) {
  Step();
  const bool ok = ok_;
  if (!ok) error = LastError();
  Reset();
  return ok;
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  ok_ = true;
}

std::int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(statement_, column); }

std::string SqliteStatement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
              : std::string();
}

std::string SqliteStatement::LastError() const { return db_ ? sqlite3_errmsg(db_) : "no database"; }

int SqliteStatement::LastErrorCode() const { return db_ ? sqlite3_errcode(db_) & 0xFF : SQLITE_MISUSE; }

SqliteDatabase::~SqliteDatabase() { Close(); }

void SqliteDatabase::Close() {
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool SqliteDatabase::Open(const std::string& path, std::string& error, Mode mode) {
  Close();
  const int access = mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db_, access | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    error = "cannot open " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  return true;
}

int SqliteDatabase::LastErrorCode() const { return db_ ? sqlite3_errcode(db_) & 0xFF : SQLITE_MISUSE; }

std::int64_t SqliteDatabase::Changes() const { return db_ ? sqlite3_changes64(db_) : 0; }

bool SqliteDatabase::Execute(std::string_view sql, std::string& error) {
  char* message = nullptr;
  const std::string text(sql);
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    error = message ? message : "unknown SQLite error";
    sqlite3_free(message);
    return false;
  }
  return true;
}

}  // namespace cache_server
