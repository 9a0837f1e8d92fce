// The lyrics chain of the flow: lyrics known to the local tags cache, then
// every lyrics source in priority order until the song has enough lyrics.
#include <exception>

#include "core/LoadedSources.h"
#include "core/LocalTagsCache.h"
#include "core/TagsSearchFlow.h"
#include "foundation/Masterlog.h"
#include "platform/ModuleState.h"
#include "sources/DllSourcesManager.h"
#include "sources/SourcesInUse.h"

using Nimbrel::LyricsInfo;

namespace {

constexpr int kError = 10;

// The request of a single-source lyrics search for the song's input.
Nimbrel::SongQuery RequestFor(const Nimbrel::SongInfo& input, std::uint32_t songId) {
  Nimbrel::SongQuery request;
  request.title = input.trackInfo.title;
  request.artist = input.albumInfo.artist;
  request.album = input.albumInfo.album;
  request.songId = songId;
  return request;
}

// The request that follows a cached record's link to its page.
Nimbrel::SongQuery RequestFor(const LyricsInfo& record, std::uint32_t songId) {
  Nimbrel::SongQuery request;
  request.title = record.title;
  request.artist = record.artist;
  request.lyricsLink = record.link;
  request.songId = songId;
  return request;
}

}  // namespace

void CTagsSearchFlow::SearchLyrics(std::uint32_t songId) {
  platform::ModuleStateGuard guard;
  try {
    RunLyricsChain(songId);
  } catch (const std::exception& e) {
    LogF(kError, L"CTagsSearchFlow::SearchLyrics: song %u: %s", songId, e.what());
  } catch (...) {
    LogF(kError, L"CTagsSearchFlow::SearchLyrics: song %u: unknown exception", songId);
  }
}

void CTagsSearchFlow::RunLyricsChain(std::uint32_t songId) {
  const SongSearch search(context_, songId, kSourceLyrics);
  if (search.Interrupted()) return;
  if (LyricsCacheStep(search) == StepOutcome::kNotFound) AllLyricsSourcesStep(search);
}

void CTagsSearchFlow::SearchReservedLyricsSource(std::uint32_t songId, const std::wstring& sourceName,
                                                 const Nimbrel::SongQuery& request) {
  SourceUse use(kSourceLyrics, sourceName);
  if (use.Held()) SearchLyricsSource(songId, sourceName, request);
}

StepOutcome CTagsSearchFlow::LyricsCacheStep(const SongSearch& search) {
  if (const auto end = search.Interrupted()) return *end;
  CNimbrelSong& song = search.Song();
  const std::uint32_t songId = search.Id();
  const Nimbrel::SongInfo input = song.Input();
  std::vector<LyricsInfo> records;
  std::set<std::wstring> covered;
  CLocalTagsCache::Instance().FindLyricsResults(input.albumInfo.artist, input.trackInfo.title, records, covered);

  if (search.Options().SuccessCriterion == 0) {
    std::list<std::wstring> names;
    CDllSourcesManager::Instance().GetSourceNames(kSourceLyrics, names);
    for (const std::wstring& name : names) {
      if (!covered.count(name)) return StepOutcome::kNotFound;
      song.MarkLyricsSearched(name);
      for (const LyricsInfo& record : records) {
        if (record.source != name) continue;
        if (!record.lyrics.empty()) {
          song.AddLyricsCandidate(record);
          return StepOutcome::kFound;
        }
        if (record.link.empty()) break;
        SearchReservedLyricsSource(songId, name, RequestFor(record, songId));
        return search.LyricsOutcome();
      }
      if (const auto end = search.Interrupted()) return *end;
    }
    return StepOutcome::kNotFound;
  }

  for (const LyricsInfo& record : records) {
    if (!record.lyrics.empty()) song.AddLyricsCandidate(record);
  }
  if (search.LyricsFailed()) {
    for (const LyricsInfo& record : records) {
      if (!record.lyrics.empty() || record.link.empty()) continue;
      if (const auto end = search.Interrupted()) return *end;
      SearchReservedLyricsSource(songId, record.source, RequestFor(record, songId));
    }
  }
  if (const auto end = search.Interrupted()) return *end;
  for (const std::wstring& name : covered) song.MarkLyricsSearched(name);
  // Enough lyrics end the chain only once every loaded source has answered.
  return !search.LyricsFailed() && search.AllLoadedAmong(covered) ? StepOutcome::kFound : StepOutcome::kNotFound;
}

StepOutcome CTagsSearchFlow::AllLyricsSourcesStep(const SongSearch& search) {
  CDllSourcesManager& manager = CDllSourcesManager::Instance();
  CNimbrelSong& song = search.Song();
  StepOutcome outcome = search.Interrupted().value_or(StepOutcome::kNotFound);
  while (outcome == StepOutcome::kNotFound) {
    const std::set<std::wstring> searched = song.SearchedLyricsSources();
    const std::list<std::wstring> tried(searched.begin(), searched.end());
    SourcesInUse inUse;  // from taking the slot to giving it back
    CString name;
    if (!manager.AcquireNextSource(name, kSourceLyrics, tried)) return StepOutcome::kNotFound;
    SourceUse use(kSourceLyrics, name.str(), true);
    song.MarkLyricsSearched(name.str());
    SearchLyricsSource(search.Id(), name.str(), RequestFor(song.Input(), search.Id()));
    outcome = search.LyricsOutcome();
  }
  return outcome;
}
