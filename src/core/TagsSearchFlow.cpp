#include "core/TagsSearchFlow.h"

#include <exception>

#include "config/NimbrelConfig.h"
#include "core/LocalTagsCache.h"
#include "core/LoadedSources.h"
#include "covers/CoverCache.h"
#include "foundation/Masterlog.h"
#include "net/ProxyResolver.h"
#include "nimbrel/IStatisticsSink.h"
#include "platform/ModuleState.h"
#include "servercache/NimbrelServerCache.h"
#include "sources/DllSourcesManager.h"
#include "sources/SourcesInUse.h"

using Nimbrel::SongInfo;

namespace {

constexpr int kError = 10;
constexpr int kInfo = 30;

// Ends a look-up's wait for the server once the run stops or the song goes.
class SongLookupStop : public ILookupRetryStop {
 public:
  SongLookupStop(ISearchContext& context, std::uint32_t songId) : context_(context), songId_(songId) {}
  bool ContinueWaiting() override { return !context_.StopRequested() && context_.FindSong(songId_); }

 private:
  ISearchContext& context_;
  std::uint32_t songId_;
};

bool HasAsin(const std::wstring& url) { return url.find(L"ASIN=") != std::wstring::npos; }

// The article number of an "ASIN=" reference: the text without "ASIN=".
std::wstring ArticleNumber(std::wstring url) {
  for (std::size_t at; (at = url.find(L"ASIN=")) != std::wstring::npos;) url.erase(at, 5);
  return url;
}

}  // namespace

void CTagsSearchFlow::SearchBasicTags(std::uint32_t songId) {
  platform::ModuleStateGuard guard;
  try {
    RunBasicChain(songId);
  } catch (const std::exception& e) {
    LogF(kError, L"CTagsSearchFlow::SearchBasicTags: song %u: %s", songId, e.what());
  } catch (...) {
    LogF(kError, L"CTagsSearchFlow::SearchBasicTags: song %u: unknown exception", songId);
  }
}

boost::shared_ptr<CNimbrelSong> CTagsSearchFlow::Alive(std::uint32_t songId) {
  if (context_.StopRequested()) return nullptr;
  return context_.FindSong(songId);
}

bool CTagsSearchFlow::Failed(const CNimbrelSong& song, const NimbrelOptions& options,
                             const std::set<std::wstring>& loaded) const {
  return song.IsFailed(options.SearchBasicTags, options.SearchCover, options.SuccessCriterion, loaded);
}

void CTagsSearchFlow::RunBasicChain(std::uint32_t songId) {
  const NimbrelOptions options = context_.Options();
  boost::shared_ptr<CNimbrelSong> song = Alive(songId);
  if (!song) return;
  // The merge keeps what this run does not search.
  song->SetSearched(options.SearchBasicTags, options.SearchCover);
  const std::set<std::wstring> loaded = LoadedSourceNames(kSourceGeneral);

  bool ended = KnownResultsStep(songId, options, loaded);
  if (!ended) ended = !Alive(songId) || MusicbrainzStep(songId, options, loaded);
  if (!ended) ended = !Alive(songId) || ServerCacheStep(songId, options, loaded);
  if (!ended && Alive(songId)) {
    if (AllSourcesStep(songId, options, loaded) == SourcesOutcome::kFound && !context_.StopRequested()) {
      ReportStatistic(kSuccessAfterMusicbrainzFailure);
    }
  }
  // A removed song reports nothing: its search did not end on its own.
  song = Alive(songId);
  if (song && Failed(*song, options, loaded)) ReportStatistic(kFailureAfterMusicbrainzFailure);
}

