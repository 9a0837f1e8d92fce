// The key under which the server keeps a song: its artist and title, trimmed
// of white space at both ends and case-folded character by character, exactly
// as the library compares names ignoring case (nimbrel::FoldCase and
// nimbrel::IsSpace: a pinned Unicode table, no locale), so that "AC/DC" and
// " ac/dc " are one song.
#pragma once

#include <string>
#include <string_view>

namespace cache_server {

struct SongKey {
  std::string artist;  // folded, UTF-8
  std::string title;   // folded, UTF-8
  bool operator==(const SongKey&) const = default;
};

// The folded form of a UTF-8 text (which must be valid UTF-8).
std::string FoldKeyText(std::string_view utf8);
SongKey MakeSongKey(std::string_view artist, std::string_view title);

}  // namespace cache_server
