#include "PictureShape.h"

namespace Meridex {

namespace {

unsigned Byte(const TagLib::ByteVector& d, unsigned at) { return static_cast<unsigned char>(d[at]); }
unsigned Be16(const TagLib::ByteVector& d, unsigned at) { return Byte(d, at) << 8 | Byte(d, at + 1); }
unsigned Be32(const TagLib::ByteVector& d, unsigned at) { return Be16(d, at) << 16 | Be16(d, at + 2); }
unsigned Le16(const TagLib::ByteVector& d, unsigned at) { return Byte(d, at) | Byte(d, at + 1) << 8; }

PictureShape Png(const TagLib::ByteVector& d) {
  PictureShape shape;
  if (d.size() < 33 || d.mid(12, 4) != "IHDR") return shape;
  shape.width = static_cast<int>(Be32(d, 16));
  shape.height = static_cast<int>(Be32(d, 20));
  const int bits = static_cast<int>(Byte(d, 24));
  switch (Byte(d, 25)) {  // colour type: the number of samples per pixel
    case 0: shape.depth = bits; break;
    case 2: shape.depth = 3 * bits; break;
    case 3: {
      shape.depth = bits;
      // The palette chunk follows the header chunk (and perhaps others).
      for (unsigned at = 33; at + 8 <= d.size();) {
        const unsigned length = Be32(d, at);
        if (d.mid(at + 4, 4) == "PLTE") {
          shape.colours = static_cast<int>(length / 3);
          break;
        }
        if (d.mid(at + 4, 4) == "IDAT" || length > d.size()) break;
        at += 12 + length;
      }
      break;
    }
    case 4: shape.depth = 2 * bits; break;
    case 6: shape.depth = 4 * bits; break;
    default: break;
  }
  return shape;
}

PictureShape Jpeg(const TagLib::ByteVector& d) {
  PictureShape shape;
  unsigned at = 2;
  while (at + 9 < d.size()) {
    if (Byte(d, at) != 0xFF) return shape;
    const unsigned marker = Byte(d, at + 1);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    // Start of frame: every SOFn but DHT (C4), JPG (C8) and DAC (CC).
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      shape.height = static_cast<int>(Be16(d, at + 5));
      shape.width = static_cast<int>(Be16(d, at + 7));
      shape.depth = static_cast<int>(Byte(d, at + 4) * Byte(d, at + 9));
      return shape;
    }
    if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
      at += 2;
      continue;
    }
    at += 2 + Be16(d, at + 2);
  }
  return shape;
}

PictureShape Gif(const TagLib::ByteVector& d) {
  PictureShape shape;
  if (d.size() < 13) return shape;
  shape.width = static_cast<int>(Le16(d, 6));
  shape.height = static_cast<int>(Le16(d, 8));
  const unsigned packed = Byte(d, 10);
  shape.depth = static_cast<int>((packed & 0x07) + 1);
  if (packed & 0x80) shape.colours = 1 << shape.depth;
  return shape;
}

}  // namespace

PictureShape PictureShape::Of(const TagLib::ByteVector& data) {
  if (data.startsWith(TagLib::ByteVector("\x89PNG", 4))) return Png(data);
  if (data.startsWith(TagLib::ByteVector("\xFF\xD8\xFF", 3))) return Jpeg(data);
  if (data.startsWith(TagLib::ByteVector("GIF8", 4))) return Gif(data);
  return PictureShape();
}

}  // namespace Meridex
