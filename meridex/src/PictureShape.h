// The dimensions a FLAC picture record declares, read from the picture's
// own header: JPEG, PNG and GIF; other formats stay at 0 (unknown).
#pragma once

#include <taglib/tbytevector.h>

namespace Meridex {

struct PictureShape {
  int width = 0;
  int height = 0;
  int depth = 0;    // bits per pixel
  int colours = 0;  // palette size of an indexed picture, else 0

  // The shape of `data`; all 0 when the header is not understood.
  static PictureShape Of(const TagLib::ByteVector& data);
};

}  // namespace Meridex
