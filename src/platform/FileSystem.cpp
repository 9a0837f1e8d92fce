#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform/PosixIo.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

// The last component of a path, ignoring trailing separators.
std::wstring_view BaseName(std::wstring_view path) {
  while (path.size() > 1 && path.back() == kPathSeparator) path.remove_suffix(1);
  const std::size_t slash = path.rfind(kPathSeparator);
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

std::uint32_t AttributesOf(bool directory, unsigned mode, std::wstring_view name) {
  std::uint32_t attributes = 0;
  if (directory) attributes |= kAttrDirectory;
  if ((mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  // "." and ".." name folders, they are not dot-files.
  if (!name.empty() && name[0] == L'.' && name != L"." && name != L"..") attributes |= kAttrHidden;
  return attributes ? attributes : kAttrNormal;
}

// Status of the file at `native`; `name` is its last component, for the hidden attribute.
bool StatNative(const char* native, std::wstring_view name, FileStatus& status) {
#ifdef STATX_BTIME
  struct statx stx;
  if (::statx(AT_FDCWD, native, 0, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
    status.size = static_cast<std::int64_t>(stx.stx_size);
    status.modificationTime = stx.stx_mtime.tv_sec;
    status.accessTime = stx.stx_atime.tv_sec;
    status.creationTime = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_mtime.tv_sec;
    status.attributes = AttributesOf(S_ISDIR(stx.stx_mode), stx.stx_mode, name);
    return true;
  }
  if (errno != ENOSYS) return false;  // otherwise an old kernel: fall back to stat
#endif
  struct stat st;
  if (::stat(native, &st) != 0) return false;
  status.size = static_cast<std::int64_t>(st.st_size);
  status.modificationTime = st.st_mtim.tv_sec;
  status.accessTime = st.st_atim.tv_sec;
  status.creationTime = st.st_mtim.tv_sec;
  status.attributes = AttributesOf(S_ISDIR(st.st_mode), st.st_mode, name);
  return true;
}

// Status of a symbolic link itself (for a link whose target is gone).
bool LinkStatus(const char* native, std::wstring_view name, FileStatus& status) {
  struct stat st;
  if (::lstat(native, &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  status.size = static_cast<std::int64_t>(st.st_size);
  status.modificationTime = status.creationTime = st.st_mtim.tv_sec;
  status.accessTime = st.st_atim.tv_sec;
  status.attributes = AttributesOf(false, st.st_mode, name);
  return true;
}

bool IsLinkNative(const char* native) {
  struct stat st;
  return ::lstat(native, &st) == 0 && S_ISLNK(st.st_mode);
}

void MarkLink(FileStatus& status) {
  status.attributes = (status.attributes & ~static_cast<std::uint32_t>(kAttrNormal)) | kAttrSymlink;
}

// Closes a descriptor without disturbing errno, for clean-up on failure paths.
void CloseKeepingErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

// Whether syncfs on this file system makes everything durable, the disk's
// write cache included. Elsewhere it may write back to a FUSE daemon or the
// block device only and still succeed.
bool SyncReachesTheDisk(const struct statfs& info) {
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      errno = EOPNOTSUPP;
      return false;
  }
}

bool CopyContent(int in, int out) {
  constexpr std::size_t kBufferSize = 64 * 1024;
  const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  for (;;) {
    const ssize_t n = ::read(in, buffer.get(), kBufferSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!posix::WriteFully(out, buffer.get(), static_cast<std::size_t>(n))) return false;
  }
}

// Matches with "*" and "?"; a star remembers where it started so that a
// mismatch retries from one character further instead of recursing, which
// bounds the work by name length times pattern length.
bool MatchStars(std::wstring_view name, std::wstring_view pattern) {
  constexpr std::size_t kNone = std::wstring_view::npos;
  std::size_t n = 0, p = 0;
  std::size_t starPattern = kNone, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      starPattern = p++;
      starName = n;
    } else if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (starPattern != kNone) {
      p = starPattern + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string NativePath(std::wstring_view path) { return ToNativeName(path); }

bool GetFileStatus(std::wstring_view path, FileStatus& status) {
  return StatNative(NativePath(path).c_str(), BaseName(path), status);
}

bool GetFileIdentity(std::wstring_view path, FileIdentity& identity) {
  struct stat st;
  if (::lstat(NativePath(path).c_str(), &st) != 0) return false;
  identity = posix::IdentityOf(st);
  return true;
}

std::uint32_t GetFileAttributes(std::wstring_view path) {
  FileStatus status;
  return GetFileStatus(path, status) ? status.attributes : kInvalidAttributes;
}

bool PathExists(std::wstring_view path) { return GetFileAttributes(path) != kInvalidAttributes; }

bool IsDirectory(std::wstring_view path) {
  const std::uint32_t attributes = GetFileAttributes(path);
  return attributes != kInvalidAttributes && (attributes & kAttrDirectory) != 0;
}

bool IsSymbolicLink(std::wstring_view path) { return IsLinkNative(NativePath(path).c_str()); }

bool CreateDirectory(std::wstring_view path) { return ::mkdir(NativePath(path).c_str(), 0700) == 0; }

namespace {

// Removes what the folder open at `fd` holds; `display` is its path with the
// separator, for failure reports. False when a file could not be deleted
// (the rest of this folder then stays).
bool RemoveContents(int fd, const std::wstring& display, const RemoveTreeFailure& onFailure) {
  const int listFd = ::dup(fd);
  DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (!dir) {
    const int error = errno;
    if (listFd >= 0) ::close(listFd);
    if (onFailure) onFailure(display, true, error);
    errno = error;
    return false;
  }
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    const std::wstring path = display + FromNativeName(name);
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    if (S_ISDIR(st.st_mode)) {
      // O_NOFOLLOW: an entry swapped for a link since fstatat is not entered.
      const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        // A subfolder's failures are reported, not fatal here; one left
        // partly full is not removed (and then neither is this folder).
        const bool emptied = RemoveContents(child, path + kPathSeparator, onFailure);
        ::close(child);
        if (emptied && ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && onFailure) onFailure(path, true, errno);
        continue;
      }
      if (errno != ELOOP && errno != ENOTDIR) {
        if (onFailure) onFailure(path, true, errno);
        continue;
      }
    }
    if (::unlinkat(fd, name.c_str(), 0) != 0) {
      if (onFailure) onFailure(path, false, errno);
      return false;
    }
  }
  return true;
}

}  // namespace

RemoveTreeResult RemoveTree(std::wstring_view path, const RemoveTreeFailure& onFailure) {
  std::wstring_view trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == kPathSeparator) trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind(kPathSeparator);
  const std::string parent = slash == std::wstring_view::npos ? std::string(".") : NativePath(trimmed.substr(0, slash + 1));
  const std::string name = NativePath(slash == std::wstring_view::npos ? trimmed : trimmed.substr(slash + 1));
  const std::wstring display = std::wstring(trimmed) + kPathSeparator;
  if (name.empty() || name == "." || name == "..") {
    errno = EINVAL;
    return RemoveTreeResult::kNotAFolder;
  }
  const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parentFd < 0) return RemoveTreeResult::kNotAFolder;
  RemoveTreeResult result = RemoveTreeResult::kNotAFolder;
  struct stat st;
  if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      result = ::unlinkat(parentFd, name.c_str(), 0) == 0 ? RemoveTreeResult::kLinkRemoved
                                                          : RemoveTreeResult::kFolderFailed;
    } else if (S_ISDIR(st.st_mode)) {
      const int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) {
        const bool contentsGone = RemoveContents(fd, display, onFailure);
        ::close(fd);
        if (!contentsGone) {
          result = RemoveTreeResult::kFileFailed;
        } else {
          result = ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 ? RemoveTreeResult::kRemoved
                                                                          : RemoveTreeResult::kFolderFailed;
        }
      }
    }
  }
  CloseKeepingErrno(parentFd);
  return result;
}

