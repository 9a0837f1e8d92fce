#include "core/NimbrelCore.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <utility>

#include "config/NimbrelConfig.h"
#include "core/AlbumHarmoniser.h"
#include "core/CoverRetriever.h"
#include "core/TagsSearchFlow.h"
#include "core/TagsSearchJob.h"
#include "core/TagsWriter.h"
#include "core/SongValue.h"
#include "covers/CoverCache.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/LyricsCommonSearchEngine.h"
#include "foundation/Guarded.h"
#include "foundation/Masterlog.h"
#include "meridex/Tags.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"
#include "sources/DllSourcesManager.h"

using nimbrel::Guarded;
using Nimbrel::SongInfo;

namespace {

using song_value::IsSet;

constexpr int kInfo = 30;
constexpr int kDebug = 40;
constexpr std::uint32_t kWorkersPerSource = 8;
constexpr std::uint32_t kIdleTimeoutMs = 5000;

// The next song id of the process, shared by every tagging object.
std::atomic<std::uint32_t> nextSongId{1};

bool IsBlank(const CString& text) {
  for (wchar_t c : text.str()) {
    if (!nimbrel::IsSpace(c)) return false;
  }
  return true;
}


std::wstring Upper(const std::wstring& text) {
  CString upper(text);
  upper.MakeUpper();
  return upper.str();
}

}  // namespace

CNimbrelCore::CNimbrelCore() = default;

CNimbrelCore::~CNimbrelCore() {
  Guarded(L"CNimbrelCore::~CNimbrelCore", [&] {
    StopTagging();
    // The last worker to let go of its job has run the finishing step by then.
    lyricsPool_.WaitUntilNoWorkers();
    basicPool_.WaitUntilNoWorkers();
    LogF(kDebug, L"CNimbrelCore::~CNimbrelCore: ~CNimbrelCore()");
  });
}

void CNimbrelCore::SetOptions(const NimbrelOptions& options) {
  Guarded(L"CNimbrelCore::SetOptions", [&] {
    std::lock_guard<std::mutex> hold(optionsLock_);
    options_ = options;
  });
}

NimbrelOptions CNimbrelCore::Options() const {
  std::lock_guard<std::mutex> hold(optionsLock_);
  return options_;
}

std::uint32_t CNimbrelCore::NextSongId() {
  for (;;) {
    const std::uint32_t id = nextSongId.fetch_add(1);
    if (id != 0) return id;
  }
}

void CNimbrelCore::SetNextSongIdForTest(std::uint32_t next) { nextSongId.store(next); }

void CNimbrelCore::LazyStart() {
  CNimbrelConfig::Instance().updateFinished.Wait();
  started_ = true;
  CDllSourcesManager& sources = CDllSourcesManager::Instance();
  const auto workers = [](std::size_t sourceCount) {
    return sourceCount == 0 ? 1u : kWorkersPerSource * static_cast<std::uint32_t>(sourceCount);
  };
  basicPool_.maxThreads = workers(sources.GetSourceCount(kSourceGeneral));
  lyricsPool_.maxThreads = workers(sources.GetSourceCount(kSourceLyrics));
  for (CThreadPool* pool : {&basicPool_, &lyricsPool_}) {
    pool->idleTimeout = kIdleTimeoutMs;
    pool->threadPriority = platform::kThreadPriorityBelowNormal;
  }
}

unsigned CNimbrelCore::AddSong(Meridex::CTags& tags, bool highPriority) {
  unsigned accepted = 0;
  Guarded(L"CNimbrelCore::AddSong", [&] {
    CSingleLock hold(&lock_);
    if (stopRequested_.load() && counters_.PendingJobs() == 0) stopRequested_.store(false);
    if (!started_) LazyStart();
    if (stopRequested_.load()) return;
    const NimbrelOptions options = Options();
    const bool basic = options.SearchBasicTags || options.SearchCover;
    if (!basic && !options.SearchLyrics) return;
    CString artist, title;
    tags.GetFirstValidArtist(artist);
    tags.GetTitle(title);
    if (IsBlank(artist) || IsBlank(title)) return;

    // Ready before anyone can see it: a finishing step that completes open
    // songs must never meet a song without its input or without its jobs.
    auto song = boost::make_shared<CNimbrelSong>();
    song->Init(tags, CCoverCache::Instance().TempFolder());
    if (!basic) EndSongPart(SearchKind::kBasicTags, *song);
    if (!options.SearchLyrics) EndSongPart(SearchKind::kLyrics, *song);
    const std::uint32_t id = NextSongId();
    {
      CSingleLock map(&songsLock_);
      songs_[id] = song;
      runSongs_.push_back(id);
      if (basic) basicPool_.AddJob(new TagsSearchJob(this, id, song, SearchKind::kBasicTags), highPriority);
      if (options.SearchLyrics) lyricsPool_.AddJob(new TagsSearchJob(this, id, song, SearchKind::kLyrics), highPriority);
    }
    LogF(kInfo, L"CNimbrelCore::AddSong: %s - %s", artist, title);
    accepted = id;
  });
  return accepted;
}

