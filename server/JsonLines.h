// The export format of the cache: one JSON object per line, "kind" first:
//   {"kind":"record","artistKey":…,"titleKey":…,"source":…,"artist":…,
//    "title":…,"album":…,"genre":…,"year":…,"tracknr":…,"coverurl":…,
//    "coverBytes":…,"coverWidth":…,"coverHeight":…,"firstSeen":…,
//    "lastSeen":…,"fills":…}
//   {"kind":"sourceFailure","artistKey":…,"titleKey":…,"source":…,"count":…,"lastSeen":…}
//   {"kind":"clientFailure","artistKey":…,"titleKey":…,"client":…,"lastSeen":…}
//   {"kind":"skip","artistKey":…,"titleKey":…,"until":…}
// Times are seconds since 1970 UTC. Keys are folded again on reading, so a
// file edited by hand still merges with the songs it names.
#pragma once

#include <string>
#include <string_view>

#include "server/TagStore.h"

namespace cache_server {

// One line, without its line feed.
std::string ToJsonLine(const ExportItem& item);
// Reads one line; false with `error` when it is not one of the forms above.
bool FromJsonLine(std::string_view line, ExportItem& item, std::string& error);

}  // namespace cache_server
