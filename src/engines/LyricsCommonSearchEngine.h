// One lyrics search against one lyrics plug-in: songs whose lyrics link is
// known are fetched directly; for the others the plug-in is asked for
// candidates, whose titles are matched to the songs, and the text of each
// match is fetched. Hits and misses reach the core through two callbacks.
//
// As for the basic-tags engine: one engine serves one search, a stop that
// came before the search still ends it, and a search ended by a stop or its
// time-out reports nothing as not found. An empty or blank text counts as no
// text at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "engines/ArtistLyricsMemory.h"
#include "engines/SearchSongs.h"
#include "engines/StringComparer.h"
#include "engines/TagsCommonSearchEngine.h"
#include "nimbrel/LyricsInfo.h"

class CLyricsCommonSearchEngine : public CTagsCommonSearchEngine<CLyricsDllInterface> {
 public:
  // Plain functions set through the "PF..." properties, called on the search thread.
  using LyricsCallback = void (*)(void* object, unsigned songId, Nimbrel::LyricsInfo* lyrics);
  using WriteToCacheCallback = void (*)(std::list<Nimbrel::LyricsInfo>* results, bool found, bool searchedByArtist);

  // `artists`: where whole-artist answers are kept across searches (null:
  // none); must outlive the engine.
  explicit CLyricsCommonSearchEngine(CArtistLyricsMemory* artists = nullptr) : artists_(artists) {}

  std::int32_t SetProperty(const CString& name, void* value) override;
  void SetStop() override;

  // Takes the songs by value and consumes them.
  void GetAllLyrics(std::list<Nimbrel::SongQuery> songs) override;

 private:
  using SongQueue = engines::SongQueue;

  // Matches each song to its exact title among the candidates, else to the
  // nearest below the threshold (the first of equals), and fetches the text.
  void MatchLyrics(SongQueue& songs, const CLyricsCandidates& candidates);
  // Fetches the text behind info->link; 1 when there was one.
  std::int32_t FindLyrics(unsigned songId, Nimbrel::LyricsInfo* info);
  void FillLyricsInfo(const Nimbrel::SongQuery& song, Nimbrel::LyricsInfo& info);
  void WriteLyricsToCache(std::list<Nimbrel::LyricsInfo>& results, bool found, bool searchedByArtist);
  void ReportNotFound(const SongQueue& songs, bool found, bool searchedByArtist);
  static CString Prefix(const wchar_t* operation);

  LyricsCallback lyricsCallback = nullptr;
  WriteToCacheCallback writeToCacheCallback = nullptr;

  CArtistLyricsMemory* artists_;
  const nimbrel::StringComparer comparer_{0.1f, false};
  // Set by every stop and never cleared: the search keeps a stop that came before it.
  std::atomic<bool> stopRequested_{false};
};
