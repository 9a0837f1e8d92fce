// A picture as it travels inside a media file: bytes and their description.
#pragma once

#include <taglib/tbytevector.h>

#include <cstdint>

#include "meridex/PictureTag.h"
#include "nimbrel/CString.h"

namespace Meridex {

struct EmbeddedPicture {
  TagLib::ByteVector data;
  CString mimeType;     // "image/jpeg"; may be empty when the format does not say
  int type = 3;         // picture type of ID3v2 and FLAC (3: front cover)
  CString description;
  // What FLAC picture records declare; 0 when unknown.
  int width = 0;
  int height = 0;
  int depth = 0;    // bits per pixel
  int colours = 0;  // for indexed pictures, the palette's size

  // A picture the file already holds, as its `fileIndex`-th picture (in the
  // order reading finds them): saving keeps the file's own record when it
  // still holds bytes of this size and hash, and otherwise loads `path`
  // (when empty, that of `source`, extracted only then).
  // -1 for a new picture, whose bytes are in `data`.
  int fileIndex = -1;
  CString path;
  CPictureTag source;
  std::uint32_t size = 0;
  std::uint64_t hash = 0;
};

}  // namespace Meridex
