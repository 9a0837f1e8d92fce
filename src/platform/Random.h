// Random bytes from the operating system's random source, for names that must
// not repeat (unique file names, GUIDs).
#pragma once

#include <cstddef>

namespace platform {

// Fills `buffer` with `size` bytes of the system's cryptographic random
// source. False (LastError() set) when the source cannot be read; the buffer
// content is then unspecified. A size of 0 succeeds.
bool RandomBytes(void* buffer, std::size_t size);

}  // namespace platform