CNimbrelCore::SongPtr CNimbrelCore::TakeSong(std::uint32_t songId, bool onlyDone, bool remove) {
  CSingleLock map(&songsLock_);
  auto found = songs_.find(songId);
  if (found == songs_.end()) return SongPtr();
  SongPtr song = found->second;
  if (onlyDone && !song->IsDone()) return SongPtr();
  if (remove) {
    songs_.erase(found);
    auto grouped = groupOf_.find(songId);
    if (grouped != groupOf_.end()) {
      auto group = albumGroups_.find(grouped->second);
      if (group != albumGroups_.end() && group->second.erase(songId) && group->second.empty()) albumGroups_.erase(group);
      groupOf_.erase(grouped);
    }
  }
  return song;
}

boost::shared_ptr<CNimbrelSong> CNimbrelCore::FindSong(std::uint32_t songId) {
  return TakeSong(songId, false, false);
}

void CNimbrelCore::RemoveSong(unsigned songId) {
  Guarded(L"CNimbrelCore::RemoveSong", [&] { TakeSong(songId, false, true); });
}

bool CNimbrelCore::GetSongTags(unsigned songId, Meridex::CTags& out, bool removeSong) {
  bool written = false;
  Guarded(L"CNimbrelCore::GetSongTags", [&] {
    // Taken out of the map in the same step that finds it, so only one
    // caller gets a song that is being removed.
    const SongPtr song = TakeSong(songId, true, removeSong);
    if (!song) return;
    Meridex::CTags tags;
    CTagsWriter::WriteResult(*song, tags);
    out = std::move(tags);
    written = true;
  });
  return written;
}

bool CNimbrelCore::GetSongResults(unsigned songId, std::vector<Meridex::CTags>& out, bool removeSong) {
  bool written = false;
  Guarded(L"CNimbrelCore::GetSongResults", [&] {
    const SongPtr song = TakeSong(songId, true, removeSong);
    if (!song) return;
    std::vector<Meridex::CTags> results;
    for (const SongInfo& candidate : song->Candidates()) {
      results.emplace_back(song->TempFolder());
      CTagsWriter::WriteCandidate(candidate, results.back());
    }
    for (std::size_t i = 0; i < song->LyricsCandidateCount(); ++i) {
      const Nimbrel::LyricsInfo lyrics = song->GetLyricsCandidate(i);
      results.emplace_back(song->TempFolder());
      results.back().SetLyrics(CString(lyrics.lyrics));
      results.back().SetSource(CString(lyrics.source));
    }
    out = std::move(results);
    written = true;
  });
  return written;
}

unsigned CNimbrelCore::GetPendingJobCount() {
  unsigned pending = 0;
  Guarded(L"CNimbrelCore::GetPendingJobCount",
          [&] { pending = static_cast<unsigned>(std::max(counters_.PendingJobs(), 0)); });
  return pending;
}

unsigned CNimbrelCore::GetFinishedSongs(const std::vector<unsigned>& ids, std::vector<unsigned>& finished) {
  unsigned count = 0;
  Guarded(L"CNimbrelCore::GetFinishedSongs", [&] {
    std::vector<unsigned> done;
    {
      CSingleLock map(&songsLock_);
      for (unsigned id : ids) {
        auto found = songs_.find(id);
        if (found != songs_.end() && found->second->IsDone()) done.push_back(id);
      }
    }
    count = static_cast<unsigned>(done.size());
    finished = std::move(done);
  });
  return count;
}

