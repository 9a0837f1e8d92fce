// The key under which the server keeps a song: its artist and title, trimmed
// of white space and invisible spacing at both ends (NBSP, the ideographic
// space, the zero-width space, a byte-order mark…), case-folded the full
// Unicode way ("ß" and "SS" meet as "ss") and in normalisation form C (a
// composed "ö" and "o" with a combining diaeresis are one letter), by
// utf8proc, so that "AC/DC" and " ac/dc " are one song, and so are "Björk"
// typed on two systems.
//
// Stores written with the earlier key (simple case folding character by
// character, ASCII and Unicode spaces trimmed) are folded again when they are
// opened: that folding of an earlier key gives the key its song's texts give
// now, since full folding and NFC keep what the simple folding already made
// equal (one exception: a dotless "ı" that the simple folding had turned into
// "i" stays "i").
#pragma once

#include <string>
#include <string_view>

namespace cache_server {

struct SongKey {
  std::string artist;  // folded, UTF-8
  std::string title;   // folded, UTF-8
  bool operator==(const SongKey&) const = default;
};

// The folded form of a UTF-8 text; empty when the text is not valid UTF-8.
std::string FoldKeyText(std::string_view utf8);
SongKey MakeSongKey(std::string_view artist, std::string_view title);

}  // namespace cache_server