bool CTagsSearchFlow::KnownResultsStep(std::uint32_t songId, const NimbrelOptions& options,
                                       const std::set<std::wstring>& loaded) {
  boost::shared_ptr<CNimbrelSong> song = Alive(songId);
  if (!song) return true;
  const SongInfo input = song->Input();
  std::vector<SongInfo> records;
  std::set<std::wstring> covered;
  CLocalTagsCache::Instance().FindBasicResults(input.albumInfo.artist, input.trackInfo.title, records, covered);

  // Records complete with their cover first; the others only when needed.
  for (const SongInfo& record : records) {
    if (!(song = Alive(songId))) return true;
    if (!record.coverInfo.coverUrl.empty() && !record.coverInfo.coverFile.empty()) song->AddCandidate(record);
  }
  if (Failed(*song, options, loaded)) {
    for (SongInfo record : records) {
      if (!(song = Alive(songId))) return true;
      if (options.SearchCover && !record.coverInfo.coverUrl.empty() && record.coverInfo.coverFile.empty()) {
        record.coverInfo.coverFile = FetchCover(record);
        if (!(song = Alive(songId))) return true;
      }
      song->AddCandidate(record);
    }
  }
  for (const std::wstring& name : covered) song->MarkSearched(name);
  if (!loaded.empty() && CountLoaded(covered, loaded) >= loaded.size()) return true;
  return !Failed(*song, options, loaded);
}

bool CTagsSearchFlow::MusicbrainzStep(std::uint32_t songId, const NimbrelOptions& options,
                                      const std::set<std::wstring>& loaded) {
  boost::shared_ptr<CNimbrelSong> song = Alive(songId);
  if (!song) return true;
  if (!song->SearchedSources().count(kMusicbrainz)) {
    SourceUse use(kSourceGeneral, kMusicbrainz);
    if (use.Held()) {
      song->MarkSearched(kMusicbrainz);
      SearchBasicSource(songId, kMusicbrainz);
    }
  }
  if (!(song = Alive(songId))) return true;
  return !Failed(*song, options, loaded);
}

std::int32_t CTagsSearchFlow::LookupServer(std::uint32_t songId, const SongInfo& input, SongInfo& record,
                                           std::vector<std::wstring>& sourceNames, bool searcher) {
  SongLookupStop stop(context_, songId);
  return CNimbrelServerCache::Instance().LookupWithRetry(input.albumInfo.artist, input.trackInfo.title, record,
                                                         sourceNames, searcher, &stop);
}

bool CTagsSearchFlow::ServerCacheStep(std::uint32_t songId, const NimbrelOptions& options,
                                      const std::set<std::wstring>& loaded) {
  boost::shared_ptr<CNimbrelSong> song = Alive(songId);
  if (!song) return true;
  const SongInfo input = song->Input();
  // A fresh record: the answer must not carry the file's own values (its
  // picture above all) into a candidate.
  SongInfo record;
  std::vector<std::wstring> named;
  const std::int32_t status = LookupServer(songId, input, record, named, true);
  CLocalTagsCache& cache = CLocalTagsCache::Instance();
  const std::wstring& artist = input.albumInfo.artist;
  const std::wstring& title = input.trackInfo.title;

  switch (status) {
    case CNimbrelServerCache::kFound:
      ApplyServerRecord(songId, record, options);
      break;
    case CNimbrelServerCache::kNothingKnown:
      return false;
    case CNimbrelServerCache::kStillWorking:
      // The wait ended (its time, a stop or a removal): no source answered,
      // so none is recorded as having answered; the chain ends here.
      if (!Alive(songId)) return true;
      LogF(kInfo,
           L"CNimbrelCore::FindBasicTagsInServerCache: Waited for 5mins for cache. Abort BasicTagsSearch! "
           L"artist:%s, title:%s",
           artist, title);
      return true;
    case CNimbrelServerCache::kSkipSearch:
      for (const std::wstring& name : loaded) {
        song->MarkSearched(name);
        cache.AddBasicResult(artist, title, name, SongInfo(), false);
      }
      return true;
    case CNimbrelServerCache::kUseSources: {
      if (options.SuccessCriterion != 0) return false;
      std::set<std::wstring> answered;
      for (const std::wstring& name : named) {
        if (!loaded.count(name) || !answered.insert(name).second) continue;
        song->MarkSearched(name);
        cache.AddBasicResult(artist, title, name, record, false);
      }
      if (answered.size() < loaded.size()) return false;
      if (!Alive(songId)) return true;
      CNimbrelServerCache::Instance().ReportFail(artist, title, L"");
      SongInfo again;
      named.clear();
      if (LookupServer(songId, input, again, named, false) != CNimbrelServerCache::kFound) return true;
      ApplyServerRecord(songId, again, options);
      break;
    }
    default:
      break;
  }
  if (!(song = Alive(songId))) return true;
  return !Failed(*song, options, loaded);
}

