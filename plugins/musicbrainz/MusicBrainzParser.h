// Reads MusicBrainz answers (already parsed JSON) into the SDK's records.
// Every field may be missing, null or of another type than documented; what
// cannot be read is left empty.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "../common/Json.h"
#include "nimbrel/AlbumResult.h"

namespace musicbrainz {

// The releases of a recording search, each once (the first medium it was
// found on is its albumNumber). Recordings scored below `minScore` are left out.
std::list<Nimbrel::AlbumResult> ReleasesOfRecordings(const plugin_json::Value& answer, std::int64_t minScore);

// The id of the artist named `artist` in an artist search: the first whose
// name or sort name equals it (ignoring case), else the first with score 100.
std::string ArtistIdOf(const plugin_json::Value& answer, const std::wstring& artist);

// One page of an artist's releases; `total` receives "release-count" (or the
// page's size when absent).
std::list<Nimbrel::AlbumResult> ReleasesOfPage(const plugin_json::Value& answer, std::int64_t& total);

// A release lookup: album, cover reference and the tracks of every medium.
// `coverBase` is the Cover Art Archive's root. False when the answer is no release.
bool ReadRelease(const plugin_json::Value& answer, const std::string& coverBase, Nimbrel::AlbumInfo& album,
                 Nimbrel::CoverInfo& cover, std::list<Nimbrel::TrackInfo>& tracks);

// "A feat. B": names and join phrases of an artist-credit list.
std::wstring CreditedArtist(const plugin_json::Value* credit);
// The year that a date ("1994-05-02", "1994") begins with; 0 when none.
std::int32_t YearOf(const std::string& date);

}  // namespace musicbrainz
