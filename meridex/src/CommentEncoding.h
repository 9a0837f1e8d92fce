// Whether the texts of a file's tags that are declared UTF-8 are: the fields
// of a Vorbis comment (FLAC, Ogg Vorbis, Opus), MP4 text items. TagLib drops
// or empties a text that is not (some old taggers wrote Latin-1) whenever it
// writes the tags again.
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
// Ogg Vorbis or Opus), or for the text items of an MP4 file (which TagLib
// empties when they are not UTF-8); any other is taken as fine.
bool FileFieldsAreUtf8(const TagLib::ByteVector& content, MediaFormat format);

}  // namespace Meridex::xiph
