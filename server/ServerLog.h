// The tag-cache server's log: one line per event on standard error (where a
// service manager collects it), with the UTC time, the level and the text.
// Lines below the chosen level are dropped. Thread-safe: lines never mix.
#pragma once

#include <string>
#include <string_view>

namespace cache_server {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// "error", "warning", "info" or "debug"; false for anything else.
bool ParseLogLevel(std::string_view text, LogLevel& level);

class ServerLog {
 public:
  static void SetLevel(LogLevel level);
  static bool Enabled(LogLevel level);
  // Writes `text` when `level` is enabled. Control characters in the text
  // (from a client's request) are written as "?" so one event stays one line.
  static void Write(LogLevel level, std::string_view text);
};

}  // namespace cache_server
