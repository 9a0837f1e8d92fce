#include "MusicBrainzParser.h"

#include <algorithm>
#include <set>
#include <utility>

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
  // The artist of a compilation of many is the one of the song's own track.
  const Value* credit = release.Find("artist-credit");
  const std::wstring artist = CreditedArtist(credit);
  const bool various = IsVariousArtists(credit) && !fallbackArtist.empty();
  result.albumInfo.artist = artist.empty() || various ? fallbackArtist : artist;
  result.albumInfo.year = YearOf(release.TextOf("date"));
  result.source = kSourceName;
  return result;
}

// The name of the most counted entry of `owner`'s list `key` ("genres" or
// "tags"), or empty.
std::wstring TopNamed(const Value* owner, std::string_view key) {
  if (!owner || !owner->IsObject()) return std::wstring();
  std::int64_t best = -1;
  std::string name;
  for (const auto& entry : ArrayOf(*owner, key)) {
    const std::int64_t count = entry.IntegerOf("count").value_or(0);
    const std::string text = entry.TextOf("name");
    if (!text.empty() && count > best) best = count, name = text;
  }
  return Widen(name);
}

// The position of a medium (its disc number), 1 when it has none that fits.
std::int32_t MediumPosition(const Value& medium) {
  const std::int64_t position = medium.IntegerOf("position").value_or(1);
  return position > 0 && position <= 0xFFFF ? static_cast<std::int32_t>(position) : 1;
}

