#include "threadpool/CountedJob.h"

#include <chrono>

#include "foundation/Masterlog.h"

void CJobCounters::JobCreated() {
  std::lock_guard<std::mutex> lock(pairLock);
  liveJobs.fetch_add(1);
  pendingJobs.fetch_add(1);
}

bool CJobCounters::ReleaseLive() {
  std::lock_guard<std::mutex> lock(pairLock);
  if (liveJobs.fetch_sub(1) == 1) return true;
  if (pendingJobs.fetch_sub(1) == 1) idle.notify_all();
  return false;
}

void CJobCounters::ReleasePending() {
  std::lock_guard<std::mutex> lock(pairLock);
  if (pendingJobs.fetch_sub(1) == 1) idle.notify_all();
}

bool CJobCounters::WaitUntilIdle(std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(pairLock);
  return idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return pendingJobs.load() == 0; });
}

void CJobCounters::ReportFinishFailure() {
  LogF(10, L"CJobCounters::JobDestroyed: the finishing step ended with an exception");
}
