// Descriptor-level helpers shared by the file classes of this folder only.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/FileIdentity.h"

namespace platform::posix {

// Writes all `size` bytes, retrying after interruptions; false with errno set on error.
inline bool WriteFully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline std::int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

inline FileIdentity IdentityOf(const struct stat& st) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(st.st_dev);
  identity.inode = static_cast<std::uint64_t>(st.st_ino);
  identity.size = static_cast<std::int64_t>(st.st_size);
  identity.modificationTime = Nanoseconds(st.st_mtim);
  identity.changeTime = Nanoseconds(st.st_ctim);
  return identity;
}

}  // namespace platform::posix
