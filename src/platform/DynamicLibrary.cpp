#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include "platform/TextCodec.h"

namespace platform {

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    other.handle_ = nullptr;
  }
  return *this;
}

bool DynamicLibrary::Open(const std::wstring& path, std::wstring* error) {
  Close();
  ::dlerror();  // clear any stale text so that the one read below is ours
  path_ = ToNativeName(path);
  handle_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_) return true;
  if (error) {
    const char* text = ::dlerror();
    *error = text ? FromUtf8(text) : std::wstring(L"cannot load ") + path;
  }
  return false;
}

void* DynamicLibrary::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

bool DynamicLibrary::Close() {
  if (!handle_) return true;
  ::dlclose(handle_);
  handle_ = nullptr;
  // Asks for the module without loading it: a handle means it stayed.
  void* resident = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!resident) return true;
  ::dlclose(resident);
  return false;
}

bool PinModuleContaining(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || !info.dli_fname) return false;
  // Promotes the module, already loaded, to never-delete; the extra
  // reference taken here is never given back either.
  return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace platform
