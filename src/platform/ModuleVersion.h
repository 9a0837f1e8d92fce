// The file version of a module, read from its ".nimbrel_version" section
// (see nimbrel/ModuleVersion.h) without loading the module.
//
// Only little-endian ELF files, 32- or 64-bit, are understood. A file that is
// not one, whose headers or offsets point outside the file, whose section name
// table is not NUL-terminated, that uses extended section numbering, or whose
// version section is missing, duplicated, shorter than the 16-byte record or
// longer than 64 bytes (room for padding after it), or without the expected
// tag at its start has no version: the functions return false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace platform {

// Major, minor, build and revision, as the module states them.
struct ModuleFileVersion {
  std::uint16_t parts[4] = {0, 0, 0, 0};
  // The SDK level stated after the version; 1 for a record without one.
  std::uint32_t sdkLevel = 1;
};

// Random access to the bytes of a module image of `size` bytes. `read` fills
// `buffer` with the `length` bytes at `offset` and returns false when it
// cannot; it is only asked for ranges that lie within `size`.
struct ModuleImageReader {
  std::uint64_t size = 0;
  std::function<bool(std::uint64_t offset, void* buffer, std::size_t length)> read;
};

// Finds and checks the version record; `out` is changed only on success.
bool ParseModuleVersion(const ModuleImageReader& image, ModuleFileVersion& out);
// The same over an image held in memory.
bool ParseModuleVersion(std::string_view image, ModuleFileVersion& out);
// The same over a file (wide path, UTF-8 on disk), reading only the headers,
// the section name table and the record. False also when the file cannot be read.
bool ReadModuleVersion(std::wstring_view path, ModuleFileVersion& out);

}  // namespace platform
