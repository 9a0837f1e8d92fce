// The request spacing of one web service: one request per interval for the
// whole machine when the limiter shares its slot through a file, else for the
// process. Each request takes the next free slot, so requests leave at least
// one interval apart whatever the number of threads and processes.
//
// A back-off (an answer 503) sets a time before which no request leaves; a
// later, shorter back-off never shortens it. A request that would have to
// wait longer than the limiter honours is refused at once (kBlocked), and it
// does not push the next slot back for everyone. A waiter whose slot a
// back-off overtook takes a new slot after it, so waiters never fire together.
//
// The shared slot lives in a file in a folder of the user's own; the file is
// opened without following links and used only when it is a regular file of
// the user's, readable and writable by the user alone. Anything else leaves
// the limiter to the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "PluginClock.h"

class RateLimiter {
 public:
  enum class Result { kGo, kStopped, kBlocked };

  RateLimiter(std::int64_t intervalMs, std::int64_t maxWaitMs) : intervalMs_(intervalMs), maxWaitMs_(maxWaitMs) {}
  ~RateLimiter();
  RateLimiter(const RateLimiter&) = delete;
  RateLimiter& operator=(const RateLimiter&) = delete;

  // Null restores the real clock. The clock must outlive its use.
  void SetClock(const PluginClock* clock);
  const PluginClock& Clock() const;

  // Shares the slot with every limiter using `folder` (an existing folder of
  // the user's, writable by nobody else). Empty, or a folder or file that is
  // not safe, keeps the slot to this process; false then (for an empty
  // folder: true). The same folder again changes nothing.
  bool ShareThrough(const std::string& folder);

  // Waits for this caller's slot. `stopped` (may be empty) is asked while
  // waiting; with the real clock at least four times a second.
  Result Acquire(const std::function<bool()>& stopped = {});
  // No request before now + `delayMs`, unless a later time is set already.
  void BackOff(std::int64_t delayMs);

  // The name of the file that holds the shared slot, in its folder.
  static constexpr const char* kFileName = "request-slot";

 private:
  struct State {
    std::int64_t next = 0;   // the next free slot
    std::int64_t floor = 0;  // no request before this
  };
  // Runs `change` on the state under the process lock and, when shared, the
  // file lock; the state is written back when `change` returns true.
  void Update(const std::function<bool(State&)>& change);
  bool ReadFile(State& state) const;
  void WriteFile(const State& state) const;
  void CloseFile();

  const std::int64_t intervalMs_;
  const std::int64_t maxWaitMs_;
  std::atomic<const PluginClock*> clock_{nullptr};
  std::mutex mutex_;
  State local_;
  int file_ = -1;
  std::string folder_;
};
