#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

#include "platform/Process.h"
#include "platform/SystemError.h"

namespace platform {

namespace {

std::atomic<int> liveThreads{0};
std::atomic<int> failingStarts{0};

constexpr int kNiceMin = -20;
constexpr int kNiceMax = 19;
// Nice steps per Win32 priority step, so that lowest (-2) is well below
// below-normal (-1) and both stay clear of the idle end of the scale.
constexpr int kNicePerStep = 5;

// Takes one injected failure if any is pending.
bool TakeInjectedFailure() {
  int pending = failingStarts.load();
  while (pending > 0) {
    if (failingStarts.compare_exchange_weak(pending, pending - 1)) return true;
  }
  return false;
}

// Nice value of thread or process `id`; `fallback` when it cannot be read
// (getpriority may legitimately return -1, so errno tells failure).
int NiceOf(id_t id, int fallback) {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, id);
  return errno == 0 ? nice : fallback;
}

// Gives the calling thread the nice value for `priority`. The process's
// value (that of its main thread) plays the part of the Win32 priority
// class. Every failure is ignored: priority is a hint.
void ApplyPriority(int priority) {
  const int saved = errno;
  const id_t self = static_cast<id_t>(CurrentThreadId());
  const int target = NiceForPriority(priority, NiceOf(static_cast<id_t>(::getpid()), 0));
  if (NiceOf(self, target + 1) != target) ::setpriority(PRIO_PROCESS, self, target);
  errno = saved;
}

}  // namespace

int NiceForPriority(int priority, int processNice) {
  if (priority <= kThreadPriorityIdle) return kNiceMax;
  if (priority >= kThreadPriorityTimeCritical) return kNiceMin;
  const int steps = std::clamp(priority, kThreadPriorityLowest, kThreadPriorityHighest);
  return std::clamp(processNice - steps * kNicePerStep, kNiceMin, kNiceMax);
}

int CurrentThreadNice() { return NiceOf(static_cast<id_t>(CurrentThreadId()), 0); }

Thread::~Thread() { Join(); }

bool Thread::Start(std::function<void()> body, int priority) {
  if (thread_.joinable()) {
    SetLastError(EBUSY);
    return false;
  }
  if (TakeInjectedFailure()) {
    SetLastError(EAGAIN);
    return false;
  }
  try {
    auto state = std::make_shared<State>();
    // The thread holds its own reference to the state, so marking the end
    // is safe even when this object has already let the thread go.
    thread_ = std::thread([state, priority, body = std::move(body)] {
      ApplyPriority(priority);
      body();
      state->ended.store(true, std::memory_order_release);
    });
    state_ = std::move(state);
  } catch (const std::system_error& e) {
    SetLastError(e.code().value());
    return false;
  } catch (const std::bad_alloc&) {
    SetLastError(ENOMEM);
    return false;
  }
  liveThreads.fetch_add(1);
  return true;
}

bool Thread::HasEnded() const { return !state_ || state_->ended.load(std::memory_order_acquire); }

void Thread::Join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
  liveThreads.fetch_sub(1);
}

int Thread::LiveCount() { return liveThreads.load(); }

void Thread::FailNextStarts(int count) { failingStarts.store(std::max(count, 0)); }

}  // namespace platform
