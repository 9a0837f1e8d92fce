#include "threadpool/ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "threadpool/CountedJob.h"

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kLimitMs = 60000;  // only bounds a hung test

// What the jobs of a test did. Also the owner whose finishing step runs
// when the last counted job goes away.
struct Journal {
  template <class Change>
  void Note(Change change) {
    std::lock_guard<std::mutex> lock(mutex);
    change();
    changed.notify_all();
  }
  template <class Done>
  bool WaitFor(Done done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(kLimitMs), done);
  }
  void Finish() {
    Note([&] {
      ++finishes;
      pendingAtFinish.push_back(counters.PendingJobs());
      finishedAt = std::chrono::steady_clock::now();
    });
    if (onFinish) onFinish();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> ran;
  int running = 0, mostRunning = 0, destroyed = 0, finishes = 0;
  std::vector<int> pendingAtFinish;
  std::chrono::steady_clock::time_point finishedAt;
  std::function<void()> onFinish;
  CJobCounters counters;
};

// A counted job that notes its run and its end; it may signal `started` and
// then hold its worker until `gate` is set.
class TestJob : public CCountedJob<Journal> {
 public:
  TestJob(Journal* journal, int id, CEvent* started = nullptr, CEvent* gate = nullptr)
      : CCountedJob(journal, &Journal::Finish, journal->counters), id(id), started(started), gate(gate) {}
  ~TestJob() override {
    owner->Note([&] { ++owner->destroyed; });
  }
  void Run() override {
    owner->Note([&] { owner->mostRunning = std::max(owner->mostRunning, ++owner->running); });
    if (started) started->SetEvent();
    if (gate) gate->Wait();
    owner->Note([&] {
      --owner->running;
      owner->ran.push_back(id);
    });
  }

 private:
  const int id;
  CEvent* started;
  CEvent* gate;
};

// An uncounted job that signals `started` and waits for `gate`.
class BlockingJob : public CThreadPool::WorkerThread {
 public:
  BlockingJob(CEvent& started, CEvent& gate) : started(started), gate(gate) {}
  void Run() override {
    started.SetEvent();
    gate.Wait();
  }

 private:
  CEvent& started;
  CEvent& gate;
};

class ThreadPoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(journal.counters.LiveJobs(), 0);
    EXPECT_EQ(journal.counters.PendingJobs(), 0);
  }
  Journal journal;
  CEvent started;
  CEvent gate{false, true};
};

}  // namespace

// One worker runs the jobs in queue order, a high-priority one first. When
// its idle wait times out, an AddJob may pick it as idle before it counts
// itself out: it must take that job, not end and strand it. Only a time-out
// with no job in sight ends it.
TEST_F(ThreadPoolTest, OneWorkerRunsJobsInOrderAndEndsOnlyWhenIdleTimedOut) {
  CEvent timedOut, resume(false, true);
  std::atomic<bool> armed{true};
  CThreadPool pool;  // one worker
  pool.idleTimeout = 20;
  pool.onIdleWaitEnded = [&](bool expired) {
    if (expired && armed.exchange(false)) {
      timedOut.SetEvent();
      resume.Wait();
    }
  };
  pool.AddJob(new TestJob(&journal, 1, &started, &gate), false);
  ASSERT_TRUE(started.Wait(kLimitMs));
  for (int id = 2; id <= 4; ++id) pool.AddJob(new TestJob(&journal, id), false);
  pool.AddJob(new TestJob(&journal, 9), true);
  gate.SetEvent();
  ASSERT_TRUE(timedOut.Wait(kLimitMs));
  pool.AddJob(new TestJob(&journal, 5), false);  // finds the worker still listed as idle
  resume.SetEvent();
  ASSERT_TRUE(pool.WaitUntilNoWorkers(kLimitMs));
  // The last finishing step ran on the worker just before its idle wait began.
  EXPECT_GE(std::chrono::steady_clock::now() - journal.finishedAt, 20ms);
  EXPECT_EQ(journal.ran, (std::vector<int>{1, 9, 2, 3, 4, 5}));
  EXPECT_EQ(journal.mostRunning, 1);
  EXPECT_EQ(journal.pendingAtFinish, (std::vector<int>{1, 1}));  // two runs, one finishing step each
}

