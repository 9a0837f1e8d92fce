// The single-source searches of the flow and the callbacks their engines
// call: candidates, lyrics, and answers for the local tags cache and the
// tag-cache server.
#include <atomic>

#include "config/EngineProperties.h"
#include "config/NimbrelConfig.h"
#include "config/WriteStatistic.h"
#include "core/LocalTagsCache.h"
#include "core/TagsSearchFlow.h"
#include "covers/CoverCache.h"
#include "engines/AlbumMemory.h"
#include "engines/ArtistLyricsMemory.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/LyricsCommonSearchEngine.h"
#include "foundation/Guarded.h"
#include "foundation/Masterlog.h"
#include "net/ProxyResolver.h"
#include "servercache/NimbrelServerCache.h"
#include "sources/DllSourcesManager.h"

using Nimbrel::LyricsInfo;
using Nimbrel::SongInfo;

namespace {

CString ResolveProxySetting(const CString& setting) { return CString(nimbrel::ResolveProxy(setting.str())); }

// Sets the properties every engine gets, with `flow` as the object the
// callbacks receive.
template <class Engine>
void SetCommonProperties(Engine& engine, CTagsSearchFlow* flow, const NimbrelOptions& options) {
  const CNimbrelConfig& config = CNimbrelConfig::Instance();
  for (const EngineProperty& property : CommonEngineProperties(config, flow, options, ResolveProxySetting,
                                                               CMasterlog::Instance().ParentLogPath())) {
    engine.SetProperty(property.name, const_cast<void*>(property.ValuePointer()));
  }
}

template <typename Function>
void* FunctionValue(Function function) {
  return reinterpret_cast<void*>(function);
}


// Writes the engine's statistics unless the run was stopped meanwhile.
template <class Engine>
void WriteEngineStatistics(Engine& engine, ISearchContext& context) {
  const std::atomic<bool> stopped{context.StopRequested()};
  if (!stopped) WriteStatistic(engine, CNimbrelConfig::Instance().Statistics, stopped);
}

}  // namespace

void CTagsSearchFlow::SearchBasicSource(std::uint32_t songId, const std::wstring& sourceName) {
  // A plug-in that throws ends its own search only: the chain goes on.
  nimbrel::Guarded(L"CTagsSearchFlow::SearchBasicSource", [&] { RunBasicSource(songId, sourceName); });
}

void CTagsSearchFlow::SearchLyricsSource(std::uint32_t songId, const std::wstring& sourceName,
                                         const Nimbrel::SongQuery& request) {
  nimbrel::Guarded(L"CTagsSearchFlow::SearchLyricsSource", [&] { RunLyricsSource(songId, sourceName, request); });
}

void CTagsSearchFlow::RunBasicSource(std::uint32_t songId, const std::wstring& sourceName) {
  boost::shared_ptr<CNimbrelSong> song = context_.FindSong(songId);
  if (!song) return;
  CBasicTagsCommonSearchEngine engine(&CAlbumMemory::Instance(), &CCoverCache::Instance());
  if (context_.StopRequested()) return;
  CBasicTagsDllInterface* plugin = CDllSourcesManager::Instance().GetGeneralInterface(CString(sourceName));
  if (!plugin || engine.Connect(plugin) == 0) return;

  const NimbrelOptions options = context_.Options();
  SetCommonProperties(engine, this, options);
  engine.SetProperty(L"PFWriteBasicTagsToCache", FunctionValue(&CTagsSearchFlow::WriteBasicTagsToCache));
  engine.SetProperty(L"PFSongInfoCallback", FunctionValue(&CTagsSearchFlow::OnSongInfo));
  std::int32_t needCover = options.SearchCover ? 1 : 0;
  engine.SetProperty(L"NeedCover", &needCover);

  const SongInfo input = song->Input();
  Nimbrel::SongQuery query;
  query.title = input.trackInfo.title;
  query.artist = input.albumInfo.artist;
  query.album = input.albumInfo.album;
  query.songId = songId;
  engine.SetSongLength(songId, input.trackInfo.lengthMs);
  engine.SetSongIds(songId, input.albumInfo.releaseId, input.trackInfo.recordingId);
  song.reset();  // the search must not keep a removed song alive

  {
    EngineRegistration<CBasicTagsCommonSearchEngine> registration(context_.BasicEngines(), &engine);
    // A stop that came before the registration could not reach the engine.
    if (context_.StopRequested()) return;
    engine.GetAllBasicTags({query});
  }
  KeepFoundRecords(songId, query);
  WriteEngineStatistics(engine, context_);
}

