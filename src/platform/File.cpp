#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/PosixIo.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

int OpenFlags(File::Mode mode) {
  switch (mode) {
    case File::Mode::kRead:
      return O_RDONLY;
    case File::Mode::kWrite:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case File::Mode::kAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
    case File::Mode::kReadWrite:
      return O_RDWR | O_CREAT;
    case File::Mode::kCreateNew:
      return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    case File::Mode::kUpdate:
      return O_RDWR | O_NOFOLLOW;
  }
  return O_RDONLY;
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool File::Open(std::wstring_view path, Mode mode) {
  Close();
  int fd;
  do {
    fd = ::open(NativePath(path).c_str(), OpenFlags(mode) | O_CLOEXEC, mode == Mode::kCreateNew ? 0600 : 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // A folder opens for reading here but is not a file; refuse it as other systems do.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  fd_ = fd;
  return true;
}

void File::Close() {
  if (fd_ >= 0) {
    // Not retried on EINTR: on Linux the descriptor is released regardless.
    ::close(fd_);
    fd_ = -1;
  }
}

std::int64_t File::Read(void* buffer, std::size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

std::int64_t File::ReadAt(void* buffer, std::size_t size, std::int64_t offset) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer, size, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool File::Write(const void* data, std::size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return posix::WriteFully(fd_, static_cast<const char*>(data), size);
}

std::int64_t File::CopyFrom(File& source, std::int64_t offset, std::int64_t length) {
  if (fd_ < 0 || source.fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  constexpr std::int64_t kStep = 1 << 30;
  loff_t from = offset;
  std::int64_t copied = 0;
  bool inKernel = true;
  std::vector<char> buffer;
  while (copied < length) {
    const auto step = static_cast<std::size_t>(std::min(length - copied, kStep));
    ssize_t n;
    if (inKernel) {
      n = ::copy_file_range(source.fd_, &from, fd_, nullptr, step, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        inKernel = false;  // not between these two files: through a buffer instead
        continue;
      }
    } else {
      if (buffer.empty()) buffer.resize(1 << 20);
      n = ::pread(source.fd_, buffer.data(), std::min(step, buffer.size()), from);
      if (n > 0 && !posix::WriteFully(fd_, buffer.data(), static_cast<std::size_t>(n))) return -1;
      if (n > 0) from += n;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;  // the source ends here
    copied += n;
  }
  return copied;
}

std::int64_t File::Seek(std::int64_t offset, int origin) {
  int whence;
  switch (origin) {
    case 0:
      whence = SEEK_SET;
      break;
    case 1:
      whence = SEEK_CUR;
      break;
    case 2:
      whence = SEEK_END;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  return ::lseek(fd_, static_cast<off_t>(offset), whence);
}

std::int64_t File::Size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool File::Truncate(std::int64_t size) {
  for (;;) {
    if (::ftruncate(fd_, static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool File::Flush() {
  // Writes are not buffered here, so other processes already see them; this
  // makes them durable, which costs a disk round trip.
  return ::fdatasync(fd_) == 0;
}

bool File::Sync() { return ::fsync(fd_) == 0; }

bool File::GetIdentity(FileIdentity& identity) const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  identity = posix::IdentityOf(st);
  return true;
}

bool File::WaitForWriteback() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  // With both waits, the call also reports (and consumes) the write-back
  // error this descriptor has not been told of, as fdatasync would.
  const unsigned flags = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  for (;;) {
    if (::sync_file_range(fd_, 0, 0, flags) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool File::CloseChecked() {
  if (fd_ < 0) return true;
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0;
}

bool File::ReadAll(std::wstring_view path, std::string& out) {
  out.clear();
  File file;
  if (!file.Open(path, Mode::kRead)) return false;
  // The size is a hint only: files under /proc report 0, so read to the end regardless.
  const std::int64_t size = file.Size();
  out.resize(size > 0 ? static_cast<std::size_t>(size) + 1 : 4096);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() * 2);
    const std::int64_t n = file.Read(out.data() + used, out.size() - used);
    if (n < 0) {
      out.clear();
      return false;
    }
    if (n == 0) {
      out.resize(used);
      return true;
    }
    used += static_cast<std::size_t>(n);
  }
}

bool File::WriteAll(std::wstring_view path, std::string_view bytes) {
  File file;
  if (!file.Open(path, Mode::kWrite)) return false;
  if (!file.Write(bytes)) return false;
  return file.CloseChecked();
}

}  // namespace platform
