// Descriptor-level helpers shared by the file classes of this folder only.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

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

}  // namespace platform::posix
