// The contract of a lyrics source plug-in, both ways: the interface object
// the plug-in offers and the engine it is driven by.
//
// Ownership, lifetime and threads as for basic-tags plug-ins
// (BasicTagsDllInterface.h): the plug-in owns its interface object, the
// engine is valid for one search, and up to four searches on different
// threads may use one plug-in at once.
//
// The order of the virtual operations is part of the contract: never reorder
// or insert.
#pragma once

#include <cstdint>
#include <list>

#include "nimbrel/CString.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongQuery.h"
#include "nimbrel/SourcesSearchEngine.h"

class ILyricsSearchEngine;

class CLyricsDllInterface {
 protected:
  // First in the table. The library never deletes a plug-in's interface object.
  virtual ~CLyricsDllInterface() = default;

 public:
  using Engine = ILyricsSearchEngine;

  // Properties as for basic-tags plug-ins; the library reads "SourceName",
  // "SourceId", "SupportedSearch" and the iteration constants and statistics.
  virtual std::int32_t SetProperty(const CString& name, void* value) = 0;
  virtual std::int32_t GetProperty(const CString& name, void* out) = 0;
  virtual std::int32_t CallMethod(const CString& name, void* args) = 0;
  // Not called by the library; keeps its place in the table.
  virtual std::int32_t Reserved() { return 0; }
  // Appends a candidate for every song of `artist`; non-zero when any.
  virtual std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::LyricsInfo>& candidates) = 0;
  // Fetches the text behind `link` into `text`; non-zero on success.
  virtual std::int32_t GetLyricsText(const CString* link, CString* text) = 0;
  // Called once per search with the engine that drives it; 0 refuses the search.
  virtual std::int32_t Connect(ILyricsSearchEngine* engine) = 0;
  // Candidates for `title` by `artist` (an empty title: the whole artist);
  // with `countOnly` only counts. Returns the number of hits, below 1 for none.
  virtual std::int32_t FindAlbums(const CString* artist, const CString* title,
                                  std::list<Nimbrel::LyricsInfo>& candidates, bool countOnly) = 0;

};

// The engine of one lyrics search, as the plug-in reaches it.
class ILyricsSearchEngine : public ITagsSearchEngine<CLyricsDllInterface> {
 public:
  // The search itself (the library's side).
  virtual void GetAllLyrics(std::list<Nimbrel::SongQuery> songs) = 0;
};
