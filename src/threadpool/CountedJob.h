// Jobs counted per owner, and the owner's finishing step that runs when the
// last of its jobs goes away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "threadpool/ThreadPool.h"

// The job counters of one owner (one tagging object, say). Each owner keeps
// its own, so that its finishing step is driven by its own jobs only: with
// two owners, each one's run ends, and is finished, on its own.
// liveJobs: jobs created and not yet destroyed. pendingJobs: the same, except
// that the last job of a run leaves it only after its finishing step, so a
// finishing step reads 1 when no other job of the owner exists.
// The counters must outlive every job counted on them.
class CJobCounters {
 public:
  CJobCounters() = default;
  CJobCounters(const CJobCounters&) = delete;
  CJobCounters& operator=(const CJobCounters&) = delete;

  std::int32_t LiveJobs() const { return liveJobs.load(); }
  std::int32_t PendingJobs() const { return pendingJobs.load(); }

  void JobCreated();
  // Counts a job out. When it was the last live job, calls `finished` first
  // (on this thread, with no lock held; an exception is logged and dropped).
  template <class Finish>
  void JobDestroyed(Finish&& finished) {
    if (!ReleaseLive()) return;
    try {
      finished();
    } catch (...) {
      ReportFinishFailure();
    }
    ReleasePending();
  }
  // Waits until no job is pending (the last finishing step included), at
  // most `timeoutMs` milliseconds; true when none is.
  bool WaitUntilIdle(std::uint32_t timeoutMs);

 private:
  // Decrements liveJobs, and pendingJobs too unless this was the last live
  // job; true when it was. Both change under one lock, so a finishing step
  // never sees a job that is already gone from liveJobs still pending.
  bool ReleaseLive();
  void ReleasePending();
  static void ReportFinishFailure();

  std::mutex pairLock;
  std::condition_variable idle;
  std::atomic<std::int32_t> liveJobs{0};
  std::atomic<std::int32_t> pendingJobs{0};
};

// Base of a job that counts itself on its owner's counters from construction
// to destruction and, when it is the owner's last live job, calls `finished`
// on `owner` as it goes away: whether it ran or was dropped by
// CThreadPool::Stop. A derived job keeps what it needs for Run, e.g.
//   class Owner::SearchJob : public CCountedJob<Owner> {
//     SearchJob(std::uint32_t id, Owner* o, bool (Owner::*s)(std::uint32_t), FinishStep f)
//         : CCountedJob(o, f, o->counters), songId(id), search(s) {}
//     void Run() override { (owner->*search)(songId); }
//     ...
template <class Owner>
class CCountedJob : public CThreadPool::WorkerThread {
 public:
  using FinishStep = void (Owner::*)();

  ~CCountedJob() override {
    counters.JobDestroyed([this] {
      if (owner && finished) (owner->*finished)();
    });
  }

 protected:
  CCountedJob(Owner* owner, FinishStep finished, CJobCounters& counters)
      : owner(owner), finished(finished), counters(counters) {
    counters.JobCreated();
  }

  Owner* const owner;
  const FinishStep finished;
  CJobCounters& counters;
};
