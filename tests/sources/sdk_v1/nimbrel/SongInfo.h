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
