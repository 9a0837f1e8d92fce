// Meridex's own small log file, separate from the host's and nimbrel's logs.
#pragma once

#include "meridex/Export.h"
#include "nimbrel/CString.h"

namespace Meridex {

// Starts, reconfigures or stops Meridex's log. Entries go to
// `folder` + "/meridex.txt" as UTF-8 lines "YYYY-MM-DD HH:MM:SS LVL text".
// `level` is "Error", "Warning", "Info", or "Debug" (also "Detail",
// "Verbose"), compared ignoring case; any other text means "Error". An entry
// is written when its level is at or below the configured one. An empty
// folder switches logging off (the initial state). Safe to call from any
// thread; a later call replaces folder and level.
MERIDEX_EXPORT void InitLogging(const CString& folder, const CString& level);

}  // namespace Meridex
