#include "threadpool/CountedJob.h"

#include "foundation/Masterlog.h"

constinit std::mutex CJobCounters::pairLock;
constinit std::atomic<std::int32_t> CJobCounters::liveJobs{0};
constinit std::atomic<std::int32_t> CJobCounters::pendingJobs{0};

void CJobCounters::JobCreated() {
  std::lock_guard<std::mutex> lock(pairLock);
  liveJobs.fetch_add(1);
  pendingJobs.fetch_add(1);
}

bool CJobCounters::ReleaseLive() {
  std::lock_guard<std::mutex> lock(pairLock);
  if (liveJobs.fetch_sub(1) == 1) return true;
  pendingJobs.fetch_sub(1);
  return false;
}

void CJobCounters::ReportFinishFailure() {
  LogF(10, L"CJobCounters::JobDestroyed: the finishing step ended with an exception");
}
