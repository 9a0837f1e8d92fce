// Addresses of the MusicBrainz web service (version 2) requests the plug-in
// makes, and the checks on what goes into them.
#pragma once

#include <string>
#include <string_view>

namespace musicbrainz {

// Escapes the characters Lucene reads as syntax (AC/DC -> AC\/DC).
std::string EscapeLucene(std::string_view term);
// A MusicBrainz id: 36 characters, lower-case hex in groups 8-4-4-4-12.
bool IsMbid(std::string_view id);
// An article number: [0-9B][0-9A-Z]{9}.
bool IsAsin(std::string_view asin);

// `base` is the service root without a trailing slash ("https://musicbrainz.org/ws/2").
std::string RecordingSearchUrl(const std::string& base, std::string_view artist, std::string_view title);
std::string ArtistSearchUrl(const std::string& base, std::string_view artist);
// The artist's official albums, EPs and singles, with their release groups,
// media and tracks. Empty when `artistId` is no MBID.
std::string ArtistReleasesUrl(const std::string& base, std::string_view artistId, int offset);
// With genres, and free-form tags too when `withTags`. Empty when
// `releaseId` is no MBID, so that no id can reach into the path.
std::string ReleaseLookupUrl(const std::string& base, std::string_view releaseId, bool withTags);
// The releases of a recording, with their media; empty for an id that is no MBID.
std::string RecordingLookupUrl(const std::string& base, std::string_view recordingId);
std::string FrontCoverUrl(const std::string& coverBase, std::string_view releaseId);

inline constexpr int kSearchLimit = 25;
inline constexpr int kBrowseLimit = 100;

}  // namespace musicbrainz
