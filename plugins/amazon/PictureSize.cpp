#include "PictureSize.h"

#include <cstdint>

namespace amazon {

namespace {

unsigned Byte(std::string_view b, std::size_t i) { return static_cast<unsigned char>(b[i]); }

}  // namespace

bool PictureSize(std::string_view b, int& width, int& height) {
  if (b.size() >= 10 && (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a")) {
    width = static_cast<int>(Byte(b, 6) | (Byte(b, 7) << 8));
    height = static_cast<int>(Byte(b, 8) | (Byte(b, 9) << 8));
    return true;
  }
  if (b.size() >= 24 && b.substr(0, 8) == "\x89PNG\r\n\x1a\n" && b.substr(12, 4) == "IHDR") {
    const auto be32 = [&](std::size_t i) {
      return (Byte(b, i) << 24) | (Byte(b, i + 1) << 16) | (Byte(b, i + 2) << 8) | Byte(b, i + 3);
    };
    const std::uint32_t w = be32(16), h = be32(20);
    if (w > 0x7FFFFFFF || h > 0x7FFFFFFF) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
  }
  if (b.size() >= 4 && Byte(b, 0) == 0xFF && Byte(b, 1) == 0xD8) {
    std::size_t i = 2;
    while (i + 4 <= b.size()) {
      if (Byte(b, i) != 0xFF) return false;
      const unsigned marker = Byte(b, i + 1);
      if (marker == 0xFF) {  // fill byte
        ++i;
        continue;
      }
      if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
        i += 2;
        continue;
      }
      const std::size_t length = (Byte(b, i + 2) << 8) | Byte(b, i + 3);
      if (length < 2) return false;
      // Start of frame (baseline, progressive...), not DHT, JPG or DAC.
      if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
        if (i + 9 > b.size()) return false;
        height = static_cast<int>((Byte(b, i + 5) << 8) | Byte(b, i + 6));
        width = static_cast<int>((Byte(b, i + 7) << 8) | Byte(b, i + 8));
        return true;
      }
      if (marker == 0xDA || marker == 0xD9) return false;  // image data before any frame header
      i += 2 + length;
    }
  }
  return false;
}

}  // namespace amazon
