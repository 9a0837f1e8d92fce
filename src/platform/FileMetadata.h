// What the file system holds about a file besides its content and times:
// owner, group, permissions, links and extended attributes (POSIX ACLs are
// extended attributes too: "system.posix_acl_access").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class File;

struct FileMetadata {
  bool regularFile = false;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t permissions = 0;  // 07777
  std::uint64_t links = 0;
  // Every extended attribute: name and value as the system gives them.
  std::vector<std::pair<std::string, std::string>> attributes;
};

// The metadata of `path` itself (a symbolic link is not followed). An
// attribute that cannot be listed or read (a file system without them)
// leaves the list empty; false only when the file cannot be examined.
bool ReadFileMetadata(std::wstring_view path, FileMetadata& metadata);

// Gives the open `file` the owner, group, extended attributes and then the
// permissions of `metadata`, and removes attributes `metadata` does not
// have (one inherited from the folder's default ACL). What the caller may
// not set (another owner without privilege, a group it is not in, an
// attribute of a protected namespace) is named in `unkept` and skipped;
// false, with LastError() set, on any other failure.
bool ApplyFileMetadata(File& file, const FileMetadata& metadata, std::vector<std::wstring>& unkept);

}  // namespace platform
