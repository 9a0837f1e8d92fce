// Releases for the catalogue learnt from a folder of already well-tagged
// media files (read through Meridex), so that the well-tagged half of a
// library can tag the other half offline.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "../CatalogueStore.h"

namespace catalogue {

struct TagsImportCounts {
  std::size_t files = 0;       // media files read
  std::size_t incomplete = 0;  // read but without artist, album or title (reported)
  std::size_t releases = 0;    // releases written
  bool written = false;        // false when the catalogue could not be written: nothing was kept
};

// Reads every media file below `folder` (files Meridex does not recognise
// are passed over). Files of one artist (the first) and album, compared
// without case, make one release of one medium with their titles, track
// numbers, the first year and genre found; its key is made from artist and
// album, so importing the folder again replaces what it learnt before.
// Written in one group of writes.
TagsImportCounts ImportTaggedFolder(const std::string& folder, CatalogueStore& store, std::ostream& errors);

}  // namespace catalogue
