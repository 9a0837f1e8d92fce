// One song as the tagging core hands it to a search engine. Shared with the
// source plug-ins, so it is header-only and holds standard types only.
#pragma once

#include <cstdint>
#include <string>

namespace Nimbrel {

struct SongQuery {
  std::wstring title;
  std::wstring artist;
  std::wstring album;
  std::wstring genre;
  std::wstring year;
  std::wstring trackNumber;
  std::wstring composer;
  // Where a lyrics source can fetch this song's text directly; empty when unknown.
  std::wstring lyricsLink;
  std::wstring comment;
  // The media file the song was read from, when the host gave one.
  std::wstring fileName;
  // The core's process-wide id of the song.
  std::uint32_t songId = 0;
};

}  // namespace Nimbrel
