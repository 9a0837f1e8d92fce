// When a file was made, where the file system keeps that.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// The birth time of the file at `path` (through links), in nanoseconds
// since 1970 (UTC). False when it cannot be examined, or when the kernel or
// file system keeps no birth time (there is then nothing to compare).
bool GetBirthTime(std::wstring_view path, std::int64_t& nanoseconds);

}  // namespace platform
