// Keeps two runs of nimbrel-tag off the same folders at the same time.
#pragma once

#include <set>
#include <string>

namespace nimbrel_tag {

// An exclusive lock (flock) on a file in the state folder named after the
// set of folders a run works in (made absolute and resolved, so "./a" and
// "/home/u/a" are one). Two runs over the same folders would otherwise
// remove each other's unfinished saves, fail hundreds of files and write
// the list of untagged files at once. Released by the destructor or when the
// process ends, however it ends.
class RunLock {
 public:
  RunLock(const std::string& stateFolder, const std::set<std::string>& folders);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock if it is free; true when this object holds it. False with
  // `error` empty when another run holds it, with `error` set when the lock
  // file cannot be used (the run may then go on without it).
  bool TryLock(std::string& error);
  bool Held() const { return held_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace nimbrel_tag