PrivateFolderState MakePrivateFolder(std::wstring_view path) {
  std::wstring_view trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == kPathSeparator) trimmed.remove_suffix(1);
  const std::string native = NativePath(trimmed);
  if (::mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) return PrivateFolderState::kCannotCreate;
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return PrivateFolderState::kCannotCreate;
  if (!S_ISDIR(st.st_mode)) return PrivateFolderState::kNotAFolder;
  if (st.st_uid != ::geteuid()) return PrivateFolderState::kForeignOwner;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return PrivateFolderState::kOpenToOthers;
  return PrivateFolderState::kReady;
}

const wchar_t* PrivateFolderProblem(PrivateFolderState state) {
  switch (state) {
    case PrivateFolderState::kReady: return L"ready";
    case PrivateFolderState::kCannotCreate: return L"cannot be created";
    case PrivateFolderState::kNotAFolder: return L"is a symbolic link or not a folder";
    case PrivateFolderState::kForeignOwner: return L"belongs to another user";
    case PrivateFolderState::kOpenToOthers: return L"is writable by group or others";
  }
  return L"";
}

bool RemoveDirectory(std::wstring_view path) { return ::rmdir(NativePath(path).c_str()) == 0; }

bool DeleteFile(std::wstring_view path) { return ::unlink(NativePath(path).c_str()) == 0; }

bool CopyFile(std::wstring_view from, std::wstring_view to, bool failIfExists) {
  const int in = ::open(NativePath(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat source;
  if (::fstat(in, &source) != 0) {
    CloseKeepingErrno(in);
    return false;
  }
  if (S_ISDIR(source.st_mode)) {
    ::close(in);
    errno = EISDIR;
    return false;
  }
  const std::string target = NativePath(to);
  // Not truncated on open: copying a file onto itself must not empty it first.
  const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0), 0644);
  if (out < 0) {
    CloseKeepingErrno(in);
    return false;
  }
  struct stat destination;
  bool ok = ::fstat(out, &destination) == 0;
  if (ok && destination.st_dev == source.st_dev && destination.st_ino == source.st_ino) {
    CloseKeepingErrno(in);
    CloseKeepingErrno(out);
    errno = EINVAL;
    return false;
  }
  ok = ok && ::ftruncate(out, 0) == 0 && CopyContent(in, out);
  CloseKeepingErrno(in);
  if (::close(out) != 0) ok = false;
  if (!ok) {
    // A partial copy is worse than none.
    const int saved = errno;
    ::unlink(target.c_str());
    errno = saved;
  }
  return ok;
}

