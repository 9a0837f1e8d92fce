// A thin owner of one SQLite connection and its prepared statements, so that
// the store reads as SQL and results rather than as C calls. Not thread-safe:
// its owner serialises the use of a connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace cache_server {

class SqliteStatement {
 public:
  SqliteStatement() = default;
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool Prepare(sqlite3* db, std::string_view sql, std::string& error);
  // Binds by position (1-based). Texts are copied.
  void Bind(int index, std::int64_t value);
  void Bind(int index, std::string_view text);
  // One step: true with a row to read; false when done (then Ok() says
  // whether it ended well). The statement is reset by Reset or the next binding round.
  bool Step();
  bool Ok() const { return ok_; }
  // Runs a statement that returns no rows; false with `error` set on failure.
  bool Run(std::string& error);
  void Reset();
  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  std::string LastError() const;
  // The primary result code of the last step's failure.
  int LastErrorCode() const;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
  bool ok_ = true;
};

class SqliteDatabase {
 public:
  SqliteDatabase() = default;
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  enum class Mode {
    kReadWrite,  // created when missing
    kReadOnly,   // never created nor written
  };
  // Opens the database file `path` (UTF-8).
  bool Open(const std::string& path, std::string& error, Mode mode = Mode::kReadWrite);
  void Close();
  // The primary result code of the connection's last failure (SQLITE_FULL…).
  int LastErrorCode() const;
  // Rows changed by the last INSERT, UPDATE or DELETE.
  std::int64_t Changes() const;
  // Runs one or more statements without results.
  bool Execute(std::string_view sql, std::string& error);
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace cache_server
