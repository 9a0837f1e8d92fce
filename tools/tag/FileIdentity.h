// What tells one state of a file from another, for acting later on a
// decision made now.
#pragma once

#include <cstdint>
#include <string>

namespace nimbrel_tag {

// The file's device and inode (the same file, not another one renamed into
// its place), size, modification time and a SHA-256 of its whole content (a
// tag edit that keeps the size and the time, as one fitting the padding with
// the time kept, still shows).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = -1;
  std::int64_t modifiedNs = -1;
  std::string sha256;  // lower-case hexadecimal

  // The identity of the file at `path` now; false with `error` when it
  // cannot be read.
  static bool Of(const std::string& path, FileIdentity& out, std::string& error);

  // What differs from `now`, for a person ("its content changed"); empty when nothing.
  std::string DifferenceTo(const FileIdentity& now) const;
};

}  // namespace nimbrel_tag
