#include "platform/WriterProbe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/PosixIo.h"

namespace platform {

WriterProbe ProbeWriters(std::wstring_view path, const FileIdentity& expected) {
  // Non-blocking: opening a file someone holds a write lease on would
  // otherwise wait for them to give it up.
  int fd;
  do {
    fd = ::open(NativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EWOULDBLOCK) return WriterProbe::kBeingWritten;
    if (errno == ELOOP) return WriterProbe::kChanged;  // a link was put in its place
    return WriterProbe::kFailed;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return WriterProbe::kFailed;
  }
  WriterProbe result;
  if (!S_ISREG(st.st_mode) || posix::IdentityOf(st) != expected) {
    result = WriterProbe::kChanged;
  } else if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    result = WriterProbe::kNoWriter;
  } else {
    result = errno == EAGAIN ? WriterProbe::kBeingWritten : WriterProbe::kUnknown;
  }
  ::close(fd);
  return result;
}

}  // namespace platform
