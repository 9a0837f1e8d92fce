// A picture as it travels inside a media file: bytes and their description.
#pragma once

#include <taglib/tbytevector.h>

#include "nimbrel/CString.h"

namespace Meridex {

struct EmbeddedPicture {
  TagLib::ByteVector data;
  CString mimeType;     // "image/jpeg"; may be empty when the format does not say
  int type = 3;         // picture type of ID3v2 and FLAC (3: front cover)
  CString description;
};

}  // namespace Meridex