// A track of a look-up, numbered by its position (else `index`).
Nimbrel::TrackInfo TrackOf(const Value& entry, std::int64_t index) {
  Nimbrel::TrackInfo track;
  track.title = Widen(entry.TextOf("title"));
  if (track.title.empty()) {
    if (const Value* recording = entry.Find("recording")) track.title = Widen(recording->TextOf("title"));
  }
  std::int64_t number = entry.IntegerOf("position").value_or(index);
  if (number < 0 || number > 0xFFFF) number = index;
  track.SetTrackNumber(number);
  // The track's length, else its recording's (milliseconds; null when unknown).
  const Value* recording = entry.Find("recording");
  std::int64_t length = entry.IntegerOf("length").value_or(0);
  if (length <= 0 && recording) length = recording->IntegerOf("length").value_or(0);
  if (length > 0 && length < 0xFFFFFFFFll) track.lengthMs = static_cast<std::uint32_t>(length);
  if (recording) {
    const std::string id = recording->TextOf("id");
    if (IsMbid(id)) track.recordingId = Widen(id);
  }
  return track;
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

std::list<Nimbrel::AlbumResult> InRankOrder(std::vector<RankedAlbum> albums) {
  std::stable_sort(albums.begin(), albums.end(),
                   [](const RankedAlbum& a, const RankedAlbum& b) { return a.rank < b.rank; });
  std::list<Nimbrel::AlbumResult> ordered;
  for (auto& ranked : albums) ordered.push_back(std::move(ranked.album));
  return ordered;
}

std::list<Nimbrel::AlbumResult> ReleasesOfRecordings(const Value& answer, std::int64_t minScore,
                                                     const std::wstring& askedArtist, std::int32_t& recordings) {
  std::vector<RankedAlbum> albums;
  std::set<std::pair<std::wstring, std::int32_t>> seen;
  recordings = 0;
  for (const auto& recording : ArrayOf(answer, "recordings")) {
    if (recording.IntegerOf("score").value_or(0) < minScore) continue;
    const std::wstring artist = CreditedArtist(recording.Find("artist-credit"));
    const std::wstring title = Widen(recording.TextOf("title"));
    bool counted = false;
    for (const auto& release : ArrayOf(recording, "releases")) {
      const Nimbrel::AlbumResult found = AlbumOf(release, artist);
      if (!IsMbid(plugin_text::Narrow(found.albumInfo.albumKey))) continue;
      if (!counted) counted = true, ++recordings;
      const ReleaseRank rank = RankOf(release, artist, askedArtist);
      const auto& media = ArrayOf(release, "media");
      // A release without media is offered as its first disc.
      for (std::size_t m = 0; m < std::max<std::size_t>(media.size(), 1); ++m) {
        Nimbrel::AlbumResult album = found;
        album.albumInfo.albumNumber = media.empty() ? 1 : MediumPosition(media[m]);
        if (!seen.emplace(album.albumInfo.albumKey, album.albumInfo.albumNumber).second) continue;
        // The found track, as far as a search tells it; the details bring the rest.
        if (!media.empty()) {
          const auto& listed = ArrayOf(media[m], "track");
          Nimbrel::TrackInfo track;
          track.title = listed.empty() ? title : Widen(listed.front().TextOf("title"));
          track.SetTrackNumber(media[m].IntegerOf("track-offset").value_or(-1) + 1);
          album.tracks.push_back(track);
        }
        albums.push_back({rank, std::move(album)});
      }
    }
  }
  return InRankOrder(std::move(albums));
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

std::size_t ReleasesOfPage(const Value& answer, const std::wstring& askedArtist, std::vector<RankedAlbum>& albums,
                           std::int64_t& total) {
  const auto& releases = ArrayOf(answer, "releases");
  for (const auto& release : releases) {
    const Nimbrel::AlbumResult found = AlbumOf(release, std::wstring());
    if (!IsMbid(plugin_text::Narrow(found.albumInfo.albumKey))) continue;
    const ReleaseRank rank = RankOf(release, found.albumInfo.artist, askedArtist);
    const auto& media = ArrayOf(release, "media");
    std::set<std::int32_t> positions;
    for (const auto& medium : media) positions.insert(MediumPosition(medium));
    if (positions.empty()) positions.insert(1);
    for (const std::int32_t position : positions) {
      Nimbrel::AlbumResult album = found;
      album.albumInfo.albumNumber = position;
      albums.push_back({rank, std::move(album)});
    }
  }
  total = answer.IntegerOf("release-count").value_or(static_cast<std::int64_t>(releases.size()));
  if (total < 0) total = 0;
  return releases.size();
}

std::string ArtistIdOfCredits(const Value& search, const std::wstring& artist) {
  const std::wstring asked = ArtistKey(artist);
  if (asked.empty()) return std::string();
  for (const auto& recording : ArrayOf(search, "recordings")) {
    for (const auto& part : ArrayOf(recording, "artist-credit")) {
      const Value* named = part.Find("artist");
      if (!named || !named->IsObject()) continue;
      const std::string id = named->TextOf("id");
      if (!IsMbid(id)) continue;
      if (ArtistKey(Widen(part.TextOf("name"))) == asked || ArtistKey(Widen(named->TextOf("name"))) == asked) {
        return id;
      }
    }
  }
  return std::string();
}

std::size_t ReleasesWithTitle(const Value& page, const std::wstring& title, const std::wstring& askedArtist,
                              std::vector<RankedAlbum>& albums, std::set<std::string>& recordings) {
  const std::wstring wanted = ArtistKey(title);
  const auto& releases = ArrayOf(page, "releases");
  if (wanted.empty()) return releases.size();
  for (const auto& release : releases) {
    const std::wstring releaseCredit = CreditedArtist(release.Find("artist-credit"));
    for (const auto& medium : ArrayOf(release, "media")) {
      std::int64_t index = medium.IntegerOf("track-offset").value_or(0);
      for (const auto& entry : ArrayOf(medium, "tracks")) {
        ++index;
        const Value* recording = entry.Find("recording");
        const bool named = ArtistKey(Widen(entry.TextOf("title"))) == wanted ||
                           (recording && ArtistKey(Widen(recording->TextOf("title"))) == wanted);
        if (!named) continue;
        std::wstring credit = CreditedArtist(entry.Find("artist-credit"));
        if (credit.empty()) credit = releaseCredit;
        Nimbrel::AlbumResult album = AlbumOf(release, credit);
        if (!IsMbid(plugin_text::Narrow(album.albumInfo.albumKey))) break;
        album.albumInfo.albumNumber = MediumPosition(medium);
        album.tracks.push_back(TrackOf(entry, index));
        albums.push_back({RankOf(release, credit, askedArtist), std::move(album)});
        const std::string id = recording ? recording->TextOf("id") : std::string();
        recordings.insert(id.empty() ? entry.TextOf("id") : id);
        break;  // one album per disc
      }
    }
  }
  return releases.size();
}

bool ReadRelease(const Value& answer, const std::string& coverBase, bool tagsAsGenre, Nimbrel::AlbumInfo& album,
                 Nimbrel::CoverInfo& cover, std::list<Nimbrel::TrackInfo>& tracks) {
  const std::string id = answer.TextOf("id");
  if (!answer.IsObject() || !IsMbid(id)) return false;
  const Nimbrel::AlbumResult found = AlbumOf(answer, album.artist);
  const std::int32_t asked = album.albumNumber;
  album = found.albumInfo;
  const Value* group = answer.Find("release-group");
  if (album.year == 0 && group) album.year = YearOf(group->TextOf("first-release-date"));
  album.genre = TopNamed(&answer, "genres");
  if (album.genre.empty()) album.genre = TopNamed(group, "genres");
  if (album.genre.empty() && tagsAsGenre) album.genre = TopNamed(&answer, "tags");
  if (album.genre.empty() && tagsAsGenre) album.genre = TopNamed(group, "tags");

  // One disc is one album: the one asked for, else the first listed.
  const auto& media = ArrayOf(answer, "media");
  const Value* disc = media.empty() ? nullptr : &media.front();
  for (const auto& medium : media) {
    if (asked > 0 && MediumPosition(medium) == asked) {
      disc = &medium;
      break;
    }
  }
  album.albumNumber = disc ? MediumPosition(*disc) : 1;
  // What the release tells beyond the album itself.
  album.albumArtist = CreditedArtist(answer.Find("artist-credit"));
  album.releaseId = Widen(id);
  if (group) {
    const std::string groupId = group->TextOf("id");
    if (IsMbid(groupId)) album.releaseGroupId = Widen(groupId);
    album.originalDate = Widen(group->TextOf("first-release-date"));
  }
  album.discTotal = static_cast<std::uint32_t>(media.size());
  if (disc) {
    const std::int64_t count = disc->IntegerOf("track-count").value_or(0);
    album.trackTotal = count > 0 && count <= 0xFFFF ? static_cast<std::uint32_t>(count) : 0;
  }
  if (disc) {
    // A hidden track before the first is track 0, which is no track number.
    if (const Value* pregap = disc->Find("pregap"); pregap && pregap->IsObject()) {
      Nimbrel::TrackInfo track = TrackOf(*pregap, 0);
      track.SetTrackNumber(0);
      if (!track.title.empty()) tracks.push_back(std::move(track));
    }
    std::int64_t index = disc->IntegerOf("track-offset").value_or(0);
    for (const auto& entry : ArrayOf(*disc, "tracks")) {
      tracks.push_back(TrackOf(entry, ++index));
      tracks.back().discNumber = static_cast<std::uint32_t>(album.albumNumber);
    }
    if (album.trackTotal == 0) album.trackTotal = static_cast<std::uint32_t>(ArrayOf(*disc, "tracks").size());
  }

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

std::list<Nimbrel::AlbumResult> ReleaseMedia(const Value& answer, const std::string& coverBase, bool tagsAsGenre) {
  std::list<Nimbrel::AlbumResult> albums;
  std::set<std::int32_t> positions;
  for (const auto& medium : ArrayOf(answer, "media")) positions.insert(MediumPosition(medium));
  if (positions.empty()) positions.insert(1);
  for (const std::int32_t position : positions) {
    Nimbrel::AlbumResult album;
    album.albumInfo.albumNumber = position;
    album.source = kSourceName;
    if (!ReadRelease(answer, coverBase, tagsAsGenre, album.albumInfo, album.coverInfo, album.tracks)) return {};
    albums.push_back(std::move(album));
  }
  return albums;
}

std::list<Nimbrel::AlbumResult> ReleasesOfRecording(const Value& answer) {
  std::vector<RankedAlbum> albums;
  if (!answer.IsObject() || !IsMbid(answer.TextOf("id"))) return {};
  const std::wstring artist = CreditedArtist(answer.Find("artist-credit"));
  for (const auto& release : ArrayOf(answer, "releases")) {
    const Nimbrel::AlbumResult found = AlbumOf(release, artist);
    if (!IsMbid(plugin_text::Narrow(found.albumInfo.albumKey))) continue;
    const ReleaseRank rank = RankOf(release, artist, artist);
    std::set<std::int32_t> holding, every;
    for (const auto& medium : ArrayOf(release, "media")) {
      every.insert(MediumPosition(medium));
      if (!ArrayOf(medium, "tracks").empty() || !ArrayOf(medium, "track").empty()) holding.insert(MediumPosition(medium));
    }
    if (every.empty()) every.insert(1);
    for (const std::int32_t position : holding.empty() ? every : holding) {
      Nimbrel::AlbumResult album = found;
      album.albumInfo.albumNumber = position;
      albums.push_back({rank, std::move(album)});
    }
  }
  return InRankOrder(std::move(albums));
}

}  // namespace musicbrainz
