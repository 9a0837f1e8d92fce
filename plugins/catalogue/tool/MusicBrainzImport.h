// Releases for the catalogue from JSON lines, one MusicBrainz release
// look-up answer (with recordings and artist credits) per line.
#pragma once

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "../CatalogueStore.h"

namespace catalogue {

// The release of one look-up answer: key = its id, artist from the artist
// credits with their join phrases, year from the date, genre = the most
// counted tag (the release's, else its release group's), cover from the
// Cover Art Archive when it has front artwork, else "ASIN=" + its ASIN.
// False with `error` set for a line that is not such an answer.
bool ReleaseFromLookup(std::string_view line, Release& out, std::string& error);

struct ImportCounts {
  std::size_t imported = 0;
  std::size_t skipped = 0;  // lines reported to `errors`
  bool written = false;     // false when the catalogue could not be written: nothing was kept
};

// Adds every release of `lines` to `store` in one group of writes; blank
// lines are ignored, bad ones reported ("line N: why") and skipped.
ImportCounts ImportMusicBrainzLines(std::istream& lines, CatalogueStore& store, std::ostream& errors);

}  // namespace catalogue
