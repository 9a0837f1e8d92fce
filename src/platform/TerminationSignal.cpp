#include "platform/TerminationSignal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
  const sigset_t set = TerminationSet();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

void RaiseTermination() { ::kill(::getpid(), SIGTERM); }

}  // namespace platform
