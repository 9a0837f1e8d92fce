// ID3v2's sync-safe numbers: 28 bits in four bytes of seven bits each, so
// that no size field holds the byte pattern of an MPEG frame start.
#pragma once

#include <taglib/tbytevector.h>

#include <cstdint>

namespace Meridex {

// The number at `at` (four bytes must follow); false when a byte has its top bit set.
inline bool SyncSafe(const TagLib::ByteVector& bytes, unsigned at, std::uint32_t& value) {
  value = 0;
  for (unsigned i = 0; i < 4; ++i) {
    const unsigned byte = static_cast<unsigned char>(bytes[at + i]);
    if (byte & 0x80) return false;
    value = (value << 7) | byte;
  }
  return true;
}

// `value` (below 2^28) as four sync-safe bytes.
inline TagLib::ByteVector SyncSafeBytes(std::uint32_t value) {
  TagLib::ByteVector bytes(4, '\0');
  for (int i = 3; i >= 0; --i, value >>= 7) bytes[static_cast<unsigned>(i)] = static_cast<char>(value & 0x7F);
  return bytes;
}

}  // namespace Meridex
