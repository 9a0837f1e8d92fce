// A small pool of worker threads with a job queue.
//
// Workers are started on demand up to `maxThreads`. A worker that finds no
// work parks on a wake-up event of its own for `idleTimeout` milliseconds
// and then ends, so bursts of work reuse threads while a quiet pool holds
// none. `Stop` drops the queued jobs and lets every worker end after its
// current job; the last worker to end rearms the pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include <boost/shared_ptr.hpp>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"

class CThreadPool {
 public:
  // One unit of work. The pool owns it from AddJob on and destroys it once
  // it has run or been dropped by Stop, never while holding a pool lock, so
  // destructors may call back into the pool or take other locks.
  class WorkerThread {
   public:
    virtual void Run() = 0;
    virtual ~WorkerThread() = default;
  };

  CThreadPool() = default;
  // Stops the pool, waits until every worker has ended and joins each
  // thread started: nothing of the pool runs afterwards. Jobs added from
  // here on (say by the end of a dropped job) are destroyed, not run.
  // Must not run on one of the pool's own workers (it would wait for itself).
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Settings the owner writes before adding jobs. A maxThreads of 0 acts as 1.
  std::atomic<std::uint32_t> maxThreads{1};
  // Milliseconds a worker waits for work before it ends.
  std::atomic<std::uint32_t> idleTimeout{500};
  // Priority of new workers, in Win32 terms (0 normal, -1 below normal).
  std::atomic<int> threadPriority{platform::kThreadPriorityNormal};

  // Queues `job` (taking ownership; null is ignored): at the front when
  // `highPriority`, else at the back. Then wakes an idle worker, or starts
  // one when fewer than maxThreads are alive. If the system refuses a new
  // thread, the job stays queued for a running worker or the next AddJob.
  void AddJob(WorkerThread* job, bool highPriority);
  // Destroys every queued job and makes each worker end after its current
  // job (idle workers at once); running jobs are not interrupted. Jobs added
  // afterwards still run.
  void Stop();
  // Workers alive (started and not yet ended).
  std::int32_t ThreadCount() const { return threadCount.load(); }
  // The smaller of ThreadCount() and the threads not yet ended (after reaping).
  std::int32_t ActiveThreadCount();
  // Waits until no worker is alive, at most `timeoutMs`; true when none is.
  // A worker counts as ended once it has let go of its last job.
  bool WaitUntilNoWorkers(std::uint32_t timeoutMs = platform::kInfinite);
  // Jobs waiting in the queue.
  std::size_t QueuedJobCount();
  // Joins and forgets the threads that have ended; returns how many remain.
  std::size_t ReapHandles();

  // Test seam, set before the first job: called on a worker whenever its
  // idle wait ends (true: timed out), before it decides whether to end.
  std::function<void(bool timedOut)> onIdleWaitEnded;
  // Test seam, set before the first job: called on a worker just before it
  // begins an idle wait (registered as idle, so Stop must wake it).
  std::function<void()> onIdleWaitBegins;

 private:
  using JobPtr = boost::shared_ptr<WorkerThread>;

  // Worker thread body.
  void WorkerMain();
  // Decides, under the add lock, whether a worker that has no job to hand
  // ends. `wasIdle`: it had registered `wakeUp` in the idle list. False
  // means it must look for a job again.
  bool Retire(CEvent& wakeUp, bool wasIdle, bool timedOut);
  // Starts one worker; the add lock must be held.
  void StartWorker();

  // Changed only under the add lock.
  std::atomic<std::int32_t> threadCount{0};
  // Manual reset: set while a stop is in force, reset by the last worker.
  CEvent stopEvent{false, true};
  // Lock order: countLock, addLock, queueLock, idleLock, handleLock.
  CCriticalSection countLock;  // serialises Stop
  CCriticalSection addLock;    // serialises AddJob and a worker's decision to end
  CCriticalSection queueLock;
  std::list<JobPtr> jobs;      // front = next
  bool closing = false;        // under queueLock: the destructor has begun
  CCriticalSection idleLock;
  std::list<CEvent*> idle;     // wake-up events of waiting workers, first = longest waiting
  CCriticalSection handleLock;
  std::list<std::unique_ptr<platform::Thread>> handles;
  // Manual reset: set while threadCount is 0; changed under the add lock.
  CEvent noWorkers{true, true};
};
