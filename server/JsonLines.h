// The export format of the cache: one JSON object per line, "kind" first:
//   {"kind":"record","artistKey":…,"titleKey":…,"source":…,"artist":…,
//    "title":…,"album":…,"genre":…,"year":…,"tracknr":…,"coverurl":…,
//    "coverBytes":…,"coverWidth":…,"coverHeight":…,"firstSeen":…,
//    "lastSeen":…,"fills":…,"clients":[…], then the known optional fields
//    (RecordFields.h) by their names: numbers for the counts and the
//    length, texts for the others}
//   {"kind":"sourceFailure","artistKey":…,"titleKey":…,"source":…,"count":…,"lastSeen":…}
//   {"kind":"clientFailure","artistKey":…,"titleKey":…,"client":…,"lastSeen":…}
//   {"kind":"skip","artistKey":…,"titleKey":…,"until":…}
// Times are seconds since 1970 UTC; "clients" are the addresses that filled
// in the record's tags (from any source), their votes. Keys are folded again
// on reading, so a file edited by hand still merges with the songs it names,
// and values pass the rules of a fill (TagRules.h); counts and times lie
// within 0 (counts 1) and a trillion.
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
