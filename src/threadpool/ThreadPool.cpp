#include "threadpool/ThreadPool.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "foundation/Masterlog.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace {

// A job must not take its worker down with it.
void RunGuarded(CThreadPool::WorkerThread& job) {
  try {
    job.Run();
  } catch (const std::exception& e) {
    LogF(10, L"CThreadPool::WorkerMain: a job ended with an exception: %s", platform::FromUtf8(e.what()));
  } catch (...) {
    LogF(10, L"CThreadPool::WorkerMain: a job ended with an unknown exception");
  }
}

}  // namespace

CThreadPool::~CThreadPool() {
  {
    CSingleLock queue(&queueLock);
    closing = true;
  }
  Stop();
  // Idle workers end at once, busy ones after their job.
  noWorkers.Wait();
  std::list<std::unique_ptr<platform::Thread>> started;
  {
    CSingleLock lock(&handleLock);
    started.swap(handles);
  }
  started.clear();  // joins each thread
}

void CThreadPool::AddJob(WorkerThread* job, bool highPriority) {
  if (!job) return;
  JobPtr shared(job);  // outlives the lock below, so a refused job dies unlocked
  {
    CSingleLock queue(&queueLock);
    if (closing) return;
    if (highPriority) {
      jobs.push_front(std::move(shared));
    } else {
      jobs.push_back(std::move(shared));
    }
  }
  CSingleLock add(&addLock);
  CSingleLock idleGuard(&idleLock);
  if (!idle.empty()) {
    idle.front()->SetEvent();
    idle.pop_front();
    return;
  }
  if (static_cast<std::uint32_t>(threadCount.load()) < std::max(maxThreads.load(), 1u)) StartWorker();
}

void CThreadPool::StartWorker() {
  auto thread = std::make_unique<platform::Thread>();
  if (threadCount.fetch_add(1) == 0) noWorkers.ResetEvent();
  if (!thread->Start([this] { WorkerMain(); }, threadPriority.load())) {
    const int error = platform::LastError();
    // The job stays queued: a running worker or the next AddJob takes it.
    if (threadCount.fetch_sub(1) == 1) noWorkers.SetEvent();
    LogF(10, L"CThreadPool::AddJob: cannot start a worker thread: %s", ErrorText(error));
    return;
  }
  CSingleLock lock(&handleLock);
  ReapHandles();
  handles.push_back(std::move(thread));
}

void CThreadPool::WorkerMain() {
  CEvent wakeUp;  // automatic reset
  for (;;) {
    JobPtr job;
    bool stopping = false;
    {
      CSingleLock queue(&queueLock);
      if (!jobs.empty()) {
        job = std::move(jobs.front());
        jobs.pop_front();
      } else if (stopEvent.IsSignalled()) {
        stopping = true;
      } else {
        // Registered while the queue is still locked, so a job queued after
        // this look finds the worker idle and wakes it.
        CSingleLock idleGuard(&idleLock);
        idle.push_back(&wakeUp);
      }
    }
    if (job) {
      RunGuarded(*job);
      // Let go of the job before the worker may count itself out: its
      // destructor may call its owner, which waits for the workers to end.
      job.reset();
      if (stopEvent.IsSignalled() && Retire(wakeUp, false, false)) return;
      continue;
    }
    if (stopping) {
      if (Retire(wakeUp, false, false)) return;
      continue;
    }
    if (onIdleWaitBegins) onIdleWaitBegins();
    const bool woken = wakeUp.Wait(idleTimeout.load());
    if (onIdleWaitEnded) onIdleWaitEnded(!woken);
    if (Retire(wakeUp, true, !woken)) return;
  }
}

bool CThreadPool::Retire(CEvent& wakeUp, bool wasIdle, bool timedOut) {
  // Under the add lock no AddJob can pick this worker, and under the queue
  // lock no job can slip in unseen: a job queued after this decision finds
  // the count already lowered and starts a worker of its own.
  CSingleLock add(&addLock);
  CSingleLock queue(&queueLock);
  if (wasIdle) {
    CSingleLock idleGuard(&idleLock);
    const auto entry = std::find(idle.begin(), idle.end(), &wakeUp);
    if (entry == idle.end()) {
      // An AddJob chose this worker (maybe just as its wait timed out) and
      // counts on it to take the job.
      wakeUp.Wait(0);
      return false;
    }
    idle.erase(entry);
  }
  const bool stopping = stopEvent.IsSignalled();
  if (!jobs.empty()) {
    // Stop empties the queue under the queue lock as it signals, so these
    // jobs came after the stop. The last worker rearms the pool and runs
    // them rather than leaving them with no worker.
    if (!stopping) return false;
    if (threadCount.load() == 1) {
      stopEvent.ResetEvent();
      return false;
    }
  } else if (!stopping && !timedOut) {
    return false;
  }
  if (threadCount.fetch_sub(1) == 1) {
    stopEvent.ResetEvent();
    noWorkers.SetEvent();
  }
  return true;
}

void CThreadPool::Stop() {
  std::list<JobPtr> dropped;  // destroyed on return, after every lock is released
  CSingleLock count(&countLock);
  CSingleLock queue(&queueLock);
  if (threadCount.load() > 0) {
    stopEvent.SetEvent();
    CSingleLock idleGuard(&idleLock);
    for (CEvent* wakeUp : idle) wakeUp->SetEvent();
  }
  // Also with no worker alive: jobs left by a failed thread start go too.
  dropped.swap(jobs);
}

std::int32_t CThreadPool::ActiveThreadCount() {
  return std::min(threadCount.load(), static_cast<std::int32_t>(ReapHandles()));
}

bool CThreadPool::WaitUntilNoWorkers(std::uint32_t timeoutMs) { return noWorkers.Wait(timeoutMs); }

std::size_t CThreadPool::QueuedJobCount() {
  CSingleLock queue(&queueLock);
  return jobs.size();
}

std::size_t CThreadPool::ReapHandles() {
  CSingleLock lock(&handleLock);
  // Destroying an ended thread's object joins it, which is immediate.
  handles.remove_if([](const std::unique_ptr<platform::Thread>& thread) { return thread->HasEnded(); });
  return handles.size();
}
