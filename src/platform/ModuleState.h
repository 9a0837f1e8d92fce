// Marks an entry into the library from outside (an exported function, an
// interface call, a callback). A Windows build switches to the library's own
// module state here for the duration of the call; on Linux there is nothing
// to switch.
#pragma once

namespace platform {

class ModuleStateGuard {
 public:
  // User-provided, as a real switch would be, so that a guard object is never
  // taken for an unused variable.
  ModuleStateGuard() {}
  ~ModuleStateGuard() {}
  ModuleStateGuard(const ModuleStateGuard&) = delete;
  ModuleStateGuard& operator=(const ModuleStateGuard&) = delete;
};

}  // namespace platform
