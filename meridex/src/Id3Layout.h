// The layout of an ID3v2 tag at the start of a file, made plain before
// TagLib reads it. TagLib misreads two layouts and would save the file
// without what it missed: an ID3v2.3 extended header (whose size excludes
// itself; TagLib takes it for the 2.4 size and finds no frames after it) and
// an ID3v2.4 footer (whose ten bytes TagLib takes from the frames, losing
// the last one). Both are dropped here, with the unsynchronisation of an
// ID3v2.3 tag that has such a header; neither holds anything of the tag's
// content. Encrypted and grouped frames TagLib writes back without their
// flags, which garbles them, and an ID3v2.2 tag it writes as 2.4 without
// the frames 2.4 has no place for: a file holding them is not saved.
#pragma once

#include <taglib/tbytevector.h>

namespace Meridex::id3 {

// Whether `head`, the first ten bytes of a file, begin an ID3v2 tag with a
// layout that NormaliseLayout changes.
bool NeedsNormalising(const TagLib::ByteVector& head);

// Makes the leading ID3v2 tag of `content` (the whole file) plain, as above;
// a file without one stays as it is.
void NormaliseLayout(TagLib::ByteVector& content);

// Whether a frame of the leading ID3v2 tag of `content` is encrypted or
// grouped (in a tag NormaliseLayout has made plain), is a 2.4 text frame
// whose text is not the UTF-8 it claims (TagLib empties it), or, in an
// ID3v2.2 tag (which TagLib writes as 2.4), has no place in 2.4.
bool HoldsFramesTagLibGarbles(const TagLib::ByteVector& content);

// Whether the second flag byte of a frame header (its byte 9) of an ID3v2
// tag of `version` (3 or 4) says the frame is encrypted or grouped.
bool GarbledFlags(int version, unsigned char formatFlags);

}  // namespace Meridex::id3
