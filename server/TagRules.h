// What a record may hold: the values the library's client can send, by the
// client's own limits. A fill over the network and a line of an import pass
// the same rules, so that an import cannot bring in what a fill would refuse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/TagStore.h"

namespace cache_server {

// A text value: valid UTF-8, no control characters (they would break the
// look-up answer's lines, and NUL or tab a reader's), at most `limit` UTF-16
// code units. False with `error` naming `name`.
bool GoodText(const std::string& value, std::string_view name, std::size_t limit, std::string& error);
// A decimal number as the client writes it ("%d"): digits with an optional
// minus, within 0..`limit`.
bool GoodNumber(const std::string& value, std::string_view name, std::int64_t limit, std::int32_t& out,
                std::string& error);
// Every text and number of `record` (the source not empty), and its
// optional fields.
bool GoodRecord(const TagRecord& record, std::string& error);

// The known optional fields as the look-up answer writes them, one
// "name=value" line ended by CR LF each, in the fields' order; empty when
// none is known. Stores keep this text.
std::string RecordFieldLines(const nimbrel::RecordFieldValues& fields);
// Reads such a text back; false for anything else (a line that is not a
// known field, a field twice or out of order, a value the rules refuse).
bool ReadRecordFieldLines(std::string_view text, nimbrel::RecordFieldValues& fields, std::string& error);

}  // namespace cache_server
