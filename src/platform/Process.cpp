#include "platform/Process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "platform/TextCodec.h"

namespace platform {

std::uint32_t CurrentThreadId() {
  // The kernel's thread id, as tools such as top and gdb show it; the raw
  // system call works with C libraries that lack the gettid() wrapper.
  return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::wstring ExecutablePath() {
  // readlink does not say how long the target is, so grow until it fits.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::wstring();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return FromNativeName(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
