// Answers of the web service kept in a small SQLite file, by request
// address, so that the same request within the lifetime costs nothing.
// Safe for several threads (one connection, serialised by SQLite). A cache
// that cannot be opened or written simply holds nothing.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

struct sqlite3;

class ResponseCache {
 public:
  ResponseCache() = default;
  ~ResponseCache();
  ResponseCache(const ResponseCache&) = delete;
  ResponseCache& operator=(const ResponseCache&) = delete;

  // Opens (creating) `path`; ":memory:" keeps the answers for the process
  // only. Closes the file open before. False when it cannot be opened.
  bool Open(const std::string& path);
  bool IsOpen() const;
  std::string Path() const;

  // The body stored for `url` later than `nowMs - lifetimeMs`.
  std::optional<std::string> Find(const std::string& url, std::int64_t nowMs, std::int64_t lifetimeMs);
  void Store(const std::string& url, const std::string& body, std::int64_t nowMs);
  // Removes the answers older than `lifetimeMs` (or stored in the future),
  // then the oldest until the bodies take at most `maxBytes`.
  void Prune(std::int64_t nowMs, std::int64_t lifetimeMs, std::int64_t maxBytes);
  // The number of answers and the bytes of their bodies.
  std::pair<std::int64_t, std::int64_t> Size();

 private:
  void CloseLocked();

  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string path_;
};
