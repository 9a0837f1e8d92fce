// The optional fields of a record that fills and look-up answers carry beside
// the basic tags: the track's disc, length and recording id, and the album's
// artist, totals, original date and release ids. Shared by the client, which
// sends a field only when it is known and passes the rules below, and the
// tag-cache server, which refuses a request with a value that does not.
//
// The names are request parameters and answer keys at once. They stand in
// ascending byte order, as a request's parameters must. An answer writes them
// after the basic lines, so that a reader looking for "artist=" anywhere in
// it still meets the basic line before "albumartist=".
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "nimbrel/SongInfo.h"

namespace nimbrel {

enum class RecordFieldKind {
  kText,    // the album artist: like the basic texts, at most 255 UTF-16 code units
  kCount,   // a disc number or total: 1 to 999
  kLength,  // milliseconds: 1 to a day
  kDate,    // "YYYY", "YYYY-MM" or "YYYY-MM-DD", a real date
  kId,      // a MusicBrainz identifier: a UUID in lowercase hex, 8-4-4-4-12
};

struct RecordField {
  std::string_view name;
  RecordFieldKind kind;
};

inline constexpr std::array<RecordField, 9> kRecordFields = {{
    {"albumartist", RecordFieldKind::kText},
    {"discnr", RecordFieldKind::kCount},
    {"disctotal", RecordFieldKind::kCount},
    {"length_ms", RecordFieldKind::kLength},
    {"originaldate", RecordFieldKind::kDate},
    {"recordingid", RecordFieldKind::kId},
    {"releasegroupid", RecordFieldKind::kId},
    {"releaseid", RecordFieldKind::kId},
    {"tracktotal", RecordFieldKind::kCount},
}};

// The values of the fields in the order above, UTF-8; empty: unknown.
using RecordFieldValues = std::array<std::string, kRecordFields.size()>;

// The index of the field called `name`; kRecordFields.size() when none is.
std::size_t RecordFieldIndex(std::string_view name);
// Whether `value` (not empty) is one the field may hold; false with `error`
// naming the field.
bool GoodRecordField(std::size_t index, std::string_view value, std::string& error);
// True when no field is known.
bool NoRecordFields(const RecordFieldValues& values);

// The known fields of `song` that pass the rules; a value that does not is
// left out (the basic tags are still worth sending).
RecordFieldValues RecordFieldsOf(const Nimbrel::SongInfo& song);
// Writes the fields of `values` into `song`; unknown ones become empty or 0.
void SetRecordFields(const RecordFieldValues& values, Nimbrel::SongInfo& song);

}  // namespace nimbrel
