// Keeps two runs of nimbrel-tag off the same folders at the same time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace nimbrel_tag {

class SignalWatch;

// Exclusive locks, one per folder a run writes in (made absolute and
// resolved, so "./a" and "/home/u/a" are one), held as byte-range locks of
// one lock file in the state folder: a run over a whole tree and an `apply`
// or `undo` over one of its folders exclude each other, while runs over
// other folders go on. Two runs over the same folder would otherwise remove
// each other's unfinished saves, fail hundreds of files and write the list
// of untagged files at once. Released by the destructor or when the process
// ends, however it ends.
class RunLock {
 public:
  RunLock(const std::string& stateFolder, const std::set<std::string>& folders);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes every folder's lock if all are free (none otherwise); true when
  // this object holds them. False with `error` empty when another run holds
  // one, with `error` set when the lock file cannot be used (the run may
  // then go on without it).
  bool TryLock(std::string& error);
  // TryLock until it succeeds, telling `note` once that it waits; an
  // unusable lock file is told to `note` and the caller goes on unguarded.
  // False when a signal came while waiting.
  bool WaitUntilHeld(SignalWatch& signals, const std::function<void(const std::string&)>& note);
  bool Held() const { return held_; }
  const std::string& Path() const { return path_; }

  static constexpr const char* kWaitingNote =
      "another nimbrel-tag run is working on these folders; waiting for it to end (Ctrl-C stops)";

 private:
  void Close();

  std::string path_;
  std::vector<off_t> places_;  // one byte of the lock file per folder, in order
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace nimbrel_tag
