#include "engines/SearchTimer.h"

#include "platform/Env.h"

namespace {
std::uint32_t Now() { return platform::Env::Current()->TickCount(); }
}  // namespace

void SearchTimer::Start() {
  const std::uint32_t now = Now();
  CSingleLock lock(&lock_);
  if (start_ == 0 || start_ <= stop_) start_ = now;
}

void SearchTimer::Stop() {
  const std::uint32_t now = Now();
  CSingleLock lock(&lock_);
  stop_ = now;
  total_ += stop_ - start_;
  start_ = now;
}

std::uint32_t SearchTimer::Elapsed() {
  const std::uint32_t now = Now();
  CSingleLock lock(&lock_);
  return now - start_;
}

std::uint32_t SearchTimer::Total() {
  CSingleLock lock(&lock_);
  return total_;
}
