#include "platform/FileMetadata.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

// Errors that mean "not allowed or not possible here", as opposed to a failure.
bool NotPermitted(int error) { return error == EPERM || error == EACCES || error == ENOTSUP || error == EOPNOTSUPP; }

// Splits a list of names, each ended by a NUL, as listxattr gives them.
std::vector<std::string> Names(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < list.size()) {
    const std::size_t end = list.find('\0', start);
    const std::size_t stop = end == std::string::npos ? list.size() : end;
    if (stop > start) names.emplace_back(list, start, stop - start);
    start = stop + 1;
  }
  return names;
}

// Calls `get(buffer, size)` (a listxattr or getxattr variant) until the
// value fits; false when the call fails.
template <typename Get>
bool Fetch(Get get, std::string& out) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0) return false;
    out.resize(static_cast<std::size_t>(size));
    if (size == 0) return true;
    const ssize_t n = get(out.data(), out.size());
    if (n >= 0) {
      out.resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;  // grown meanwhile: ask again
  }
  return false;
}

}  // namespace

bool ReadFileMetadata(std::wstring_view path, FileMetadata& metadata) {
  const std::string native = NativePath(path);
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return false;
  metadata = FileMetadata{};
  metadata.regularFile = S_ISREG(st.st_mode);
  metadata.owner = st.st_uid;
  metadata.group = st.st_gid;
  metadata.permissions = static_cast<std::uint32_t>(st.st_mode) & 07777u;
  metadata.links = static_cast<std::uint64_t>(st.st_nlink);
  if (S_ISLNK(st.st_mode)) return true;
  std::string list;
  if (!Fetch([&](char* b, std::size_t n) { return ::llistxattr(native.c_str(), b, n); }, list)) return true;
  for (const std::string& name : Names(list)) {
    std::string value;
    if (Fetch([&](char* b, std::size_t n) { return ::lgetxattr(native.c_str(), name.c_str(), b, n); }, value))
      metadata.attributes.emplace_back(name, std::move(value));
  }
  return true;
}

bool ApplyFileMetadata(File& file, const FileMetadata& metadata, std::vector<std::wstring>& unkept) {
  const int fd = file.Descriptor();
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;

  // Owner and group first: a change of owner clears the set-id bits, which
  // the permissions then put back.
  const bool ownerDiffers = st.st_uid != metadata.owner;
  const bool groupDiffers = st.st_gid != metadata.group;
  if (ownerDiffers || groupDiffers) {
    if (::fchown(fd, metadata.owner, metadata.group) != 0) {
      if (!NotPermitted(errno)) return false;
      // Without privilege only the group may be ours to give.
      if (ownerDiffers) unkept.push_back(L"its owner");
      if (groupDiffers && ::fchown(fd, static_cast<uid_t>(-1), metadata.group) != 0) {
        if (!NotPermitted(errno)) return false;
        unkept.push_back(L"its group");
      }
    }
  }

  // What the new file has already (a label or ACL inherited from its
  // folder): what the original lacks goes, what it has the same stays
  // untouched, so that a protected attribute equal on both needs no privilege.
  std::vector<std::pair<std::string, std::string>> present;
  std::string list;
  if (Fetch([&](char* b, std::size_t n) { return ::flistxattr(fd, b, n); }, list)) {
    for (const std::string& name : Names(list)) {
      std::string value;
      if (Fetch([&](char* b, std::size_t n) { return ::fgetxattr(fd, name.c_str(), b, n); }, value))
        present.emplace_back(name, std::move(value));
    }
  }
  for (const auto& attribute : present) {
    const std::string& name = attribute.first;
    const bool wanted = std::any_of(metadata.attributes.begin(), metadata.attributes.end(),
                                    [&](const auto& a) { return a.first == name; });
    if (!wanted && ::fremovexattr(fd, name.c_str()) != 0 && errno != ENODATA) {
      if (!NotPermitted(errno)) return false;
      unkept.push_back(L"no attribute " + FromNativeName(name));
    }
  }
  for (const auto& attribute : metadata.attributes) {
    if (std::find(present.begin(), present.end(), attribute) != present.end()) continue;
    const auto& [name, value] = attribute;
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      if (!NotPermitted(errno)) return false;
      unkept.push_back(L"its attribute " + FromNativeName(name));
    }
  }
  // After the ACL: setting the permissions sets the ACL's mask from the
  // group bits, which are the original's mask again.
  return ::fchmod(fd, static_cast<mode_t>(metadata.permissions)) == 0;
}

}  // namespace platform
