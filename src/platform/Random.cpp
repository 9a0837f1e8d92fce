#include "platform/Random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// The device file, for kernels without the getrandom system call.
bool ReadUrandom(unsigned char* out, std::size_t size) {
  int fd;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      errno = error;
      return false;
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

}  // namespace

bool RandomBytes(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    // Large requests may be served in parts, and a signal may interrupt one.
    const ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS) return ReadUrandom(out, size);
      return false;
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
