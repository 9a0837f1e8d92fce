#include "core/TagsSearchFlow.h"

#include <algorithm>
#include <exception>

#include "config/NimbrelConfig.h"
#include "core/LoadedSources.h"
#include "core/LocalTagsCache.h"
#include "covers/CoverCache.h"
#include "engines/LengthFit.h"
#include "engines/StringComparer.h"
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

void CTagsSearchFlow::RunBasicChain(std::uint32_t songId) {
  const SongSearch search(context_, songId, kSourceGeneral);
  if (search.Interrupted()) return;
  // The merge keeps what this run does not search.
  search.Song().SetSearched(search.Options().SearchBasicTags, search.Options().SearchCover);

  std::vector<SongInfo> otherAlbums;
  StepOutcome outcome = KnownResultsStep(search, otherAlbums);
  if (outcome == StepOutcome::kNotFound) outcome = MusicbrainzStep(search);
  if (outcome == StepOutcome::kNotFound) outcome = ServerCacheStep(search);
  if (outcome == StepOutcome::kNotFound && AllSourcesStep(search) == StepOutcome::kFound &&
      !context_.StopRequested()) {
    ReportStatistic(kSuccessAfterMusicbrainzFailure);
  }
  // Only when the sources found nothing at all: a found answer of the song's
  // album must not be outvoted by a remembered one of another album.
  if (!otherAlbums.empty() && !search.Removed() && search.Song().Candidates().empty()) {
    AddKnownRecords(search, otherAlbums);
  }
  // A removed song reports nothing: its search did not end on its own.
  if (!search.Interrupted() && search.Failed()) ReportStatistic(kFailureAfterMusicbrainzFailure);
}

namespace {

// Moves the records of other albums than `album` out of `records` into the
// result, albums compared as the engines compare album names. A song that
// names no album keeps every record.
std::vector<SongInfo> TakeOtherAlbums(std::vector<SongInfo>& records, const std::wstring& album) {
  if (album.empty() || album == Nimbrel::AlbumInfo::kUnknown) return {};
  const nimbrel::StringComparer comparer;
  const std::wstring wanted = comparer.Prepare(album.c_str()).Normalised();
  std::vector<SongInfo> own, others;
  for (SongInfo& record : records) {
    (comparer.Prepare(record.albumInfo.album.c_str()).Normalised() == wanted ? own : others).push_back(std::move(record));
  }
  records = std::move(own);
  return others;
}

// Whether `record` carries MusicBrainz ids none of which the song names.
// A record without ids, or a song without, never conflicts.
bool OfOtherIds(const SongInfo& input, const SongInfo& record) {
  const std::wstring& release = input.albumInfo.releaseId;
  const std::wstring& recording = input.trackInfo.recordingId;
  if (release.empty() && recording.empty()) return false;
  if (record.albumInfo.releaseId.empty() && record.trackInfo.recordingId.empty()) return false;
  return !(!release.empty() && record.albumInfo.releaseId == release) &&
         !(!recording.empty() && record.trackInfo.recordingId == recording);
}

}  // namespace

StepOutcome CTagsSearchFlow::KnownResultsStep(const SongSearch& search, std::vector<SongInfo>& otherAlbums) {
  if (const auto end = search.Interrupted()) return *end;
  CNimbrelSong& song = search.Song();
  const SongInfo input = song.Input();
  std::vector<SongInfo> records;
  std::set<std::wstring> covered;
  CLocalTagsCache& cache = CLocalTagsCache::Instance();
  cache.FindBasicResults(input.albumInfo.artist, input.trackInfo.title, records, covered);
  if (input.albumInfo.HasAlbum()) {
    cache.FindBasicResults(input.albumInfo.artist, input.trackInfo.title, records, covered, input.albumInfo.album);
  }
  // A song that names its album is answered from here only by records of
  // that album: the sources found the title on another one too (a deluxe
  // edition, a live album), and asked with the album they can tell which. A
  // source that gave only records of other albums is asked again; those
  // records stay the answer should the sources find nothing. A source's
  // remembered "not found" still holds, whatever the album.
  std::vector<SongInfo> others = TakeOtherAlbums(records, input.albumInfo.album);
  // Likewise records of another take (their length does not fit the
  // song's) and of other ids than the song names.
  std::erase_if(records, [&](const SongInfo& record) {
    if (engines::LengthFits(input.trackInfo.lengthMs, record.trackInfo.lengthMs) && !OfOtherIds(input, record)) {
      return false;
    }
    others.push_back(record);
    return true;
  });
  for (const SongInfo& other : others) {
    const bool ownToo = std::any_of(records.begin(), records.end(),
                                    [&](const SongInfo& record) { return record.source == other.source; });
    if (!ownToo) covered.erase(other.source);
  }
  if (records.empty()) otherAlbums = std::move(others);
  if (const auto end = AddKnownRecords(search, records)) return *end;
  for (const std::wstring& name : covered) song.MarkSearched(name);
  if (!search.Loaded().empty() && search.AllLoadedAmong(covered)) return StepOutcome::kCovered;
  return search.Failed() ? StepOutcome::kNotFound : StepOutcome::kFound;
}

std::optional<StepOutcome> CTagsSearchFlow::AddKnownRecords(const SongSearch& search,
                                                            const std::vector<SongInfo>& records) {
  CNimbrelSong& song = search.Song();
  // Records complete with their cover first; the others only when needed.
  for (const SongInfo& record : records) {
    if (const auto end = search.Interrupted()) return end;
    if (!record.coverInfo.coverUrl.empty() && !record.coverInfo.coverFile.empty()) song.AddCandidate(record);
  }
  if (!search.Failed()) return std::nullopt;
  for (SongInfo record : records) {
    if (const auto end = search.Interrupted()) return end;
    if (search.Options().SearchCover && !record.coverInfo.coverUrl.empty() && record.coverInfo.coverFile.empty()) {
      record.coverInfo.coverFile = FetchCover(record);
      if (const auto end = search.Interrupted()) return end;
    }
    song.AddCandidate(record);
  }
  return std::nullopt;
}

