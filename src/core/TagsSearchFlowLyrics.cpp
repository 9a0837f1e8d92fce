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
  if (!Alive(songId)) return;
  const NimbrelOptions options = context_.Options();
  const std::set<std::wstring> loaded = LoadedSourceNames(kSourceLyrics);
  if (LyricsCacheStep(songId, options, loaded)) return;
  if (Alive(songId)) AllLyricsSourcesStep(songId, options, loaded);
}

void CTagsSearchFlow::SearchReservedLyricsSource(std::uint32_t songId, const std::wstring& sourceName,
                                                 const Nimbrel::SongQuery& request) {
  SourceUse use(kSourceLyrics, sourceName);
  if (use.Held()) SearchLyricsSource(songId, sourceName, request);
}

bool CTagsSearchFlow::LyricsCacheStep(std::uint32_t songId, const NimbrelOptions& options,
                                      const std::set<std::wstring>& loaded) {
  boost::shared_ptr<CNimbrelSong> song = Alive(songId);
  if (!song) return true;
  const Nimbrel::SongInfo input = song->Input();
  std::vector<LyricsInfo> records;
  std::set<std::wstring> covered;
  CLocalTagsCache::Instance().FindLyricsResults(input.albumInfo.artist, input.trackInfo.title, records, covered);
  const int criterion = options.SuccessCriterion;

  if (criterion == 0) {
    std::list<std::wstring> names;
    CDllSourcesManager::Instance().GetSourceNames(kSourceLyrics, names);
    for (const std::wstring& name : names) {
      if (!covered.count(name)) return false;
      song->MarkLyricsSearched(name);
      for (const LyricsInfo& record : records) {
        if (record.source != name) continue;
        if (!record.lyrics.empty()) {
          song->AddLyricsCandidate(record);
          return true;
        }
        if (record.link.empty()) break;
        SearchReservedLyricsSource(songId, name, RequestFor(record, songId));
        if (!(song = Alive(songId))) return true;
        return !song->IsLyricsFailed(criterion, loaded);
      }
      if (!(song = Alive(songId))) return true;
    }
    return false;
  }

  for (const LyricsInfo& record : records) {
    if (!record.lyrics.empty()) song->AddLyricsCandidate(record);
  }
  if (song->IsLyricsFailed(criterion, loaded)) {
    for (const LyricsInfo& record : records) {
      if (!record.lyrics.empty() || record.link.empty()) continue;
      if (!Alive(songId)) return true;
      SearchReservedLyricsSource(songId, record.source, RequestFor(record, songId));
    }
  }
  if (!(song = Alive(songId))) return true;
  for (const std::wstring& name : covered) song->MarkLyricsSearched(name);
  return !song->IsLyricsFailed(criterion, loaded) && CountLoaded(covered, loaded) >= loaded.size();
}

void CTagsSearchFlow::AllLyricsSourcesStep(std::uint32_t songId, const NimbrelOptions& options,
                                           const std::set<std::wstring>& loaded) {
  CDllSourcesManager& manager = CDllSourcesManager::Instance();
  while (boost::shared_ptr<CNimbrelSong> song = Alive(songId)) {
    const std::set<std::wstring> searched = song->SearchedLyricsSources();
    const std::list<std::wstring> tried(searched.begin(), searched.end());
    SourcesInUse inUse;  // from taking the slot to giving it back
    CString name;
    if (!manager.AcquireNextSource(name, kSourceLyrics, tried)) return;
    SourceUse use(kSourceLyrics, name.str(), true);
    song->MarkLyricsSearched(name.str());
    const Nimbrel::SongInfo input = song->Input();
    song.reset();
    SearchLyricsSource(songId, name.str(), RequestFor(input, songId));
    if (!(song = Alive(songId))) return;
    if (!song->IsLyricsFailed(options.SuccessCriterion, loaded)) return;
  }
}
