// Reads MusicBrainz answers (already parsed JSON) into the SDK's records.
// Every field may be missing, null or of another type than documented; what
// cannot be read is left empty.
#pragma once

#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "../common/Json.h"
#include "ReleaseRank.h"
#include "nimbrel/AlbumResult.h"

namespace musicbrainz {

// An album found, with its rank for the song asked.
struct RankedAlbum {
  ReleaseRank rank;
  Nimbrel::AlbumResult album;
};

// The albums by rank; equals keep the service's order.
std::list<Nimbrel::AlbumResult> InRankOrder(std::vector<RankedAlbum> albums);

// The releases of a recording search for a song by `askedArtist`, in rank
// order: one album per medium the recording is on (albumNumber = the
// medium's position), each once. Recordings scored below `minScore` are left
// out; `recordings` receives how many recordings the albums came from.
std::list<Nimbrel::AlbumResult> ReleasesOfRecordings(const plugin_json::Value& answer, std::int64_t minScore,
                                                     const std::wstring& askedArtist, std::int32_t& recordings);

// The id of the artist named `artist` in an artist search: the first whose
// name or sort name equals it (ignoring case), else the first with score 100.
std::string ArtistIdOf(const plugin_json::Value& answer, const std::wstring& artist);

// One page of an artist's releases: one album per medium, ranked for
// `askedArtist`, appended to `albums`; `total` receives "release-count" (or
// the page's size when absent). Returns how many releases the page held.
std::size_t ReleasesOfPage(const plugin_json::Value& answer, const std::wstring& askedArtist,
                           std::vector<RankedAlbum>& albums, std::int64_t& total);

// The id of `artist` as the credits of a recording search name it: the
// first credited artist whose name, as credited or its own, is `artist`
// after normalising (ArtistKey). Empty when none is, or the id is no MBID.
std::string ArtistIdOfCredits(const plugin_json::Value& search, const std::wstring& artist);

// The releases on one page of an artist's releases browsed with their
// recordings that hold `title` (equal after normalising, as the track's or
// its recording's title): one album per disc that holds it, its track the
// first of that title, ranked for `askedArtist` by the track's credit, and
// appended to `albums`. The recordings' ids go to `recordings`. Returns how
// many releases the page held.
std::size_t ReleasesWithTitle(const plugin_json::Value& page, const std::wstring& title,
                              const std::wstring& askedArtist, std::vector<RankedAlbum>& albums,
                              std::set<std::string>& recordings);

// A release lookup: album, cover reference and the tracks of one medium:
// the one `album.albumNumber` names, else the first. A hidden track before
// the first (the medium's pregap) comes first, as track 0. The genre is the
// top genre of the release, else of its release group; with `tagsAsGenre`,
// else the top free-form tag of either. A release by "Various Artists" keeps
// the artist `album` came with. `coverBase` is the Cover Art Archive's root.
// False when the answer is no release.
bool ReadRelease(const plugin_json::Value& answer, const std::string& coverBase, bool tagsAsGenre,
                 Nimbrel::AlbumInfo& album, Nimbrel::CoverInfo& cover, std::list<Nimbrel::TrackInfo>& tracks);

// Every medium of a release lookup as a complete album (as ReadRelease reads
// it), in the release's order; empty when the answer is no release.
std::list<Nimbrel::AlbumResult> ReleaseMedia(const plugin_json::Value& answer, const std::string& coverBase,
                                             bool tagsAsGenre);

// The releases of a recording lookup, ranked for the recording's own artist:
// one album per medium that holds the recording (every medium when the
// answer does not tell), without tracks.
std::list<Nimbrel::AlbumResult> ReleasesOfRecording(const plugin_json::Value& answer);

// "A feat. B": names and join phrases of an artist-credit list.
std::wstring CreditedArtist(const plugin_json::Value* credit);
// The year that a date ("1994-05-02", "1994") begins with; 0 when none.
std::int32_t YearOf(const std::string& date);

}  // namespace musicbrainz
