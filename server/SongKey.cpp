#include "server/SongKey.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace cache_server {

namespace {

// What is trimmed from both ends: separators, controls, and the spaces of no
// width that editors and web pages leave behind.
bool Trimmed(utf8proc_int32_t c) {
  switch (utf8proc_category(c)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_CC:
      return true;
    default:
      return c == 0x180E || c == 0x200B || c == 0x2060 || c == 0xFEFF;
  }
}

}  // namespace

std::string FoldKeyText(std::string_view utf8) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8.size());
  utf8proc_ssize_t begin = 0, end = 0;  // the bytes kept
  bool inside = false;
  for (utf8proc_ssize_t at = 0; at < size;) {
    utf8proc_int32_t c = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &c);
    if (length <= 0) return std::string();
    if (!Trimmed(c)) {
      if (!inside) begin = at;
      inside = true;
      end = at + length;
    }
    at += length;
  }
  if (!inside) return std::string();
  utf8proc_uint8_t* folded = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(bytes + begin, end - begin, &folded,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(folded, &std::free);
  if (length < 0) return std::string();
  return std::string(reinterpret_cast<const char*>(folded), static_cast<std::size_t>(length));
}

SongKey MakeSongKey(std::string_view artist, std::string_view title) {
  return SongKey{FoldKeyText(artist), FoldKeyText(title)};
}

}  // namespace cache_server
