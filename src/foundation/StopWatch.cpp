#include "foundation/StopWatch.h"

#include <mutex>

#include "platform/DynamicLibrary.h"

namespace {

// The profiler binding, resolved once per process. The library stays loaded
// until the process ends.
struct Profiler {
  platform::DynamicLibrary library;
  StopWatch::StartFunction start = nullptr;
  StopWatch::StopFunction stop = nullptr;
};

const Profiler& BoundProfiler() {
  static const Profiler* profiler = [] {
    auto* p = new Profiler;
    if (p->library.Open(L"liblapwatch.so")) {
      p->start = reinterpret_cast<StopWatch::StartFunction>(p->library.Symbol("LapwatchStartContext"));
      p->stop = reinterpret_cast<StopWatch::StopFunction>(p->library.Symbol("LapwatchStopContext"));
    }
    return p;
  }();
  return *profiler;
}

}  // namespace

StopWatch::StopWatch(const CString& name, bool enabled) {
  const Profiler& profiler = BoundProfiler();
  if (!profiler.start) return;
  state_.reset(new State);
  state_->name = name;
  state_->enabled = enabled;
  state_->context = profiler.start(state_->name, enabled);
}

StopWatch::~StopWatch() { Stop(); }

void StopWatch::Stop() {
  const Profiler& profiler = BoundProfiler();
  if (profiler.stop && state_ && !state_->stopped) {
    profiler.stop(state_->name, state_->enabled, state_->context);
    state_->stopped = true;
  }
  state_.reset();
}
