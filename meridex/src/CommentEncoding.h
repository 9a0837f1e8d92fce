// Whether the fields of a Vorbis comment (FLAC, Ogg Vorbis, Opus) are UTF-8,
// as the format requires. TagLib drops a field whose text is not (some old
// taggers wrote Latin-1) whenever it writes the comment again.
#pragma once

#include <taglib/tbytevector.h>

#include "MediaFormat.h"

namespace Meridex::xiph {

// Whether `text` is UTF-8.
bool IsUtf8(const TagLib::ByteVector& text);

// `comment`: a comment's content, from its vendor string's length on.
// False when a field's text is not UTF-8.
bool FieldsAreUtf8(const TagLib::ByteVector& comment);

// The same for the comment of `content`, a whole file of `format` (FLAC,
// Ogg Vorbis or Opus; any other is taken as fine).
bool FileFieldsAreUtf8(const TagLib::ByteVector& content, MediaFormat format);

}  // namespace Meridex::xiph
