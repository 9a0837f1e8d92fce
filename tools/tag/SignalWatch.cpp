#include "SignalWatch.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace nimbrel_tag {

SignalWatch::SignalWatch() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  sigaddset(&set_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set_, &previous_);
}

SignalWatch::~SignalWatch() {
  if (released_) return;
  // A signal that came after the last look is taken here: unblocked, it
  // would end the process after its work was done and reported.
  while (Poll()) {
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool SignalWatch::Wait(int milliseconds) {
  if (released_) return false;
  timespec timeout{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  int signal;
  do {
    signal = sigtimedwait(&set_, nullptr, &timeout);
  } while (signal < 0 && errno == EINTR);
  if (signal <= 0) return false;
  if (count_++ == 0) first_ = signal;
  return true;
}

void SignalWatch::Release() {
  if (released_) return;
  released_ = true;
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace nimbrel_tag
