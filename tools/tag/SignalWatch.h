// Ctrl-C and its kin, taken as requests rather than as the end of the process.
#pragma once

#include <signal.h>

namespace nimbrel_tag {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every
// thread started after it (construct it before the library starts its
// workers): the signals stay pending until Wait or Poll takes them. Nothing
// runs in a signal handler, so a file is never left half-written by one.
// The destructor takes what is still pending and restores the mask.
class SignalWatch {
 public:
  SignalWatch();
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // Waits up to `milliseconds` for a signal; true when one came.
  bool Wait(int milliseconds);
  // Takes a pending signal without waiting; true when there was one.
  bool Poll() { return Wait(0); }
  // How many signals were taken so far.
  int Count() const { return count_; }
  // The first signal taken (for the exit status), 0 if none.
  int First() const { return first_; }
  // From now on the signals act as usual (end the process): for a person
  // who asks twice.
  void Release();

 private:
  sigset_t set_;
  sigset_t previous_;
  int count_ = 0;
  int first_ = 0;
  bool released_ = false;
};

}  // namespace nimbrel_tag
