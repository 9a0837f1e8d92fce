// Reads LRCLIB answers (already parsed JSON) into lyrics candidates and texts.
#pragma once

#include <list>
#include <string>

#include "../common/Json.h"
#include "nimbrel/LyricsInfo.h"

namespace lrclib {

// One record as a candidate: title, artist, album (in `extra`), the record's
// id as link and `flag` = instrumental. `text` receives the record's lyrics
// (LyricsTextOf). False when the record has no usable id.
bool ReadRecord(const plugin_json::Value& record, Nimbrel::LyricsInfo& candidate, std::wstring& text);

// The text of a record: its plain lyrics when they are not blank, else its
// synced lyrics with their time stamps stripped; empty for an instrumental
// track or a record without lyrics.
std::wstring LyricsTextOf(const plugin_json::Value& record);

// Synced (LRC) lyrics as plain text: line time stamps "[mm:ss.xx]", word time
// stamps "<mm:ss.xx>" and tag lines ("[ar:...]") removed, blank lines at
// either end dropped.
std::wstring StripTimeStamps(const std::wstring& synced);

// A record id as this plug-in writes links: decimal digits, at most 18.
bool IsRecordId(const std::wstring& link);

}  // namespace lrclib
