// The progress of a run over a large collection, so that an interrupted run
// can go on where it stopped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace nimbrel_tag {

// One file per set of arguments (the working folder, the arguments and the
// options that change results, hashed), in the user's state folder. Each
// file the run is done with is appended with its size, modification time,
// inode and status-change time after it was written; a later run with the
// same arguments skips a file only while all four are still the same. The
// size alone misses a tag edit that fits the tag's padding, and the
// modification time can be set back; the status-change time cannot, and a
// file replaced by another gets a new inode. A run that got through every
// file removes its journal.
class RunJournal {
 public:
  // `folder`: where journals are kept; `key`: the run's arguments.
  RunJournal(const std::string& folder, const std::string& key);
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Reads what an earlier run recorded; `restart` forgets it instead.
  // False with `error` when the journal cannot be kept (the run then keeps
  // no progress).
  bool Open(bool restart, std::string& error);
  // True when an earlier run is done with `path` as it is now.
  bool Done(const std::string& path) const;
  std::size_t EarlierCount() const { return earlier_.size(); }
  // Records that the run is done with `path` (as it is on disk now).
  void Record(const std::string& path);
  // Makes the records so far survive a crash of this process.
  void Flush();
  // Every file is done: the journal goes.
  void Complete();
  const std::string& Path() const { return path_; }

 private:
  struct Stamp {
    std::int64_t size = -1;
    std::int64_t modified = -1;  // nanoseconds
    std::int64_t inode = -1;
    std::int64_t changed = -1;  // status change, nanoseconds
    bool operator==(const Stamp&) const = default;
  };
  static bool StampOf(const std::string& path, Stamp& stamp);

  std::string path_;
  std::FILE* file_ = nullptr;
  std::unordered_map<std::string, Stamp> earlier_;
};

// A short stable hash (FNV-1a, 64 bits, hexadecimal) naming a journal.
std::string JournalName(const std::string& key);

}  // namespace nimbrel_tag
