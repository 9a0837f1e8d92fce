// Saving changed fields into an MP3 (ID3v2) or FLAC file whose pictures stay
// as they are, without holding those pictures in memory: the tag is laid out
// anew from its other frames or blocks through TagLib, and the pictures'
// frames or blocks, like the audio, are ranges copied from the file.
//
// The result is what TagLib's own save gives, except that the picture
// frames of an ID3v2 tag come after the other frames. Layouts this does not
// know well enough (tag-wide unsynchronisation, an extended header or
// footer, ID3v2.2, an APE tag, a FLAC file with ID3 tags or several
// comments, anything unexpected) are left to TagLib's save.
#pragma once

#include <cstdint>

#include "FieldChanges.h"
#include "MediaFormat.h"
#include "NewContent.h"

namespace TagLib {
class IOStream;
}

namespace Meridex::spliced {

// Lays out into `made` the content of `source`, a file of `format` and
// `size` bytes, with `changes` written and its pictures kept. False, with
// `made` to be cleared, when the file is not one this handles.
bool Save(TagLib::IOStream& source, MediaFormat format, std::int64_t size, const FieldChanges& changes,
          NewContent& made);

}  // namespace Meridex::spliced
