// An album found by a basic-tags source: its album and cover parts and its
// tracks, with the source that found it. Exchanged with the plug-ins, so it
// is header-only and holds standard types only.
#pragma once

#include <list>
#include <string>

#include "nimbrel/SongInfo.h"

namespace Nimbrel {

struct AlbumResult {
  AlbumInfo albumInfo;  // album "Unknown" until the source names one
  CoverInfo coverInfo;
  std::list<TrackInfo> tracks;
  std::wstring source;
  std::wstring sourceId;
};

}  // namespace Nimbrel
