#include "platform/Process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/File.h"

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

std::uint32_t CurrentUserId() { return static_cast<std::uint32_t>(::geteuid()); }

std::string BootId() {
  std::string text;
  if (!File::ReadAll(L"/proc/sys/kernel/random/boot_id", text)) return std::string();
  std::string id;
  for (char c : text)
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) id += c;
  return id;
}

std::uint64_t ProcessStartTime(std::uint32_t pid) {
  if (pid == 0) return 0;
  std::string stat;
  if (!File::ReadAll(L"/proc/" + std::to_wstring(pid) + L"/stat", stat)) return 0;
  // "pid (name) state ppid ...": the name may hold blanks and parentheses,
  // so fields are counted after the last ")"; the start time is field 22.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  const char* p = stat.c_str() + close + 1;
  for (int field = 3; field < 22; ++field) {
    while (*p == ' ') ++p;
    while (*p && *p != ' ') ++p;
    if (!*p) return 0;
  }
  return std::strtoull(p, nullptr, 10);
}

}  // namespace platform
