// CRC-32 as in IEEE 802.3 (also zlib, PNG): the polynomial 0x04C11DB7 in its
// reflected form 0xEDB88320, initial value all ones, final complement;
// computed a byte at a time through a table. The check value, the CRC of the
// ASCII text "123456789", is 0xCBF43926.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nimbrel {

class Crc32 {
 public:
  void Update(std::uint8_t byte);
  void Update(const void* data, std::size_t size);
  // The CRC of everything passed so far (the object can go on taking bytes).
  std::uint32_t Value() const { return ~state_; }

 private:
  std::uint32_t state_ = 0xFFFFFFFFu;
};

// The CRC of one block of bytes.
std::uint32_t ComputeCrc32(const void* data, std::size_t size);

}  // namespace nimbrel
