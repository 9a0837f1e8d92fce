// One set of basic tags for a song, as a source delivers it: track, album and
// cover parts plus the name of the source. Shared by the library and the
// source plug-ins, so it is header-only and holds standard types only.
#pragma once

#include <cstdint>
#include <string>

namespace Nimbrel {

struct TrackInfo {
  std::wstring title;
  std::uint32_t trackNumber = 0;
  std::wstring composer;
  std::wstring comment;
  std::wstring originalArtist;
  std::wstring copyright;
  std::wstring encodedBy;
  // Appended at SDK level 2 (see ModuleVersion.h); older plug-ins never see them.
  // The disc the track is on, 0 when unknown.
  std::uint32_t discNumber = 0;
  // The track's length in milliseconds, 0 when unknown.
  std::uint32_t lengthMs = 0;
  // The MusicBrainz recording id, empty when unknown.
  std::wstring recordingId;

  // A negative number means "none" and is stored as 0.
  void SetTrackNumber(std::int64_t number) { trackNumber = number < 0 ? 0u : static_cast<std::uint32_t>(number); }
};

struct AlbumInfo {
  // The text that stands for "no album".
  static constexpr const wchar_t* kUnknown = L"Unknown";

  std::wstring album = kUnknown;
  std::wstring artist;
  std::wstring genre;
  std::int32_t year = 0;
  // Which album of the source this is; with albumKey part of a candidate's identity.
  std::int32_t albumNumber = 0;
  std::wstring albumKey;
  // Appended at SDK level 2 (see ModuleVersion.h); older plug-ins never see them.
  // The artist of the whole album ("Various Artists" for a compilation), empty when unknown.
  std::wstring albumArtist;
  // The number of tracks on the track's disc and of discs in the release, 0 when unknown.
  std::uint32_t trackTotal = 0;
  std::uint32_t discTotal = 0;
  // The first release of the music: "YYYY", "YYYY-MM" or "YYYY-MM-DD", empty when unknown.
  std::wstring originalDate;
  // The MusicBrainz release and release-group ids, empty when unknown.
  std::wstring releaseId;
  std::wstring releaseGroupId;

  // An empty album becomes "Unknown".
  void SetAlbum(const std::wstring& text) { album = text.empty() ? std::wstring(kUnknown) : text; }
  // True for an album that names something: neither empty nor "Unknown".
  bool HasAlbum() const { return !album.empty() && album != kUnknown; }
};

struct CoverInfo {
  // Address of the picture, or a text with "ASIN=" and an article number.
  std::wstring coverUrl;
  // The picture file once downloaded.
  std::wstring coverFile;
  std::int32_t coverWidth = 0;
  std::int32_t coverHeight = 0;
};

struct SongInfo {
  TrackInfo trackInfo;
  AlbumInfo albumInfo;
  CoverInfo coverInfo;
  // The source plug-in (or the server cache) that produced this record.
  std::wstring source;

  SongInfo() = default;
  SongInfo(const std::wstring& artist, const std::wstring& title, const std::wstring& albumName = std::wstring()) {
    albumInfo.artist = artist;
    trackInfo.title = title;
    albumInfo.SetAlbum(albumName);
  }
};

}  // namespace Nimbrel
