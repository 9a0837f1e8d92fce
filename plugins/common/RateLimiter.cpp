#include "RateLimiter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

// How long a wait on the real clock lasts before the stop is asked again.
constexpr std::int64_t kStopPollMs = 200;

// A folder that only its owner, the user, can change, reached without a link.
bool IsPrivateFolder(const std::string& folder) {
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
  return status.st_uid == ::getuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

RateLimiter::~RateLimiter() { CloseFile(); }

void RateLimiter::SetClock(const PluginClock* clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = clock;
  local_ = State();
}

const PluginClock& RateLimiter::Clock() const {
  const PluginClock* clock = clock_.load();
  return clock ? *clock : plugin_clock::RealClock();
}

void RateLimiter::CloseFile() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  folder_.clear();
}

bool RateLimiter::ShareThrough(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (folder == folder_ && (file_ >= 0 || folder.empty())) return true;
  CloseFile();
  if (folder.empty()) return true;
  if (!IsPrivateFolder(folder)) return false;
  const std::string path = folder + "/" + kFileName;
  // Never through a link, never a device or pipe that could block the open.
  const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (file < 0) return false;
  struct stat status {};
  const bool safe = ::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::getuid() &&
                    (status.st_mode & 077) == 0 && status.st_nlink == 1;
  if (!safe) {
    ::close(file);
    return false;
  }
  file_ = file;
  folder_ = folder;
  return true;
}

// The file holds two decimal numbers; anything else reads as no slot taken.
bool RateLimiter::ReadFile(State& state) const {
  char text[64] = {};
  const ssize_t size = ::pread(file_, text, sizeof text - 1, 0);
  if (size <= 0) return false;
  std::int64_t next = 0, floor = 0;
  if (std::sscanf(text, "%" SCNd64 " %" SCNd64, &next, &floor) != 2) return false;
  state.next = next;
  state.floor = floor;
  return true;
}

void RateLimiter::WriteFile(const State& state) const {
  char text[64];
  // Fixed width, so a shorter number never leaves digits of a longer one behind.
  const int size = std::snprintf(text, sizeof text, "%020" PRId64 " %020" PRId64 "\n", state.next, state.floor);
  if (size > 0 && ::pwrite(file_, text, static_cast<std::size_t>(size), 0) != size) {
    // A full disk: the process keeps its own spacing through local_.
  }
}

void RateLimiter::Update(const std::function<bool(State&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool shared = file_ >= 0 && ::flock(file_, LOCK_EX) == 0;
  State state = local_;
  if (shared) {
    State stored;
    if (ReadFile(stored)) {
      // The later of what this process and the others know.
      state.next = std::max(state.next, stored.next);
      state.floor = std::max(state.floor, stored.floor);
    }
  }
  if (change(state)) {
    local_ = state;
    if (shared) WriteFile(state);
  }
  if (shared) ::flock(file_, LOCK_UN);
}

RateLimiter::Result RateLimiter::Acquire(const std::function<bool()>& stopped) {
  const PluginClock& clock = Clock();
  const bool realClock = &clock == &plugin_clock::RealClock();
  for (;;) {
    if (stopped && stopped()) return Result::kStopped;
    const std::int64_t now = clock.nowMs(clock.context);
    std::int64_t slot = 0;
    bool blocked = false;
    Update([&](State& state) {
      if (state.floor - now > maxWaitMs_) {
        blocked = true;
        return false;
      }
      slot = std::max({now, state.next, state.floor});
      state.next = slot + intervalMs_;
      return true;
    });
    if (blocked) return Result::kBlocked;
    // A test clock's time jumps to the slot; the real one is woken to ask for a stop.
    for (std::int64_t at = now;;) {
      clock.sleepUntilMs(clock.context, realClock && stopped ? std::min(slot, at + kStopPollMs) : slot);
      if (!realClock) break;
      at = clock.nowMs(clock.context);
      if (at >= slot) break;
      if (stopped && stopped()) return Result::kStopped;
    }
    // A back-off that came while this caller waited moves it behind the back-off.
    bool overtaken = false;
    Update([&](State& state) {
      overtaken = slot < state.floor;
      return false;
    });
    if (!overtaken) return Result::kGo;
  }
}

void RateLimiter::BackOff(std::int64_t delayMs) {
  const PluginClock& clock = Clock();
  // A day at most: a service's wish for longer is read as a mistake.
  const std::int64_t until = clock.nowMs(clock.context) + std::min<std::int64_t>(delayMs, 24LL * 3600 * 1000);
  Update([until](State& state) {
    if (until <= state.floor) return false;
    state.floor = until;
    return true;
  });
}
