// The tags of each media format through TagLib: which TagLib file class
// reads a format, which tag of it holds the fields, and how it is saved.
//
//   MP3   ID3v2 (an APE, else an ID3v1 tag is read when there is no ID3v2
//         tag; both are kept in step when present); saved as ID3v2.4 unless
//         the file has ID3v2.3. A file with only an APE tag (and ID3v1)
//         gets no ID3v2 tag unless a picture or a field APE lacks is written.
//   FLAC  Vorbis comment and PICTURE blocks.
//   MP4   MP4 items and covr.
//   Ogg Vorbis, Opus  Vorbis comment with pictures inside it.
//   WAV   ID3v2 chunk (RIFF INFO read when there is no ID3v2, kept in step).
//   AIFF  ID3v2 chunk.
//   WMA   the ASF tag (content description and attributes, WM/Picture).
#pragma once

#include <vector>

#include "EmbeddedPicture.h"
#include "FieldChanges.h"
#include "MediaFormat.h"
#include "meridex/Tags.h"

namespace TagLib {
class IOStream;
}

namespace Meridex::formats {

// Adds the tags of `stream`, a file of `format`, to `tags` and `pictures`.
// `fromMainTag` tells whether they came from the tag that Write writes (see
// ReadState). False when TagLib does not find a valid file of that format.
bool Read(TagLib::IOStream& stream, MediaFormat format, CTags& tags, std::vector<EmbeddedPicture>& pictures,
          bool& fromMainTag);

// Writes the changed fields into the tags of `stream`, a writable file of
// `format`, and, with `pictures`, makes those its pictures (null: the
// file's pictures stay as they are). False when TagLib does not find a
// valid file of that format or cannot save it.
bool Write(TagLib::IOStream& stream, MediaFormat format, const FieldChanges& changes,
           const std::vector<EmbeddedPicture>* pictures);

// Off, reads take no length (it stays 0) and read no audio description: for
// the benchmark that times what the length adds to a read, never otherwise.
// Not exported; set before any read.
void SetLengthReading(bool on);

}  // namespace Meridex::formats
