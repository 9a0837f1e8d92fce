// Storage for a process-wide object that is never destroyed: it can still be
// used by anything that runs while the process or the library unloads. The
// object lives inside the module's own memory rather than on the heap, so a
// library that is unloaded leaves nothing allocated behind.
#pragma once

#include <new>
#include <utility>

namespace platform {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