bool CNimbrelCore::GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath,
                            bool abortable, bool thumbnail) {
  bool found = false;
  Guarded(L"CNimbrelCore::GetCover",
          [&] { found = CCoverRetriever(*this).GetCover(artist, album, asin, outPath, abortable, thumbnail); });
  return found;
}

void CNimbrelCore::StopTagging() {
  Guarded(L"CNimbrelCore::StopTagging", [&] {
    CSingleLock hold(&lock_);
    stopTick_.store(platform::Env::Current()->TickCount());
    stopRequested_.store(true);
    LogF(kInfo, L"CNimbrelCore::StopTagging: StopTagging triggered");
    basicPool_.Stop();
    basicEngines_.StopAll();
    lyricsPool_.Stop();
    lyricsEngines_.StopAll();
  });
}

void CNimbrelCore::RunSearch(SearchKind kind, std::uint32_t songId) {
  Guarded(L"CNimbrelCore::RunSearch", [&] {
    CTagsSearchFlow flow(*this);
    if (kind == SearchKind::kBasicTags) {
      flow.SearchBasicTags(songId);
    } else {
      flow.SearchLyrics(songId);
    }
  });
}

void CNimbrelCore::EndSongPart(SearchKind kind, CNimbrelSong& song) {
  Guarded(L"CNimbrelCore::EndSongPart", [&] {
    const int policy = Options().OverwritePolicy;
    const bool finished =
        kind == SearchKind::kBasicTags ? song.EndBasicPart(policy) : song.EndLyricsPart(policy);
    if (finished) songsFinished_.fetch_add(1);
  });
}

void CNimbrelCore::NimbrelingFinished() {
  Guarded(L"CNimbrelCore::NimbrelingFinished", [&] {
    finishingSteps_.fetch_add(1);
    {
      // Under the map's lock: AddSong publishes a song and counts its jobs
      // under it too, so a song seen here is either of this run or counted.
      CSingleLock map(&songsLock_);
      if (counters_.PendingJobs() == 1) {
        LogF(kInfo, L"CNimbrelCore::NimbrelingFinished: Nimbreling finished.");
        const NimbrelOptions options = Options();
        // Songs of earlier runs were completed when those ended.
        for (std::uint32_t id : runSongs_) {
          auto found = songs_.find(id);
          if (found != songs_.end() && !found->second->IsDone() && found->second->Complete(options.OverwritePolicy)) {
            songsFinished_.fetch_add(1);
          }
        }
        HarmoniseAlbums(options);
        runSongs_.clear();
      }
    }
    if (stopRequested_.load()) {
      const std::uint32_t took = platform::Env::Current()->TickCount() - stopTick_.load();
      LogF(kInfo, L"CNimbrelCore::NimbrelingFinished: Nimbrel took %u ms to stop.", took);
      stopRequested_.store(false);
    }
  });
}

void CNimbrelCore::HarmoniseAlbums(const NimbrelOptions& options) {
  // Songs join the album groups when their run ends, grouped by album and
  // artist of their results. A song whose album stayed unknown belongs to no
  // album: grouping those would give every such song of an artist one cover,
  // genre and year. Only the groups this run's songs joined are made to
  // agree again (the others have not changed since), so a run's end costs
  // its own songs and their albums, not every song the object holds.
  std::set<AlbumKey> touched;
  for (std::uint32_t id : runSongs_) {
    auto found = songs_.find(id);
    if (found == songs_.end() || groupOf_.count(id)) continue;
    const SongInfo result = found->second->Result();
    if (!IsSet(result.albumInfo.album) || Upper(result.albumInfo.album) == Upper(Nimbrel::AlbumInfo::kUnknown)) {
      continue;
    }
    const AlbumKey key{Upper(result.albumInfo.album), Upper(result.albumInfo.artist)};
    groupOf_[id] = key;
    albumGroups_[key].insert(id);
    touched.insert(key);
  }

  for (const AlbumKey& key : touched) {
    std::vector<SongPtr> members;
    for (std::uint32_t id : albumGroups_[key]) {  // in id order
      auto found = songs_.find(id);
      if (found != songs_.end()) members.push_back(found->second);
    }
    CAlbumHarmoniser::Harmonise(members, options.SearchBasicTags, options.SearchCover, options.OverwritePolicy);
  }
}