TEST_F(ThreadPoolTest, StopDropsQueuedJobsFinishesOnceAndLaterJobsStillRun) {
  CThreadPool pool;
  // The finishing step adds a job to the stopped pool, as a new run would:
  // Stop must not hold its locks then, and the job must not be lost.
  journal.onFinish = [&] {
    if (journal.finishes == 1) pool.AddJob(new TestJob(&journal, 100), false);
  };
  pool.AddJob(new BlockingJob(started, gate), false);
  ASSERT_TRUE(started.Wait(kLimitMs));
  for (int id = 1; id <= 10; ++id) pool.AddJob(new TestJob(&journal, id), false);

  pool.Stop();  // the worker waits for the gate and touches no journal meanwhile
  EXPECT_TRUE(journal.ran.empty());
  EXPECT_EQ(journal.destroyed, 10);
  EXPECT_EQ(journal.finishes, 1);
  gate.SetEvent();  // the worker ends its job and, being the last, takes job 100
  ASSERT_TRUE(journal.WaitFor([&] { return journal.finishes == 2; }));
  EXPECT_EQ(journal.ran, std::vector<int>{100});
  EXPECT_EQ(journal.pendingAtFinish, (std::vector<int>{1, 1}));
}

// An owner that waits for the workers to end before it goes away must not
// be let go while a job's finishing step still runs on a worker.
TEST_F(ThreadPoolTest, StoppedWorkerCountsUntilItsJobIsGone) {
  CEvent finishing, finishGate(false, true);
  journal.onFinish = [&] {
    finishing.SetEvent();
    finishGate.Wait();
  };
  CThreadPool pool;
  pool.AddJob(new TestJob(&journal, 1, &started, &gate), false);
  ASSERT_TRUE(started.Wait(kLimitMs));
  pool.Stop();
  gate.SetEvent();
  ASSERT_TRUE(finishing.Wait(kLimitMs));
  EXPECT_EQ(pool.ActiveThreadCount(), 1);
  EXPECT_FALSE(pool.WaitUntilNoWorkers(0));
  finishGate.SetEvent();
  EXPECT_TRUE(pool.WaitUntilNoWorkers(kLimitMs));
}

TEST_F(ThreadPoolTest, JobAddedWhileThePoolIsDestroyedIsDroppedNotRun) {
  auto pool = std::make_unique<CThreadPool>();
  CThreadPool* const dying = pool.get();
  journal.onFinish = [&] {
    if (journal.finishes == 1) dying->AddJob(new TestJob(&journal, 2), false);
  };
  platform::Thread::FailNextStarts(1);
  dying->AddJob(new TestJob(&journal, 1), false);  // no worker: stays queued
  pool.reset();                                     // drops job 1, whose end adds job 2
  EXPECT_TRUE(journal.ran.empty());
  EXPECT_EQ(journal.destroyed, 2);
}

// Hosts add jobs at once while workers keep timing out and starting anew
// (idleTimeout 0): every job runs exactly once, on at most maxThreads workers.
TEST_F(ThreadPoolTest, ConcurrentProducersLoseNoJob) {
  constexpr int kProducers = 4, kJobsEach = 400;
  {
    CThreadPool pool;
    pool.maxThreads = 3;
    pool.idleTimeout = 0;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kJobsEach; ++i) pool.AddJob(new TestJob(&journal, p * kJobsEach + i), i % 7 == 0);
      });
    }
    for (auto& producer : producers) producer.join();
    ASSERT_TRUE(journal.WaitFor([&] { return journal.ran.size() == kProducers * kJobsEach; }));
  }
  std::vector<int> runs(kProducers * kJobsEach);
  for (int id : journal.ran) ++runs[id];
  EXPECT_EQ(runs, std::vector<int>(kProducers * kJobsEach, 1));
  EXPECT_LE(journal.mostRunning, 3);
}