CTagsSearchFlow::SourcesOutcome CTagsSearchFlow::AllSourcesStep(std::uint32_t songId, const NimbrelOptions& options,
                                                                const std::set<std::wstring>& loaded) {
  CDllSourcesManager& manager = CDllSourcesManager::Instance();
  while (boost::shared_ptr<CNimbrelSong> song = Alive(songId)) {
    const std::set<std::wstring> searched = song->SearchedSources();
    const std::list<std::wstring> tried(searched.begin(), searched.end());
    bool exhausted = false;
    {
      SourcesInUse inUse;  // from taking the slot to giving it back
      CString name;
      if (manager.AcquireLeastBusySource(name, kSourceGeneral, tried)) {
        SourceUse use(kSourceGeneral, name.str(), true);
        song->MarkSearched(name.str());
        SearchBasicSource(songId, name.str());
      } else {
        exhausted = true;
      }
    }
    if (exhausted) {
      // No untried source is left: tell the server and ask it once more.
      const SongInfo input = song->Input();
      CNimbrelServerCache::Instance().ReportFail(input.albumInfo.artist, input.trackInfo.title, L"");
      SongInfo record;
      std::vector<std::wstring> named;
      if (LookupServer(songId, input, record, named, false) == CNimbrelServerCache::kFound) {
        ApplyServerRecord(songId, record, options);
      }
      return SourcesOutcome::kExhausted;
    }
    if (!(song = Alive(songId))) break;
    if (!Failed(*song, options, loaded)) return SourcesOutcome::kFound;
  }
  return SourcesOutcome::kInterrupted;
}

void CTagsSearchFlow::ApplyServerRecord(std::uint32_t songId, SongInfo record, const NimbrelOptions& options) {
  if (!context_.FindSong(songId)) return;
  if (options.SearchCover && !record.coverInfo.coverUrl.empty()) {
    const std::wstring path = FetchCover(record);
    if (!path.empty()) record.coverInfo.coverFile = path;
  }
  boost::shared_ptr<CNimbrelSong> song = context_.FindSong(songId);
  if (!song) return;
  song->AddCandidate(record);
  song->MarkSearched(record.source);
  CLocalTagsCache::Instance().AddBasicResult(record.albumInfo.artist, record.trackInfo.title, record.source, record,
                                             true);
}

std::wstring CTagsSearchFlow::FetchCover(const SongInfo& record) {
  const std::wstring& url = record.coverInfo.coverUrl;
  CString path;
  if (HasAsin(url)) {
    if (context_.StopRequested()) return std::wstring();
    if (!context_.GetCover(CString(), CString(), CString(ArticleNumber(url)), path, true, false)) return std::wstring();
    return path.str();
  }
  const CString proxy(nimbrel::ResolveProxy(CNimbrelConfig::Instance().HttpProxy.str()));
  if (CCoverCache::Instance().GetCover(CString(record.albumInfo.artist), CString(record.albumInfo.album),
                                       CString(record.source), path, CString(url), proxy,
                                       false) == CCoverCache::RET_NOT_FOUND) {
    return std::wstring();
  }
  return path.str();
}

void CTagsSearchFlow::ReportStatistic(const wchar_t* key) {
  if (IStatisticsSink* sink = CNimbrelConfig::Instance().Statistics) sink->AddValue(key, 1);
}
