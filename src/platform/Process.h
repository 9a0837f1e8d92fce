// Identity of the running process and thread, and where its executable lives.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Kernel id of the calling thread (never 0).
std::uint32_t CurrentThreadId();
std::uint32_t CurrentProcessId();
// Full path of the running executable; empty when it cannot be read.
std::wstring ExecutablePath();
// The effective user id of the process.
std::uint32_t CurrentUserId();

// What tells one life of a process from another, for files a process names
// after itself: the pid is reused, the pid with its start time is not, and
// the boot id tells boots apart.
// The system's boot id without dashes (32 hex digits); empty when unknown.
std::string BootId();
// When process `pid` started, in clock ticks since boot; 0 when there is no
// such process (or it cannot be seen).
std::uint64_t ProcessStartTime(std::uint32_t pid);

}  // namespace platform