TEST_F(ThreadPoolTest, WorkerThatCannotStartLeavesTheJobQueued) {
  {
    CThreadPool pool;
    pool.maxThreads = 2;
    platform::Thread::FailNextStarts(1);
    pool.AddJob(new TestJob(&journal, 1, &started, &gate), false);
    EXPECT_EQ(pool.ThreadCount(), 0);
    EXPECT_EQ(pool.QueuedJobCount(), 1u);
    pool.AddJob(new TestJob(&journal, 2), false);  // starts a worker, which takes job 1 first
    ASSERT_TRUE(started.Wait(kLimitMs));
    platform::Thread::FailNextStarts(1);
    pool.AddJob(new TestJob(&journal, 3), false);  // no second worker: the running one takes it
    EXPECT_EQ(pool.ThreadCount(), 1);
    gate.SetEvent();
    ASSERT_TRUE(journal.WaitFor([&] { return journal.ran.size() == 3; }));
  }
  EXPECT_EQ(journal.ran, (std::vector<int>{1, 2, 3}));

  CThreadPool idlePool;  // a stop also drops jobs that no worker was started for
  platform::Thread::FailNextStarts(1);
  idlePool.AddJob(new TestJob(&journal, 4), false);
  idlePool.Stop();
  EXPECT_EQ(idlePool.QueuedJobCount(), 0u);
  EXPECT_EQ(journal.destroyed, 4);
}

// Stop, and so destruction, wakes idle workers at once: with an idle time-out
// of an hour, destroying a pool whose worker waits for work completes
// promptly (the limit only guards against a hang).
TEST_F(ThreadPoolTest, DestructionWakesIdleWorkersInsteadOfWaitingOutTheirTimeOut) {
  auto* pool = new CThreadPool;
  pool->idleTimeout = 3600 * 1000;
  std::atomic<int> timedOut{0};
  CEvent idle, destroyed(false, true);
  pool->onIdleWaitBegins = [&] { idle.SetEvent(); };
  pool->onIdleWaitEnded = [&](bool timeOut) { timedOut += timeOut; };
  pool->AddJob(new TestJob(&journal, 1), false);
  ASSERT_TRUE(idle.Wait(kLimitMs));  // the job has run and the worker waits for the next
  std::thread destroyer([&] {
    delete pool;
    destroyed.SetEvent();
  });
  if (!destroyed.Wait(kLimitMs)) {
    destroyer.detach();  // still waiting out the hour: leave it, the failure is reported
    FAIL() << "destruction waited for the idle time-out";
  }
  destroyer.join();
  EXPECT_EQ(timedOut.load(), 0);
  EXPECT_EQ(journal.ran, std::vector<int>{1});
}

// Each owner counts its own jobs: stopping one owner's pool while the other
// owner's job still runs ends the first owner's run at once (one finishing
// step, reading 1 pending), and the second owner's run ends on its own.
TEST_F(ThreadPoolTest, TwoOwnersFinishTheirRunsIndependently) {
  Journal other;
  CEvent otherStarted;
  CEvent otherGate(false, true);
  CThreadPool mine, theirs;
  theirs.AddJob(new TestJob(&other, 1, &otherStarted, &otherGate), false);
  ASSERT_TRUE(otherStarted.Wait(kLimitMs));
  mine.AddJob(new TestJob(&journal, 2, &started, &gate), false);
  ASSERT_TRUE(started.Wait(kLimitMs));
  for (int id = 3; id <= 5; ++id) mine.AddJob(new TestJob(&journal, id), false);
  mine.Stop();  // drops 3..5; job 2 still holds its worker
  EXPECT_EQ(journal.finishes, 0);
  gate.SetEvent();
  ASSERT_TRUE(journal.WaitFor([&] { return journal.finishes == 1; }));
  EXPECT_TRUE(journal.counters.WaitUntilIdle(kLimitMs));
  EXPECT_EQ(journal.pendingAtFinish, std::vector<int>{1});
  EXPECT_EQ(other.finishes, 0);  // its job is still running
  EXPECT_EQ(other.counters.LiveJobs(), 1);
  otherGate.SetEvent();
  ASSERT_TRUE(other.WaitFor([&] { return other.finishes == 1; }));
  EXPECT_TRUE(other.counters.WaitUntilIdle(kLimitMs));
  EXPECT_EQ(journal.finishes, 1);
}
