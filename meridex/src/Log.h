// Meridex's internal log; configured through Meridex::InitLogging.
#pragma once

#include <string_view>

namespace Meridex::log {

enum class Level { kError = 10, kWarning = 20, kInfo = 30, kDebug = 40 };

// The level a name stands for ("Error", "Warning", "Info", "Debug", "Detail",
// "Verbose", ignoring case); anything else is kError.
Level ParseLevel(std::wstring_view name);


// Appends one line to the log when logging is on and `level` is at or below
// the configured level. Never throws; a file that cannot be opened or
// written drops the line.
void Write(Level level, std::wstring_view text) noexcept;

// Sends what TagLib reports about the files it handles to this log instead
// of standard error. Once per process; called before TagLib's first use.
void RouteTagLibMessages();

}  // namespace Meridex::log
