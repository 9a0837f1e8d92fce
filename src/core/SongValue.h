// What counts as a value of a song record when records are merged and made
// to agree: a text that names something, texts equal ignoring case, and the
// size of the cover file a record names.
#pragma once

#include <cstdint>
#include <string>

#include "nimbrel/SongInfo.h"
#include "platform/FileSystem.h"
#include "nimbrel/CString.h"

namespace song_value {

// A text that names something: neither empty nor "Unknown".
inline bool IsSet(const std::wstring& text) { return !text.empty() && text != Nimbrel::AlbumInfo::kUnknown; }

inline bool EqualNoCase(const std::wstring& a, const std::wstring& b) { return nimbrel::CompareNoCase(a, b) == 0; }

// The size of a file in bytes; 0 when it cannot be read or is a folder.
inline std::int64_t FileSize(const std::wstring& path) {
  platform::FileStatus status;
  if (path.empty() || !platform::GetFileStatus(path, status)) return 0;
  if (status.attributes & platform::kAttrDirectory) return 0;
  return status.size;
}

}  // namespace song_value
