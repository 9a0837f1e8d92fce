// A thread of our own: its end can be polled without blocking (so that owners
// can reap ended threads), it takes a Win32-style priority, and it is always
// joined, never left running behind its owner.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

// Thread priorities as the callers know them from Win32; values in between
// are rounded to the nearest of these.
constexpr int kThreadPriorityIdle = -15;
constexpr int kThreadPriorityLowest = -2;
constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;
constexpr int kThreadPriorityTimeCritical = 15;

// The nice value (-20..19) a thread of `priority` gets in a process whose
// main thread runs at `processNice`: normal keeps the process's value, each
// step below normal adds 5, each step above subtracts 5; idle and time
// critical are the ends of the scale.
int NiceForPriority(int priority, int processNice);
// The calling thread's nice value.
int CurrentThreadNice();

class Thread {
 public:
  Thread() = default;
  // Joins a thread still running, so that nothing started here outlives
  // its Thread object.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread, which first sets its own priority
  // (best effort: refused changes, e.g. raising without privilege, are
  // ignored). False, with LastError() set, when the system gives no thread
  // or this object already holds one; never throws. `body` must not throw.
  bool Start(std::function<void()> body, int priority = kThreadPriorityNormal);

  // True once `body` has returned; never blocks. Joining is then immediate.
  bool HasEnded() const;
  bool Joinable() const { return thread_.joinable(); }
  // Waits for the thread to end and releases it; nothing when none is held.
  // Called on the thread itself, it can only let the thread go (detach).
  void Join();

  // Threads started through this class and not yet joined, process-wide.
  static int LiveCount();
  // Test seam: the next `count` starts fail as when the system is out of
  // threads (LastError() EAGAIN), without starting anything.
  static void FailNextStarts(int count);

 private:
  struct State {
    std::atomic<bool> ended{false};
  };

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace platform