bool MoveFile(std::wstring_view from, std::wstring_view to) {
  const std::string source = NativePath(from);
  if (::rename(source.c_str(), NativePath(to).c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  // Another file system: a file can be copied over, a folder cannot.
  FileStatus status;
  if (!GetFileStatus(from, status)) return false;
  if (status.attributes & kAttrDirectory) {
    errno = EXDEV;
    return false;
  }
  if (!CopyFile(from, to, false)) return false;
  SetFileTimes(to, status.modificationTime);  // a moved file keeps its time; not worth failing over
  return ::unlink(source.c_str()) == 0;
}

bool SetFileTimes(std::wstring_view path, std::int64_t modificationTime) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(modificationTime);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, NativePath(path).c_str(), times, 0) == 0;
}

bool CopyFileTimes(std::wstring_view from, std::wstring_view to) {
  struct stat st;
  if (::stat(NativePath(from).c_str(), &st) != 0) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return ::utimensat(AT_FDCWD, NativePath(to).c_str(), times, 0) == 0;
}

bool IsWritableFile(std::wstring_view path) {
  return ::faccessat(AT_FDCWD, NativePath(path).c_str(), W_OK, AT_EACCESS) == 0;
}

bool GetFilePermissions(std::wstring_view path, std::uint32_t& permissions) {
  struct stat st;
  if (::stat(NativePath(path).c_str(), &st) != 0) return false;
  permissions = static_cast<std::uint32_t>(st.st_mode) & 07777u;
  return true;
}

bool SetFilePermissions(std::wstring_view path, std::uint32_t permissions) {
  return ::chmod(NativePath(path).c_str(), static_cast<mode_t>(permissions & 07777u)) == 0;
}

bool RenameReplacing(std::wstring_view from, std::wstring_view to) {
  return ::rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

std::wstring ResolvePath(std::wstring_view path) {
  char* resolved = ::realpath(NativePath(path).c_str(), nullptr);
  if (!resolved) return std::wstring();
  std::wstring result = FromNativeName(resolved);
  std::free(resolved);
  return result;
}

bool SyncFolder(std::wstring_view path) {
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  CloseKeepingErrno(fd);
  return ok;
}

bool SyncFileSystem(std::wstring_view path) {
  int fd;
  do {
    fd = ::open(NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct statfs info;
  if (::fstatfs(fd, &info) != 0 || !SyncReachesTheDisk(info)) {
    CloseKeepingErrno(fd);
    return false;
  }
  int result;
  do {
    result = ::syncfs(fd);
  } while (result != 0 && errno == EINTR);
  const bool ok = result == 0;
  CloseKeepingErrno(fd);
  return ok;
}

std::vector<FoundFile> FindFiles(std::wstring_view pattern) {
  std::vector<FoundFile> found;
  const std::size_t slash = pattern.rfind(kPathSeparator);
  const std::wstring_view namePattern = slash == std::wstring_view::npos ? pattern : pattern.substr(slash + 1);
  // The folder with its separator, prefixed to entry names to give their paths.
  const std::string folder = slash == std::wstring_view::npos ? std::string() : NativePath(pattern.substr(0, slash + 1));
  if (namePattern.empty()) {
    errno = ENOENT;
    return found;
  }
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return found;
  std::string entryPath = folder;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (!entry) break;
    FoundFile file;
    file.name = FromNativeName(entry->d_name);
    if (!MatchesWildcard(file.name, namePattern)) continue;
    entryPath.resize(folder.size());
    entryPath += entry->d_name;
    // Links are reported with the status of their target, marked as links; a
    // dangling link with its own status. An entry removed meanwhile is left out.
    const bool link = entry->d_type == DT_LNK || (entry->d_type == DT_UNKNOWN && IsLinkNative(entryPath.c_str()));
    if (!StatNative(entryPath.c_str(), file.name, file.status) &&
        !(link && LinkStatus(entryPath.c_str(), file.name, file.status)))
      continue;
    if (link) MarkLink(file.status);
    found.push_back(std::move(file));
  }
  const int error = errno;  // from readdir: 0 when the whole folder was read
  ::closedir(dir);
  errno = error;
  return found;
}

bool MatchesWildcard(std::wstring_view name, std::wstring_view pattern) {
  if (MatchStars(name, pattern)) return true;
  // As on Windows, a trailing ".*" also matches a name without an extension:
  // "*.*" matches every name and "log.*" matches "log".
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == L".*") {
    return MatchStars(name, pattern.substr(0, pattern.size() - 2));
  }
  return false;
}

}  // namespace platform
