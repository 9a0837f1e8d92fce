// Which file, in which version, a path names, from its status alone (cheap,
// no reading): for telling whether a file is still as a run left it.
#pragma once

#include <cstdint>
#include <string>

namespace nimbrel_tag {

// Device, inode, size, modification and status-change times (nanoseconds).
// The status-change time cannot be set back by a program, so a file written
// since, even to the same size and with its modification time restored,
// has another identity.
struct FileStamp {
  std::int64_t device = -1;
  std::int64_t inode = -1;
  std::int64_t size = -1;
  std::int64_t modified = -1;
  std::int64_t changed = -1;

  // The identity of the file at `path` (links followed); false when it is not there.
  static bool Of(const std::string& path, FileStamp& identity);
  bool operator==(const FileStamp&) const = default;
};

}  // namespace nimbrel_tag
