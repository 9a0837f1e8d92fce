// Jobs counted process-wide, and the finishing step that runs when the last
// of them goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "threadpool/ThreadPool.h"

// The two process-wide job counters, shared by every pool and owner.
// liveJobs: jobs created and not yet destroyed. pendingJobs: the same, except
// that the last job of a run leaves it only after its finishing step, so a
// finishing step reads 1 when no other job exists.
class CJobCounters {
 public:
  static std::int32_t LiveJobs() { return liveJobs.load(); }
  static std::int32_t PendingJobs() { return pendingJobs.load(); }

  static void JobCreated();
  // Counts a job out. When it was the last live job, calls `finished` first
  // (on this thread, with no lock held; an exception is logged and dropped).
  template <class Finish>
  static void JobDestroyed(Finish&& finished) {
    if (!ReleaseLive()) return;
    try {
      finished();
    } catch (...) {
      ReportFinishFailure();
    }
    pendingJobs.fetch_sub(1);
  }

 private:
  // Decrements liveJobs, and pendingJobs too unless this was the last live
  // job; true when it was. Both change under one lock, so a finishing step
  // never sees a job that is already gone from liveJobs still pending.
  static bool ReleaseLive();
  static void ReportFinishFailure();

  static std::mutex pairLock;
  static std::atomic<std::int32_t> liveJobs;
  static std::atomic<std::int32_t> pendingJobs;
};

// Base of a job that counts itself from construction to destruction and,
// when it is the last live job of the process, calls `finished` on `owner`
// as it goes away: whether it ran or was dropped by CThreadPool::Stop.
// A derived job keeps what it needs for Run, e.g.
//   class Owner::SearchJob : public CCountedJob<Owner> {
//     SearchJob(std::uint32_t id, Owner* o, bool (Owner::*s)(std::uint32_t), FinishStep f)
//         : CCountedJob(o, f), songId(id), search(s) {}
//     void Run() override { (owner->*search)(songId); }
//     ...
template <class Owner>
class CCountedJob : public CThreadPool::WorkerThread {
 public:
  using FinishStep = void (Owner::*)();

  ~CCountedJob() override {
    CJobCounters::JobDestroyed([this] {
      if (owner && finished) (owner->*finished)();
    });
  }

 protected:
  CCountedJob(Owner* owner, FinishStep finished) : owner(owner), finished(finished) {
    CJobCounters::JobCreated();
  }

  Owner* const owner;
  const FinishStep finished;
};
