// What tells one version of a file from another: the same inode of the same
// device, not resized, not written and not changed in its status (owner,
// permissions, links) since it was looked at.
#pragma once

#include <cstdint>

namespace platform {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modificationTime = 0;  // nanoseconds since 1970 (UTC)
  // Changes with every write and every change of status, also when a writer
  // puts the modification time back afterwards; nanoseconds since 1970.
  std::int64_t changeTime = 0;

  bool operator==(const FileIdentity&) const = default;
};

}  // namespace platform
