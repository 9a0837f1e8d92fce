// Run-time loading of shared objects (plug-ins, the optional profiler).
#pragma once

#include <string>

namespace platform {

// An open shared object; closes it when destroyed. Movable, not copyable.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
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
  void Close();

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
