// The tagging object a host obtains from NewNimbrelInstance: the songs under
// tagging, one worker pool for basic-tags searches and one for lyrics, the
// registers of the engines searching for it (so that a stop reaches them),
// and the end of a run (completing open songs, making the songs of one album
// agree).
//
// Every interface operation may be called from any host thread; each runs
// under the library's module state and lets no exception out (a failure is
// logged and reported as 0, false or nothing). AddSong and StopTagging
// exclude each other. The song map is locked on its own and re-entrant for
// the thread holding it; songs are handed out as shared pointers, so a song
// stays valid for a running search even after the host removed it.
//
// Runs and jobs: every accepted song gets one job per wanted search. The
// object counts its own jobs (not the process's): when its last job goes
// away, run or dropped by a stop, its finishing step runs exactly once, on
// that job's thread. GetPendingJobCount therefore tells the jobs of this
// object only. Song ids come from one process-wide counter and are never 0,
// so two objects never hand out the same id.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/EngineRegister.h"
#include "core/NimbrelSong.h"
#include "core/SearchContext.h"
#include "nimbrel/INimbrel.h"
#include "nimbrel/NimbrelSettings.h"
#include "platform/CriticalSection.h"
#include "threadpool/CountedJob.h"
#include "threadpool/ThreadPool.h"

class CBasicTagsCommonSearchEngine;
class CLyricsCommonSearchEngine;

class CNimbrelCore final : public INimbrel, public ISearchContext {
 public:
  // What a job searches for.
  enum class SearchKind { kBasicTags, kLyrics };

  CNimbrelCore();
  // Stops the run, waits until no worker of either pool is left (the
  // finishing step of the stopped run included), then frees everything.
  ~CNimbrelCore() override;
  CNimbrelCore(const CNimbrelCore&) = delete;
  CNimbrelCore& operator=(const CNimbrelCore&) = delete;

  // INimbrel.
  void SetOptions(const NimbrelOptions& options) override;
  // 0 when refused: a stop still in force (jobs of the stopped run still
  // pending), all three searches off, or no artist or title (blank counts as
  // missing). The first call waits for a running plug-in update and sizes
  // the pools by the loaded plug-ins.
  unsigned AddSong(Meridex::CTags& tags, bool highPriority) override;
  void RemoveSong(unsigned songId) override;
  bool GetSongTags(unsigned songId, Meridex::CTags& out, bool removeSong) override;
  bool GetSongResults(unsigned songId, std::vector<Meridex::CTags>& out, bool removeSong) override;
  void StopTagging() override;
  // Jobs of this object not yet gone (the one whose finishing step runs
  // counts until that step is over).
  unsigned GetPendingJobCount() override;
  // Serves the host and the searches alike (ISearchContext::GetCover).
  bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath, bool abortable,
                bool thumbnail) override;
  unsigned GetFinishedSongs(const std::vector<unsigned>& ids, std::vector<unsigned>& finished) override;

  // ISearchContext.
  boost::shared_ptr<CNimbrelSong> FindSong(std::uint32_t songId) override;
  bool StopRequested() const override { return stopRequested_.load(); }
  NimbrelOptions Options() const override;
  CEngineRegister<CBasicTagsCommonSearchEngine>& BasicEngines() override { return basicEngines_; }
  CEngineRegister<CLyricsCommonSearchEngine>& LyricsEngines() override { return lyricsEngines_; }

  // What the jobs call: one search of one song (never throws), the end of a
  // song's part (run or dropped), and the finishing step of a run, called by
  // the destruction of the object's last live job.
  void RunSearch(SearchKind kind, std::uint32_t songId);
  void EndSongPart(SearchKind kind, CNimbrelSong& song);
  void NimbrelingFinished();
  CJobCounters& JobCounters() { return counters_; }

  // For diagnostics and tests: how often this object's finishing step has
  // run, and how many of its songs were finished (each exactly once).
  int FinishingSteps() const { return finishingSteps_.load(); }
  int SongsFinished() const { return songsFinished_.load(); }

  // Test seam: the id the next accepted song of any object gets (0 is
  // skipped as always).
  static void SetNextSongIdForTest(std::uint32_t next);

 private:
  using SongPtr = boost::shared_ptr<CNimbrelSong>;

  // Waits for the plug-in update, then sizes both pools. Under lock_.
  void LazyStart();
  // Looks the song up and, with `remove`, erases it in the same step; null
  // when absent or, with `onlyDone`, not finished (then it is not erased).
  SongPtr TakeSong(std::uint32_t songId, bool onlyDone, bool remove);
  // Makes the songs of one album of one artist agree on album, genre, year
  // and cover. Under songsLock_.
  void HarmoniseAlbums(const NimbrelOptions& options);
  static std::uint32_t NextSongId();

  // Declared first: the jobs count on them and go with the pools (last
  // members), so everything a job's end touches outlives the pools.
  CJobCounters counters_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> finishingSteps_{0};
  std::atomic<int> songsFinished_{0};
  std::atomic<std::uint32_t> stopTick_{0};
  mutable std::mutex optionsLock_;
  NimbrelOptions options_;
  // Under songsLock_ (re-entrant: the finishing step may run inside StopTagging).
  CCriticalSection songsLock_;
  std::map<std::uint32_t, SongPtr> songs_;
  // The songs added since the last finishing step that completed a run.
  std::vector<std::uint32_t> runSongs_;
  // The album groups (upper-case album and artist of the result) of the
  // finished songs still held, as the finishing steps found them.
  using AlbumKey = std::pair<std::wstring, std::wstring>;
  std::map<AlbumKey, std::set<std::uint32_t>> albumGroups_;
  std::map<std::uint32_t, AlbumKey> groupOf_;
  CCriticalSection lock_;  // serialises AddSong and StopTagging
  bool started_ = false;   // under lock_
  CEngineRegister<CBasicTagsCommonSearchEngine> basicEngines_;
  CEngineRegister<CLyricsCommonSearchEngine> lyricsEngines_;
  CThreadPool basicPool_;
  CThreadPool lyricsPool_;
};
