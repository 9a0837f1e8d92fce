// Real operating-system faults, switched on for a scope, so that tests can
// watch code fail the way it would on a full disk or in a folder it may not
// write to, without a special file system.
#pragma once

#include <cstdint>

namespace platform {

// While alive, no file of this process can grow beyond `bytes`: a write past
// the limit fails with EFBIG, as a full disk fails with ENOSPC. The signal the
// kernel would send for it is ignored meanwhile. Process-wide; one at a time.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(std::uint64_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  std::uint64_t previousSoft_ = 0;
  std::uint64_t previousHard_ = 0;
  bool active_ = false;
  void (*previousHandler_)(int) = nullptr;
};

// While alive, the calling thread obeys file permissions even when it runs
// as root (the capabilities that override them are lowered for this thread
// and raised again afterwards), so a read-only folder is read-only to it.
// Without those capabilities nothing changes.
class ScopedObeyFilePermissions {
 public:
  ScopedObeyFilePermissions();
  ~ScopedObeyFilePermissions();
  ScopedObeyFilePermissions(const ScopedObeyFilePermissions&) = delete;
  ScopedObeyFilePermissions& operator=(const ScopedObeyFilePermissions&) = delete;

 private:
  std::uint32_t previousEffective_[2] = {0, 0};
  bool active_ = false;
};

}  // namespace platform
