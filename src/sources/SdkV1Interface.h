// The records and the basic-tags contract as modules of SDK level 1 know
// them: the track and album records before the fields of level 2 were
// appended. Same virtual tables as today's contract, other record layouts;
// only the adapter that serves such modules uses these.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "nimbrel/CString.h"
#include "nimbrel/SongInfo.h"
#include "nimbrel/SongQuery.h"
#include "nimbrel/SourcesSearchEngine.h"

namespace sdk_v1 {

struct TrackInfo {
  std::wstring title;
  std::uint32_t trackNumber = 0;
  std::wstring composer;
  std::wstring comment;
  std::wstring originalArtist;
  std::wstring copyright;
  std::wstring encodedBy;
};

struct AlbumInfo {
  std::wstring album = Nimbrel::AlbumInfo::kUnknown;
  std::wstring artist;
  std::wstring genre;
  std::int32_t year = 0;
  std::int32_t albumNumber = 0;
  std::wstring albumKey;
};

// Unchanged since level 1.
using CoverInfo = Nimbrel::CoverInfo;

struct AlbumResult {
  AlbumInfo albumInfo;
  CoverInfo coverInfo;
  std::list<TrackInfo> tracks;
  std::wstring source;
  std::wstring sourceId;
};

class IBasicTagsSearchEngine;

class CBasicTagsDllInterface {
 protected:
  virtual ~CBasicTagsDllInterface() = default;

 public:
  using Engine = IBasicTagsSearchEngine;
  virtual std::int32_t SetProperty(const CString& name, void* value) = 0;
  virtual std::int32_t GetProperty(const CString& name, void* out) = 0;
  virtual std::int32_t CallMethod(const CString& name, void* args) = 0;
  virtual std::int32_t Reserved() { return 0; }
  virtual std::int32_t FindAlbumsByArtist(const CString* artist, std::list<AlbumResult>& albums) = 0;
  virtual std::int32_t GetAlbumDetails(AlbumInfo* album, CoverInfo* cover, std::list<TrackInfo>* tracks) = 0;
  virtual std::int32_t Connect(IBasicTagsSearchEngine* engine) = 0;
  virtual std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<AlbumResult>& albums,
                                  bool countOnly) = 0;
};

class IBasicTagsSearchEngine : public ITagsSearchEngine<CBasicTagsDllInterface> {
 public:
  virtual void GetAllBasicTags(std::list<Nimbrel::SongQuery> songs) = 0;
  virtual std::int32_t GetAlbumDetails(AlbumInfo* album, CoverInfo* cover, std::list<TrackInfo>* tracks) = 0;
  virtual std::int32_t DownloadCover(const CString* artist, const CString* albumName, CoverInfo* cover) = 0;
};

}  // namespace sdk_v1