void CTagsSearchFlow::RunLyricsSource(std::uint32_t songId, const std::wstring& sourceName,
                                      const Nimbrel::SongQuery& request) {
  if (!context_.FindSong(songId)) return;
  CLyricsCommonSearchEngine engine(&CArtistLyricsMemory::Instance());
  if (context_.StopRequested()) return;
  CLyricsDllInterface* plugin = CDllSourcesManager::Instance().GetLyricsInterface(CString(sourceName));
  if (!plugin || engine.Connect(plugin) == 0) return;

  SetCommonProperties(engine, this, context_.Options());
  engine.SetProperty(L"PFWriteLyricsToCache", FunctionValue(&CTagsSearchFlow::WriteLyricsToCache));
  engine.SetProperty(L"PFOneLyricsDealedEx", FunctionValue(&CTagsSearchFlow::OnLyrics));

  {
    EngineRegistration<CLyricsCommonSearchEngine> registration(context_.LyricsEngines(), &engine);
    if (context_.StopRequested()) return;
    engine.GetAllLyrics({request});
  }
  WriteEngineStatistics(engine, context_);
}

void CTagsSearchFlow::OnSongInfo(void* object, unsigned songId, const SongInfo* info) {
  nimbrel::Guarded(L"CTagsSearchFlow::OnSongInfo", [&] {
    auto* flow = static_cast<CTagsSearchFlow*>(object);
    if (!flow || !info) return;
    ISearchContext& context = flow->context_;
    SongInfo copy = *info;
    const NimbrelOptions options = context.Options();

    if (copy.source != kMusicbrainz && options.SuccessCriterion == 0) {
      CNimbrelServerCache& server = CNimbrelServerCache::Instance();
      server.PostFill(copy);
      SongInfo looked = copy;
      std::vector<std::wstring> names;
      if (flow->LookupServer(songId, copy, looked, names, false) == CNimbrelServerCache::kFound) copy = looked;
    }
    // An "ASIN=" reference goes to the cover retrieval only (FetchCover),
    // never to a download as if it were an address.
    if (options.SearchCover && copy.coverInfo.coverFile.empty() && !copy.coverInfo.coverUrl.empty()) {
      copy.coverInfo.coverFile = flow->FetchCover(copy);
    }

    boost::shared_ptr<CNimbrelSong> song = context.FindSong(songId);
    if (!song) return;
    song->AddCandidate(copy);
    std::lock_guard<std::mutex> lock(flow->foundLock_);
    flow->found_.emplace(songId, std::move(copy));
  });
}

void CTagsSearchFlow::KeepFoundRecords(std::uint32_t songId, const Nimbrel::SongQuery& query) {
  std::vector<SongInfo> records;
  {
    std::lock_guard<std::mutex> lock(foundLock_);
    const auto [first, last] = found_.equal_range(songId);
    for (auto record = first; record != last; ++record) records.push_back(std::move(record->second));
    found_.erase(first, last);
  }
  // The answer to a song that names its album may be that album's only: it
  // is kept apart, so that a song without one still asks for every album.
  const bool named = !query.album.empty() && query.album != Nimbrel::AlbumInfo::kUnknown;
  for (const SongInfo& record : records) {
    CLocalTagsCache::Instance().AddBasicResult(query.artist, query.title, record.source, record, true,
                                               named ? query.album : L"");
  }
}

void CTagsSearchFlow::OnLyrics(void* object, unsigned songId, LyricsInfo* lyrics) {
  nimbrel::Guarded(L"CTagsSearchFlow::OnLyrics", [&] {
    auto* flow = static_cast<CTagsSearchFlow*>(object);
    if (!flow || !lyrics) return;
    boost::shared_ptr<CNimbrelSong> song = flow->context_.FindSong(songId);
    if (!song) return;
    song->AddLyricsCandidate(*lyrics);
    const SongInfo input = song->Input();
    CLocalTagsCache::Instance().AddLyricsResult(input.albumInfo.artist, input.trackInfo.title, lyrics->source,
                                                *lyrics, true);
  });
}

void CTagsSearchFlow::WriteBasicTagsToCache(std::list<Nimbrel::AlbumResult>* results, bool found,
                                            bool /*searchedByArtist*/) {
  nimbrel::Guarded(L"CTagsSearchFlow::WriteBasicTagsToCache", [&] {
    if (!results) return;
    if (!found) {
      CLocalTagsCache& cache = CLocalTagsCache::Instance();
      for (const Nimbrel::AlbumResult& album : *results) {
        for (const Nimbrel::TrackInfo& track : album.tracks) {
          SongInfo record;
          record.trackInfo = track;
          record.albumInfo = album.albumInfo;
          record.coverInfo = album.coverInfo;
          record.source = album.source;
          cache.AddBasicResult(album.albumInfo.artist, track.title, album.source, record, false);
        }
      }
    }
    CNimbrelServerCache::Instance().SendFeedback(*results, found);
  });
}

void CTagsSearchFlow::WriteLyricsToCache(std::list<LyricsInfo>* results, bool found, bool /*searchedByArtist*/) {
  nimbrel::Guarded(L"CTagsSearchFlow::WriteLyricsToCache", [&] {
    if (!results || found) return;
    CLocalTagsCache& cache = CLocalTagsCache::Instance();
    for (const LyricsInfo& record : *results) {
      cache.AddLyricsResult(record.artist, record.title, record.source, record, false);
    }
  });
}
