// The log file behind Meridex::InitLogging and Meridex::log::Write.
#include "meridex/Logging.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "Log.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/TextCodec.h"

namespace Meridex {
namespace log {
namespace {

struct State {
  std::mutex mutex;
  std::wstring file;  // full path of the log file; empty while logging is off
  Level level = Level::kError;
};

// Never destroyed, so objects released during static destruction (a tag set
// in a global, say) can still log safely.
State& GetState() {
  static State* state = new State;
  return *state;
}

const char* LevelTag(Level level) {
  switch (level) {
    case Level::kError: return "ERR";
    case Level::kWarning: return "WRN";
    case Level::kInfo: return "INF";
    case Level::kDebug: return "DBG";
  }
  return "ERR";
}

}  // namespace

Level ParseLevel(std::wstring_view name) {
  struct Entry {
    const wchar_t* name;
    Level level;
  };
  static constexpr Entry kNames[] = {
      {L"Error", Level::kError}, {L"Warning", Level::kWarning}, {L"Info", Level::kInfo},
      {L"Debug", Level::kDebug}, {L"Detail", Level::kDebug},    {L"Verbose", Level::kDebug},
  };
  for (const Entry& e : kNames)
    if (nimbrel::CompareNoCase(name, e.name) == 0) return e.level;
  return Level::kError;
}

void Write(Level level, std::wstring_view text) noexcept {
  try {
    State& s = GetState();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file.empty() || level > s.level) return;

    const platform::SystemTime t = platform::Env::Current()->LocalTime();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d %s ", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, LevelTag(level));
    std::string line = stamp;
    line += platform::ToUtf8(text);
    line += '\n';

    // Opened per entry: the log is small, and this survives the folder being
    // removed and created again while the host runs.
    platform::File file;
    if (file.Open(s.file, platform::File::Mode::kAppend)) file.Write(line);
  } catch (...) {
    // Logging must never disturb the caller.
  }
}

}  // namespace log

void InitLogging(const CString& folder, const CString& level) {
  std::wstring file = folder.str();
  if (!file.empty()) {
    if (file.back() != L'/') file += L'/';
    file += L"meridex.txt";
  }
  const log::Level parsed = log::ParseLevel(level);

  log::State& s = log::GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.file = std::move(file);
  s.level = parsed;
}

}  // namespace Meridex
