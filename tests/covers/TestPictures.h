// Picture files for the tests: well-formed ones made with libgd, and a
// hand-made PNG that declares any size.
#pragma once

#include <gd.h>

#include <cstdint>
#include <string>

#include "covers/Crc32.h"

namespace test_pictures {

enum class Kind { kJpeg, kPng, kGif, kBmp, kTiff, kWebp };

// A width × height colour gradient encoded as `kind`.
inline std::string Make(Kind kind, int width = 40, int height = 30) {
  gdImagePtr image = gdImageCreateTrueColor(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) gdImageSetPixel(image, x, y, gdTrueColor(x * 5 % 256, y * 7 % 256, 90));
  int size = 0;
  void* data = kind == Kind::kJpeg ? gdImageJpegPtr(image, &size, -1)
               : kind == Kind::kPng ? gdImagePngPtr(image, &size)
               : kind == Kind::kGif ? gdImageGifPtr(image, &size)
               : kind == Kind::kBmp ? gdImageBmpPtr(image, &size, 0)
               : kind == Kind::kTiff ? gdImageTiffPtr(image, &size)
                                     : gdImageWebpPtr(image, &size);
  gdImageDestroy(image);
  std::string bytes(static_cast<const char*>(data), static_cast<std::size_t>(size));
  gdFree(data);
  return bytes;
}

inline std::string Be32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

inline std::string PngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  return Be32(static_cast<std::uint32_t>(data.size())) + body + Be32(nimbrel::ComputeCrc32(body.data(), body.size()));
}

// A well-formed PNG of 65 bytes declaring width × height RGBA pixels (at
// 100000 × 100000 its data would unpack to 40 GB).
inline std::string PngDeclaring(std::uint32_t width, std::uint32_t height) {
  return std::string("\x89PNG\r\n\x1a\n", 8) +
         PngChunk("IHDR", Be32(width) + Be32(height) + std::string("\x08\x06\x00\x00\x00", 5)) +
         PngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + PngChunk("IEND", "");
}

}  // namespace test_pictures
