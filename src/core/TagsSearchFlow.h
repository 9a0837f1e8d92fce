// The searches of one song: the basic-tags chain (known results, the
// "musicbrainz" source, the tag-cache server, every other source by least
// busy) and the lyrics chain, with the callbacks through which the engines
// hand back candidates and answers.
//
// Each source search runs a local engine restricted to one plug-in. The
// engine's "NimbrelObject" is this flow: the candidate callbacks receive it
// as their `object` and reach the song through the flow's context. A flow
// therefore outlives every search it runs (the searches are synchronous).
// The write-to-cache callbacks have no object: they feed the process-wide
// local tags cache and tag-cache server client.
//
// Every source a chain takes is marked searched on the song before it is
// asked, so the chain can never take it again. "Every loaded source was
// asked" counts only distinct names of the sources loaded now.
//
// Callbacks enter from plug-in threads: each runs under the module-state
// guard and lets no exception out.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/SearchContext.h"
#include "core/SongSearch.h"
#include "nimbrel/AlbumResult.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongInfo.h"
#include "nimbrel/SongQuery.h"

class CTagsSearchFlow {
 public:
  // `context` is the tagging object the songs belong to; it outlives every
  // search it starts.
  explicit CTagsSearchFlow(ISearchContext& context) : context_(context) {}

  // Runs the basic-tags chain for the song until it counts as found, the
  // chain is exhausted, the song is removed or a stop is requested. Never
  // throws. Does not mark the song's part done: the job's end does.
  void SearchBasicTags(std::uint32_t songId);
  // The same for lyrics.
  void SearchLyrics(std::uint32_t songId);

  // Statistics keys of the basic-tags chain, each reported with the value 1.
  static constexpr const wchar_t* kSuccessAfterMusicbrainzFailure = L"SuccessAfterMusicbrainzFailure";
  static constexpr const wchar_t* kFailureAfterMusicbrainzFailure = L"FailureAfterMusicbrainzFailure";
  static constexpr const wchar_t* kMusicbrainz = L"musicbrainz";

  // The engines' callbacks (plain functions, as the engines call them).
  // `object` is the CTagsSearchFlow that started the search.
  static void OnSongInfo(void* object, unsigned songId, const Nimbrel::SongInfo* info);
  static void OnLyrics(void* object, unsigned songId, Nimbrel::LyricsInfo* lyrics);
  static void WriteBasicTagsToCache(std::list<Nimbrel::AlbumResult>* results, bool found, bool searchedByArtist);
  static void WriteLyricsToCache(std::list<Nimbrel::LyricsInfo>* results, bool found, bool searchedByArtist);

 private:
  void RunBasicChain(std::uint32_t songId);
  void RunLyricsChain(std::uint32_t songId);

  // The chain's steps, each saying how it ended.
  // Answers remembered in the local tags cache; those of other albums than
  // the one the song names go to `otherAlbums` instead, for when nothing else
  // is found.
  StepOutcome KnownResultsStep(const SongSearch& search, std::vector<Nimbrel::SongInfo>& otherAlbums);
  // Adds remembered `records` to the song: those with their cover, then, if
  // still needed, all (fetching missing covers). Set when the search ended.
  std::optional<StepOutcome> AddKnownRecords(const SongSearch& search, const std::vector<Nimbrel::SongInfo>& records);
  StepOutcome MusicbrainzStep(const SongSearch& search);
  StepOutcome ServerCacheStep(const SongSearch& search);
  // Every source not asked yet, the least busy first, until one finds.
  StepOutcome AllSourcesStep(const SongSearch& search);
  // Adds a record the tag-cache server returned to the song, unless the
  // song was removed (a stop does not keep it out).
  void ApplyServerRecord(const SongSearch& search, Nimbrel::SongInfo record);
  // A look-up of the tag-cache server that stops waiting at a stop or removal.
  std::int32_t LookupServer(std::uint32_t songId, const Nimbrel::SongInfo& input, Nimbrel::SongInfo& record,
                            std::vector<std::wstring>& sourceNames, bool searcher);

  // The picture for a record's cover address: an "ASIN=" reference through
  // the context's cover retrieval (never as an address; not after a stop),
  // any other address downloaded into the cover cache under the record's
  // artist, album and source. Empty when none was obtained.
  std::wstring FetchCover(const Nimbrel::SongInfo& record);

  StepOutcome LyricsCacheStep(const SongSearch& search);
  StepOutcome AllLyricsSourcesStep(const SongSearch& search);
  // Reserves the lyrics source, searches it for `request` and gives it back.
  void SearchReservedLyricsSource(std::uint32_t songId, const std::wstring& sourceName, const Nimbrel::SongQuery& request);

  // One engine restricted to one source, for one song. An exception out of
  // the plug-in ends that search only (logged).
  void SearchBasicSource(std::uint32_t songId, const std::wstring& sourceName);
  void SearchLyricsSource(std::uint32_t songId, const std::wstring& sourceName, const Nimbrel::SongQuery& request);
  void RunBasicSource(std::uint32_t songId, const std::wstring& sourceName);
  void RunLyricsSource(std::uint32_t songId, const std::wstring& sourceName, const Nimbrel::SongQuery& request);

  void ReportStatistic(const wchar_t* key);
  // Takes the records the engine found for the song (OnSongInfo) into the
  // local tags cache, once the source's search has ended: a search that
  // finds the title on several albums reports them one by one, and another
  // song of the same title must not take the first as the source's answer.
  void KeepFoundRecords(std::uint32_t songId, const Nimbrel::SongQuery& query);

  ISearchContext& context_;
  std::mutex foundLock_;
  std::multimap<std::uint32_t, Nimbrel::SongInfo> found_;  // by song id, until KeepFoundRecords
};