StepOutcome CTagsSearchFlow::MusicbrainzStep(const SongSearch& search) {
  if (const auto end = search.Interrupted()) return *end;
  CNimbrelSong& song = search.Song();
  if (!song.SearchedSources().count(kMusicbrainz)) {
    SourceUse use(kSourceGeneral, kMusicbrainz);
    if (use.Held()) {
      song.MarkSearched(kMusicbrainz);
      SearchBasicSource(search.Id(), kMusicbrainz);
    }
  }
  return search.Outcome();
}

std::int32_t CTagsSearchFlow::LookupServer(std::uint32_t songId, const SongInfo& input, SongInfo& record,
                                           std::vector<std::wstring>& sourceNames, bool searcher) {
  SongLookupStop stop(context_, songId);
  return CNimbrelServerCache::Instance().LookupWithRetry(input.albumInfo.artist, input.trackInfo.title, record,
                                                         sourceNames, searcher, &stop);
}

StepOutcome CTagsSearchFlow::ServerCacheStep(const SongSearch& search) {
  if (const auto end = search.Interrupted()) return *end;
  CNimbrelSong& song = search.Song();
  const SongInfo input = song.Input();
  // A fresh record: the answer must not carry the file's own values (its
  // picture above all) into a candidate.
  SongInfo record;
  std::vector<std::wstring> named;
  const std::int32_t status = LookupServer(search.Id(), input, record, named, true);
  CLocalTagsCache& cache = CLocalTagsCache::Instance();
  const std::wstring& artist = input.albumInfo.artist;
  const std::wstring& title = input.trackInfo.title;
  const std::set<std::wstring>& loaded = search.Loaded();

  switch (status) {
    case CNimbrelServerCache::kFound:
      ApplyServerRecord(search, record);
      break;
    case CNimbrelServerCache::kNothingKnown:
      return StepOutcome::kNotFound;
    case CNimbrelServerCache::kStillWorking:
      // The wait ended (its time, a stop or a removal): no source answered,
      // so none is recorded as having answered; the chain ends here.
      if (const auto end = search.Interrupted()) return *end;
      LogF(kInfo,
           L"CNimbrelCore::FindBasicTagsInServerCache: Waited for 5mins for cache. Abort BasicTagsSearch! "
           L"artist:%s, title:%s",
           artist, title);
      return StepOutcome::kGivenUp;
    case CNimbrelServerCache::kSkipSearch:
      for (const std::wstring& name : loaded) {
        song.MarkSearched(name);
        cache.AddBasicResult(artist, title, name, SongInfo(), false);
      }
      return StepOutcome::kCovered;
    case CNimbrelServerCache::kUseSources: {
      if (search.Options().SuccessCriterion != 0) return StepOutcome::kNotFound;
      std::set<std::wstring> answered;
      for (const std::wstring& name : named) {
        if (!loaded.count(name) || !answered.insert(name).second) continue;
        song.MarkSearched(name);
        cache.AddBasicResult(artist, title, name, record, false);
      }
      if (answered.size() < loaded.size()) return StepOutcome::kNotFound;
      if (const auto end = search.Interrupted()) return *end;
      CNimbrelServerCache::Instance().ReportFail(artist, title, L"");
      SongInfo again;
      named.clear();
      if (LookupServer(search.Id(), input, again, named, false) != CNimbrelServerCache::kFound) {
        return StepOutcome::kCovered;
      }
      ApplyServerRecord(search, again);
      break;
    }
    default:
      break;
  }
  return search.Outcome();
}

StepOutcome CTagsSearchFlow::AllSourcesStep(const SongSearch& search) {
  CDllSourcesManager& manager = CDllSourcesManager::Instance();
  CNimbrelSong& song = search.Song();
  StepOutcome outcome = search.Interrupted().value_or(StepOutcome::kNotFound);
  while (outcome == StepOutcome::kNotFound) {
    const std::set<std::wstring> searched = song.SearchedSources();
    const std::list<std::wstring> tried(searched.begin(), searched.end());
    bool exhausted = false;
    {
      SourcesInUse inUse;  // from taking the slot to giving it back
      CString name;
      if (manager.AcquireLeastBusySource(name, kSourceGeneral, tried)) {
        SourceUse use(kSourceGeneral, name.str(), true);
        song.MarkSearched(name.str());
        SearchBasicSource(search.Id(), name.str());
      } else {
        exhausted = true;
      }
    }
    if (exhausted) {
      // No untried source is left: tell the server and ask it once more.
      const SongInfo input = song.Input();
      CNimbrelServerCache::Instance().ReportFail(input.albumInfo.artist, input.trackInfo.title, L"");
      SongInfo record;
      std::vector<std::wstring> named;
      if (LookupServer(search.Id(), input, record, named, false) == CNimbrelServerCache::kFound) {
        ApplyServerRecord(search, record);
      }
      return StepOutcome::kNotFound;
    }
    outcome = search.Outcome();
  }
  return outcome;
}

void CTagsSearchFlow::ApplyServerRecord(const SongSearch& search, SongInfo record) {
  if (search.Removed()) return;
  if (search.Options().SearchCover && !record.coverInfo.coverUrl.empty()) {
    const std::wstring path = FetchCover(record);
    if (!path.empty()) record.coverInfo.coverFile = path;
  }
  if (search.Removed()) return;
  CNimbrelSong& song = search.Song();
  song.AddCandidate(record);
  song.MarkSearched(record.source);
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
