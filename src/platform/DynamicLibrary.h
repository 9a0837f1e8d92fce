// Run-time loading of shared objects (plug-ins, the optional profiler).
#pragma once

#include <string>

namespace platform {

// An open shared object; closes it when destroyed. Movable, not copyable.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = nullptr;
  }
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path` with immediate binding and local symbols. A name without a
  // slash is looked up in the standard library search path. On failure
  // returns false and, when `error` is given, stores the loader's text.
  bool Open(const std::wstring& path, std::wstring* error = nullptr);
  // Address of an exported symbol, or null.
  void* Symbol(const char* name) const;
  bool IsOpen() const { return handle_ != nullptr; }
  // Closes the module. False when it is still resident afterwards (another
  // reference, or a module the loader refuses to unload, such as one that
  // exports a GNU unique symbol): a replaced file would then not be read
  // again by the next Open. True when it went, or nothing was open.
  bool Close();

 private:
  void* handle_ = nullptr;
  std::string path_;  // as handed to the loader
};

// Keeps the shared object that contains `address` loaded until the process
// ends: later closes no longer unload it. A module that leaves a thread of its
// own running calls this, because unloading runs its destructors under the
// loader's lock, where they cannot wait for a thread that may itself load a
// module; at process exit they run without that lock. True when the module
// is pinned (or is the main program, which is never unloaded).
bool PinModuleContaining(const void* address);

}  // namespace platform
