// The contract of a basic-tags source plug-in (tags and covers), both ways:
// the interface object the plug-in offers and the engine it is driven by.
//
// Ownership and lifetime: the plug-in owns its interface object; the library
// never deletes it and uses it only while the module is loaded. The engine
// handed to Connect belongs to the library and is valid until the search
// that connected it ends; a plug-in must not keep it beyond that.
//
// Threads: up to four searches may use one plug-in at the same time, each on
// its own worker thread with its own engine, so every operation may be
// called concurrently and must be safe for that. Everything one search does
// (Connect, properties, finding albums, details) happens on its thread.
//
// The order of the virtual operations is part of the contract: never reorder
// or insert.
#pragma once

#include <cstdint>
#include <list>

#include "nimbrel/AlbumResult.h"
#include "nimbrel/CString.h"
#include "nimbrel/SongInfo.h"
#include "nimbrel/SongQuery.h"
#include "nimbrel/SourcesSearchEngine.h"

class IBasicTagsSearchEngine;

class CBasicTagsDllInterface {
 protected:
  // First in the table. The library never deletes a plug-in's interface object.
  virtual ~CBasicTagsDllInterface() = default;

 public:
  using Engine = IBasicTagsSearchEngine;

  // Read by the library: "SourceName", "SourceId" (CString); "SupportedSearch",
  // "AlbumsItearationConstant", "TitlesItearationConstant",
  // "StatisticSuccessfulDownloads", "StatisticTotalDownloadTime",
  // "StatisticDownloadCounter", "SearchesById" (std::int32_t). Given to the plug-in:
  // "TraceLevel", "LogFolder", "ParentLogfilePath", "LocalCacheFolder",
  // "HttpProxy" (CString: "host:port" for the host's proxy, empty for a direct
  // connection; the default for the plug-in's own requests) and "SearchEnded"
  // (CString; this thread's engine ends, see SourcesSearchEngine.h). Unknown names may be refused (0)
  // or accepted.
  virtual std::int32_t SetProperty(const CString& name, void* value) = 0;
  virtual std::int32_t GetProperty(const CString& name, void* out) = 0;
  // "GetCover_by_asin" with a CoverByAsinArgs*; non-zero on success.
  // "FindAlbumsById" with a FindAlbumsByIdArgs*, only to a plug-in that
  // answers the property "SearchesById" (std::int32_t) with non-zero.
  virtual std::int32_t CallMethod(const CString& name, void* args) = 0;
  // Not called by the library; keeps its place in the table.
  virtual std::int32_t Reserved() { return 0; }
  // Appends every album of `artist`; non-zero when anything was found.
  virtual std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::AlbumResult>& albums) = 0;
  // Fills the cover and the tracks of `album` (as found before); non-zero on success.
  virtual std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                                       std::list<Nimbrel::TrackInfo>* tracks) = 0;
  // Called once per search with the engine that drives it; 0 refuses the search.
  virtual std::int32_t Connect(IBasicTagsSearchEngine* engine) = 0;
  // Albums that may hold `title` by `artist` (an empty title: the whole
  // artist). With `countOnly` only the number of hits is returned and
  // nothing is appended. Returns the number of hits, below 1 for none.
  virtual std::int32_t FindAlbums(const CString* artist, const CString* title,
                                  std::list<Nimbrel::AlbumResult>& albums, bool countOnly) = 0;

};

// The argument record of the method "GetCover_by_asin".
struct CoverByAsinArgs {
  const CString* asin;  // the article number
  CString* coverUrl;    // receives the cover's address
};

// The argument record of the method "FindAlbumsById": the albums that
// MusicBrainz ids name, appended to `albums` (an album handed with its
// tracks is complete; one without is completed by GetAlbumDetails). The
// release's media, or the releases that hold the recording, best first.
// Non-zero when anything was found.
struct FindAlbumsByIdArgs {
  const CString* releaseId;    // empty: none
  const CString* recordingId;  // empty: none
  std::list<Nimbrel::AlbumResult>* albums;
};

// The engine of one basic-tags search, as the plug-in reaches it.
class IBasicTagsSearchEngine : public ITagsSearchEngine<CBasicTagsDllInterface> {
 public:
  // The search itself (the library's side).
  virtual void GetAllBasicTags(std::list<Nimbrel::SongQuery> songs) = 0;
  // Fetches the album's details through the plug-in and its cover through
  // the library's cover cache; 1 when the plug-in delivered the details.
  virtual std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                                       std::list<Nimbrel::TrackInfo>* tracks) = 0;
  // Fetches `cover->coverUrl` into the cover cache and sets `coverFile`;
  // returns the cover cache's result (0 not found).
  virtual std::int32_t DownloadCover(const CString* artist, const CString* albumName, Nimbrel::CoverInfo* cover) = 0;
};
