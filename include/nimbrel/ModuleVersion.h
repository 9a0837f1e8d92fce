// The version stamp of a plug-in module.
//
// A plug-in states its file version once, at namespace scope in exactly one
// of its source files:
//
//   #include "nimbrel/ModuleVersion.h"
//   NIMBREL_MODULE_VERSION(1, 2, 0, 7);
//
// Each number must be a constant expression from 0 to 65535; anything else
// fails to compile. A second stamp in the same module fails to link.
//
// The macro places a 24-byte record into the ELF section ".nimbrel_version"
// of the module, where the library reads it from the file's section headers
// without loading the module:
//
//   bytes 0-7    the tag "NIMBVER1"
//   bytes 8-15   major, minor, build and revision, each 16-bit little-endian
//   bytes 16-19  the tag "SDKL"
//   bytes 20-23  the SDK level the module was built against (kSdkLevel of
//                these headers), 32-bit little-endian
//
// The SDK level counts changes of the records exchanged with plug-ins
// (SongInfo.h, AlbumResult.h). Level 2 appended fields to TrackInfo and
// AlbumInfo. A module without the level (built before it existed) is of
// level 1; the library hands it records of the layout of level 1 and
// refuses a module of a level newer than its own.
//
// The record is marked used (and retained where the tool chain knows that), so
// neither the compiler nor the linker's section garbage collection drops it,
// and stripping keeps it. Readers accept padding after the record, up to a
// section of 64 bytes. A module without the section has no version.
#pragma once

#include <cstddef>

namespace nimbrel {

// Name of the section, the tag that begins the record and the record's size.
// Internal linkage (not inline variables): a plug-in that used an inline one
// would export it as a GNU unique symbol and could never be unloaded.
constexpr char kModuleVersionSection[] = ".nimbrel_version";
constexpr unsigned char kModuleVersionTag[8] = {'N', 'I', 'M', 'B', 'V', 'E', 'R', '1'};
constexpr std::size_t kModuleVersionRecordSize = 16;
// The SDK level of these headers, and the tag and size of the record that states it.
constexpr unsigned kSdkLevel = 2;
constexpr unsigned char kSdkLevelTag[4] = {'S', 'D', 'K', 'L'};
constexpr std::size_t kModuleVersionWithLevelSize = 24;

namespace detail {
constexpr bool IsModuleVersionNumber(long long n) { return n >= 0 && n <= 65535; }
}  // namespace detail

}  // namespace nimbrel

#if defined(__has_attribute)
#if __has_attribute(retain)
#define NIMBREL_DETAIL_RETAIN retain,
#endif
#endif
#ifndef NIMBREL_DETAIL_RETAIN
#define NIMBREL_DETAIL_RETAIN
#endif
// Clang's address sanitizer would pad the record with a red zone.
#if defined(__clang__)
#define NIMBREL_DETAIL_UNPADDED no_sanitize("address"),
#else
#define NIMBREL_DETAIL_UNPADDED
#endif

#define NIMBREL_DETAIL_VERSION_BYTES(n) \
  static_cast<unsigned char>((n) & 0xFF), static_cast<unsigned char>(((n) >> 8) & 0xFF)

#define NIMBREL_DETAIL_VERSION_CHECK(n) \
  static_assert(::nimbrel::detail::IsModuleVersionNumber(n), "module version numbers range from 0 to 65535")

#define NIMBREL_MODULE_VERSION(major, minor, build, revision)                                              \
  NIMBREL_DETAIL_VERSION_CHECK(major);                                                                    \
  NIMBREL_DETAIL_VERSION_CHECK(minor);                                                                    \
  NIMBREL_DETAIL_VERSION_CHECK(build);                                                                    \
  NIMBREL_DETAIL_VERSION_CHECK(revision);                                                                 \
  extern "C" __attribute__((used, NIMBREL_DETAIL_RETAIN NIMBREL_DETAIL_UNPADDED section(".nimbrel_version"), \
                            aligned(1))) const unsigned char nimbrel_module_version_record[24] = {         \
      'N', 'I', 'M', 'B', 'V', 'E', 'R', '1', NIMBREL_DETAIL_VERSION_BYTES(major),                        \
      NIMBREL_DETAIL_VERSION_BYTES(minor), NIMBREL_DETAIL_VERSION_BYTES(build),                           \
      NIMBREL_DETAIL_VERSION_BYTES(revision), 'S', 'D', 'K', 'L',                                         \
      NIMBREL_DETAIL_VERSION_BYTES(::nimbrel::kSdkLevel), NIMBREL_DETAIL_VERSION_BYTES(::nimbrel::kSdkLevel >> 16)}
