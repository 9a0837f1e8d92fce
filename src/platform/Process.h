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

}  // namespace platform
