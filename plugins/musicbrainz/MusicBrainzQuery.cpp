#include "MusicBrainzQuery.h"

#include "../common/Text.h"

namespace musicbrainz {

std::string EscapeLucene(std::string_view term) {
  static constexpr std::string_view kSpecial = "+-&|!(){}[]^\"~*?:\\/";
  std::string out;
  for (char c : term) {
    if (kSpecial.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

bool IsMbid(std::string_view id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

bool IsAsin(std::string_view asin) {
  if (asin.size() != 10) return false;
  if (!((asin[0] >= '0' && asin[0] <= '9') || asin[0] == 'B')) return false;
  for (char c : asin.substr(1)) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

std::string RecordingSearchUrl(const std::string& base, std::string_view artist, std::string_view title) {
  const std::string query =
      "artist:\"" + EscapeLucene(artist) + "\" AND recording:\"" + EscapeLucene(title) + "\"";
  return base + "/recording?query=" + plugin_text::UrlEncode(query) + "&limit=" + std::to_string(kSearchLimit) +
         "&offset=0&fmt=json";
}

std::string ArtistSearchUrl(const std::string& base, std::string_view artist) {
  const std::string query = "artist:\"" + EscapeLucene(artist) + "\"";
  return base + "/artist?query=" + plugin_text::UrlEncode(query) + "&limit=10&offset=0&fmt=json";
}

std::string ArtistReleasesUrl(const std::string& base, std::string_view artistId, int offset) {
  if (!IsMbid(artistId)) return std::string();
  // Official albums, EPs and singles only ("|" encoded), with what ranks
  // them, one entry per disc and its tracks, so that the artist's titles
  // are found without a search each.
  return base + "/release?artist=" + std::string(artistId) + "&status=official&type=album%7Cep%7Csingle" +
         "&inc=artist-credits+release-groups+media+recordings&limit=" + std::to_string(kBrowseLimit) +
         "&offset=" + std::to_string(offset) + "&fmt=json";
}

std::string ReleaseLookupUrl(const std::string& base, std::string_view releaseId, bool withTags) {
  if (!IsMbid(releaseId)) return std::string();
  return base + "/release/" + std::string(releaseId) + "?inc=recordings+artist-credits+labels+release-groups+isrcs+genres" +
         (withTags ? "+tags" : "") + "&fmt=json";
}

std::string RecordingLookupUrl(const std::string& base, std::string_view recordingId) {
  if (!IsMbid(recordingId)) return std::string();
  return base + "/recording/" + std::string(recordingId) + "?inc=releases+media+artist-credits+release-groups&fmt=json";
}

std::string FrontCoverUrl(const std::string& coverBase, std::string_view releaseId) {
  return coverBase + "/release/" + std::string(releaseId) + "/front-500";
}

}  // namespace musicbrainz
