#include "server/ServerLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/Env.h"

namespace cache_server {

namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::kInfo)};
std::mutex gWriteMutex;

const char* Name(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return "error";
    case LogLevel::kWarning:
      return "warning";
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kDebug:
      return "debug";
  }
  return "?";
}

}  // namespace

bool ParseLogLevel(std::string_view text, LogLevel& level) {
  for (const LogLevel candidate : {LogLevel::kError, LogLevel::kWarning, LogLevel::kInfo, LogLevel::kDebug}) {
    if (text == Name(candidate)) {
      level = candidate;
      return true;
    }
  }
  return false;
}

void ServerLog::SetLevel(LogLevel level) { gLevel = static_cast<int>(level); }

bool ServerLog::Enabled(LogLevel level) { return static_cast<int>(level) <= gLevel.load(); }

void ServerLog::Write(LogLevel level, std::string_view text) {
  if (!Enabled(level)) return;
  const platform::SystemTime t = platform::Env::Current()->UtcTime();
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  std::string line = std::string(stamp) + " " + Name(level) + " ";
  // A reason may quote a client's bytes: at most kMaxText of them.
  constexpr std::size_t kMaxText = 1000;
  for (const char c : text.substr(0, kMaxText)) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  if (text.size() > kMaxText) line += "...";
  line += '\n';
  std::lock_guard<std::mutex> lock(gWriteMutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace cache_server
