// The log of refused requests and connections, bounded under a flood: at
// most `linesPerWindow` lines in each window of `windowMs`; the refusals
// beyond them are counted and summarised in one line when the window ends,
// by status and with the address that sent the most of them, e.g.
//   "not logged in the last 10 s: 17993 refusals (17990 x 503, 3 x 400), 17990 from 127.0.0.2"
// Times are milliseconds of a monotonic clock handed in by the caller.
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/ServerLog.h"

namespace cache_server {

class RefusalLog {
 public:
  using Writer = std::function<void(LogLevel, std::string_view)>;
  // `writer`: where lines go (ServerLog::Write when empty).
  explicit RefusalLog(std::size_t linesPerWindow = 20, std::int64_t windowMs = 10000, Writer writer = {});

  // A refusal with `status`, from `address`; `text` is the whole log line
  // ("503 127.0.0.2: too many connections from this address").
  void Note(std::int64_t nowMs, LogLevel level, int status, std::string_view address, std::string_view text);
  // Writes the summary of a window that has ended (`force`: ends it now).
  void Flush(std::int64_t nowMs, bool force = false);

 private:
  void FlushLocked(std::int64_t nowMs, bool force);

  const std::size_t linesPerWindow_;
  const std::int64_t windowMs_;
  const Writer writer_;
  std::mutex mutex_;
  std::int64_t windowStart_ = 0;
  bool started_ = false;
  std::size_t written_ = 0;
  std::int64_t suppressed_ = 0;
  std::map<int, std::int64_t> byStatus_;
  std::unordered_map<std::string, std::int64_t> byAddress_;  // bounded: see kMaxAddresses
  static constexpr std::size_t kMaxAddresses = 4096;
};

}  // namespace cache_server
