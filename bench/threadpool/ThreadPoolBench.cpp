// Throughput of the worker pool: trivial counted jobs through eight workers,
// including starting the workers and tearing the pool down. Each iteration
// checks that no worker, queued job, thread or live job is left behind and
// aborts if one is.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "threadpool/CountedJob.h"
#include "threadpool/ThreadPool.h"

namespace {

struct BenchOwner {
  void Finish() { finishes.fetch_add(1); }
  std::atomic<int> finishes{0};
  CJobCounters counters;
};

class TrivialJob : public CCountedJob<BenchOwner> {
 public:
  TrivialJob(BenchOwner* owner, std::atomic<int>& left, CEvent& done)
      : CCountedJob(owner, &BenchOwner::Finish, owner->counters), left(left), done(done) {}
  void Run() override {
    if (left.fetch_sub(1) == 1) done.SetEvent();
  }

 private:
  std::atomic<int>& left;
  CEvent& done;
};

void BM_TrivialJobs(benchmark::State& state) {
  const int jobCount = static_cast<int>(state.range(0));
  long leftBehind = 0;
  long finishes = 0;
  for (auto _ : state) {
    BenchOwner owner;
    std::atomic<int> left{jobCount};
    CEvent done(false, true);
    {
      CThreadPool pool;
      pool.maxThreads = 8;
      for (int i = 0; i < jobCount; ++i) pool.AddJob(new TrivialJob(&owner, left, done), false);
      done.Wait();
      pool.Stop();
      pool.WaitUntilNoWorkers();
      leftBehind += pool.ThreadCount() + static_cast<long>(pool.QueuedJobCount());
    }
    leftBehind += platform::Thread::LiveCount() + owner.counters.LiveJobs() + owner.counters.PendingJobs();
    finishes += owner.finishes.load();
    if (leftBehind != 0 || owner.finishes.load() < 1) {
      std::fprintf(stderr, "thread_pool_bench: %ld workers, jobs or threads left behind, %d finishing steps\n",
                   leftBehind, owner.finishes.load());
      std::abort();
    }
  }
  state.SetItemsProcessed(state.iterations() * jobCount);
  state.counters["jobs_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * jobCount,
                                                    benchmark::Counter::kIsRate);
  state.counters["left_behind"] = static_cast<double>(leftBehind);
  state.counters["finishes_per_iter"] = static_cast<double>(finishes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TrivialJobs)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
