// The order in which the releases found for a song are offered: the service
// lists them by its own relevance, so a tribute band's live album or a
// "Various Artists" compilation can come before the artist's own album.
#pragma once

#include <string>

#include "../common/Json.h"

namespace musicbrainz {

// The artist id MusicBrainz gives "Various Artists".
inline constexpr char kVariousArtistsId[] = "89ad4ac3-39f7-470e-963a-56509c546377";

// What a release is ranked by, most telling first; smaller ranks first.
struct ReleaseRank {
  int credit = 1;     // 0: the recording (or the release) is credited to the asked artist
  int status = 1;     // 0: Official
  int type = 3;       // release group: 0 Album, 1 EP, 2 Single, 3 anything else or none
  int secondary = 0;  // 1: Compilation, Live, Soundtrack, Remix, ... of any kind
  std::string date;   // "YYYY[-MM[-DD]]"; none sorts last

  bool operator<(const ReleaseRank& other) const;
};

// The rank of `release` (a release object of a search, a browse or a
// look-up) for a song asked by `askedArtist`, whose recording is credited
// to `credit` (the release's own credit where no recording is known).
ReleaseRank RankOf(const plugin_json::Value& release, const std::wstring& credit, const std::wstring& askedArtist);

// An artist name reduced for comparison: letters and digits only, in lower
// case, so that "AC/DC", "ac-dc" and "ACDC" are one name but "The Beatles
// Revival Band" is not "The Beatles".
std::wstring ArtistKey(const std::wstring& name);

// True when an artist-credit list names "Various Artists" (by id, else by name).
bool IsVariousArtists(const plugin_json::Value* credit);

}  // namespace musicbrainz
