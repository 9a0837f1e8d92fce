#include "MusicBrainzParser.h"

#include <set>

#include "../common/Text.h"
#include "MusicBrainzQuery.h"

namespace musicbrainz {

using plugin_json::Value;
using plugin_text::Widen;

namespace {

const wchar_t kSourceName[] = L"musicbrainz";

const std::vector<Value>& ArrayOf(const Value& object, std::string_view key) {
  static const std::vector<Value> kNone;
  const Value* v = object.Find(key);
  return v && v->IsArray() ? v->Items() : kNone;
}

// The release as album: name, key, artist, year.
Nimbrel::AlbumResult AlbumOf(const Value& release, const std::wstring& fallbackArtist) {
  Nimbrel::AlbumResult result;
  result.albumInfo.SetAlbum(Widen(release.TextOf("title")));
  result.albumInfo.albumKey = Widen(release.TextOf("id"));
  const std::wstring artist = CreditedArtist(release.Find("artist-credit"));
  result.albumInfo.artist = artist.empty() ? fallbackArtist : artist;
  result.albumInfo.year = YearOf(release.TextOf("date"));
  result.source = kSourceName;
  return result;
}

// The name of the most used tag, or empty.
std::wstring TopTag(const Value* owner) {
  if (!owner || !owner->IsObject()) return std::wstring();
  std::int64_t best = -1;
  std::string name;
  for (const auto& tag : ArrayOf(*owner, "tags")) {
    const std::int64_t count = tag.IntegerOf("count").value_or(0);
    const std::string text = tag.TextOf("name");
    if (!text.empty() && count > best) best = count, name = text;
  }
  return Widen(name);
}

}  // namespace

std::wstring CreditedArtist(const Value* credit) {
  if (!credit || !credit->IsArray()) return std::wstring();
  std::string text;
  for (const auto& part : credit->Items()) {
    std::string name = part.TextOf("name");
    if (name.empty()) {
      if (const Value* artist = part.Find("artist")) name = artist->TextOf("name");
    }
    text += name + part.TextOf("joinphrase");
  }
  return plugin_text::Trimmed(Widen(text));
}

std::int32_t YearOf(const std::string& date) {
  if (date.size() < 4) return 0;
  std::int32_t year = 0;
  for (int i = 0; i < 4; ++i) {
    if (date[i] < '0' || date[i] > '9') return 0;
    year = year * 10 + (date[i] - '0');
  }
  return year;
}

std::list<Nimbrel::AlbumResult> ReleasesOfRecordings(const Value& answer, std::int64_t minScore) {
  std::list<Nimbrel::AlbumResult> albums;
  std::set<std::wstring> seen;
  for (const auto& recording : ArrayOf(answer, "recordings")) {
    if (recording.IntegerOf("score").value_or(0) < minScore) continue;
    const std::wstring artist = CreditedArtist(recording.Find("artist-credit"));
    const std::wstring title = Widen(recording.TextOf("title"));
    for (const auto& release : ArrayOf(recording, "releases")) {
      Nimbrel::AlbumResult album = AlbumOf(release, artist);
      if (!IsMbid(plugin_text::Narrow(album.albumInfo.albumKey))) continue;
      if (!seen.insert(album.albumInfo.albumKey).second) continue;
      const auto& media = ArrayOf(release, "media");
      album.albumInfo.albumNumber =
          media.empty() ? 1 : static_cast<std::int32_t>(media.front().IntegerOf("position").value_or(1));
      // The found track, as far as a search tells it; the details bring the rest.
      if (!media.empty()) {
        const auto& found = ArrayOf(media.front(), "track");
        Nimbrel::TrackInfo track;
        track.title = found.empty() ? title : Widen(found.front().TextOf("title"));
        track.SetTrackNumber(media.front().IntegerOf("track-offset").value_or(-1) + 1);
        album.tracks.push_back(track);
      }
      albums.push_back(std::move(album));
    }
  }
  return albums;
}

std::string ArtistIdOf(const Value& answer, const std::wstring& artist) {
  std::string topScored;
  for (const auto& candidate : ArrayOf(answer, "artists")) {
    const std::string id = candidate.TextOf("id");
    if (!IsMbid(id)) continue;
    if (plugin_text::SameText(Widen(candidate.TextOf("name")), artist) ||
        plugin_text::SameText(Widen(candidate.TextOf("sort-name")), artist)) {
      return id;
    }
    if (topScored.empty() && candidate.IntegerOf("score").value_or(0) >= 100) topScored = id;
  }
  return topScored;
}

std::list<Nimbrel::AlbumResult> ReleasesOfPage(const Value& answer, std::int64_t& total) {
  std::list<Nimbrel::AlbumResult> albums;
  for (const auto& release : ArrayOf(answer, "releases")) {
    Nimbrel::AlbumResult album = AlbumOf(release, std::wstring());
    if (!IsMbid(plugin_text::Narrow(album.albumInfo.albumKey))) continue;
    album.albumInfo.albumNumber = 1;
    albums.push_back(std::move(album));
  }
  total = answer.IntegerOf("release-count").value_or(static_cast<std::int64_t>(albums.size()));
  if (total < 0) total = 0;
  return albums;
}

bool ReadRelease(const Value& answer, const std::string& coverBase, Nimbrel::AlbumInfo& album,
                 Nimbrel::CoverInfo& cover, std::list<Nimbrel::TrackInfo>& tracks) {
  const std::string id = answer.TextOf("id");
  if (!answer.IsObject() || !IsMbid(id)) return false;
  const Nimbrel::AlbumResult found = AlbumOf(answer, album.artist);
  const std::int32_t medium = album.albumNumber;
  album = found.albumInfo;
  const Value* group = answer.Find("release-group");
  if (album.year == 0 && group) album.year = YearOf(group->TextOf("first-release-date"));
  album.genre = TopTag(&answer);
  if (album.genre.empty()) album.genre = TopTag(group);

  std::int32_t firstMedium = 0;
  bool mediumSeen = false;
  for (const auto& disc : ArrayOf(answer, "media")) {
    const std::int64_t position = disc.IntegerOf("position").value_or(0);
    if (firstMedium == 0 && position > 0 && position <= 0xFFFF) firstMedium = static_cast<std::int32_t>(position);
    if (position == medium) mediumSeen = true;
    std::int64_t index = disc.IntegerOf("track-offset").value_or(0);
    for (const auto& entry : ArrayOf(disc, "tracks")) {
      ++index;
      Nimbrel::TrackInfo track;
      track.title = Widen(entry.TextOf("title"));
      if (track.title.empty()) {
        if (const Value* recording = entry.Find("recording")) track.title = Widen(recording->TextOf("title"));
      }
      std::int64_t number = entry.IntegerOf("position").value_or(index);
      if (number < 0 || number > 0xFFFF) number = index;
      track.SetTrackNumber(number);
      tracks.push_back(std::move(track));
    }
  }
  // The medium the album was found on, else the first.
  album.albumNumber = mediumSeen && medium > 0 ? medium : (firstMedium > 0 ? firstMedium : 1);

  cover.coverUrl.clear();
  const Value* art = answer.Find("cover-art-archive");
  const std::string asin = answer.TextOf("asin");
  if (art && art->Find("front") && art->Find("front")->Bool()) {
    cover.coverUrl = Widen(FrontCoverUrl(coverBase, id));
  } else if (IsAsin(asin)) {
    cover.coverUrl = L"ASIN=" + Widen(asin);
  }
  return true;
}

}  // namespace musicbrainz
