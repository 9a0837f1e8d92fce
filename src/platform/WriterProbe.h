// Whether another program holds a file open for writing, asked of the
// kernel just before the file is replaced.
#pragma once

#include <string_view>

#include "platform/FileIdentity.h"

namespace platform {

enum class WriterProbe {
  kNoWriter,      // the file is `expected` and nobody has it open for writing
  kUnknown,       // the file is `expected`; whether it is being written cannot be told here
  kBeingWritten,  // some process has it open for writing (or holds a write lease)
  kChanged,       // another file, or another version of it, is at `path` now
  kFailed,        // it cannot be opened or examined; LastError() says why
};

// Opens `path` read-only (never through a link), checks that it is still
// `expected` (device, inode, size, times), and takes a read lease, released
// at once: the kernel refuses a read lease while any descriptor of the file
// is open for writing, this process's own included. A lease needs the
// caller to own the file (or the CAP_LEASE capability) and a file system
// that grants leases (not NFS, not most FUSE file systems); elsewhere the
// answer is kUnknown.
WriterProbe ProbeWriters(std::wstring_view path, const FileIdentity& expected);

}  // namespace platform
