#include "server/SongKey.h"

#include "nimbrel/CString.h"
#include "platform/TextCodec.h"

namespace cache_server {

std::string FoldKeyText(std::string_view utf8) {
  std::wstring text = platform::FromUtf8(utf8);
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && nimbrel::IsSpace(text[begin])) ++begin;
  while (end > begin && nimbrel::IsSpace(text[end - 1])) --end;
  std::wstring folded;
  folded.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) folded += nimbrel::FoldCase(text[i]);
  return platform::ToUtf8(folded);
}

SongKey MakeSongKey(std::string_view artist, std::string_view title) {
  return SongKey{FoldKeyText(artist), FoldKeyText(title)};
}

}  // namespace cache_server
