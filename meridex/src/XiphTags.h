// The fields of a tag set in Vorbis comments, the tag of FLAC, Ogg Vorbis and
// Opus files, and pictures as FLAC picture records.
//
// Fields (one Vorbis field per value, all values kept): ARTIST, COMPOSER,
// TITLE, ALBUM, GENRE, DATE (YEAR read when there is none), TRACKNUMBER,
// COMMENT (DESCRIPTION read when there is none), COPYRIGHT, ENCODEDBY
// (ENCODED-BY read too), ORIGINALARTIST, LYRICS, URL. A changed value is
// written under the name it was read from, so a file's DESCRIPTION stays a
// DESCRIPTION. Writing touches only changed fields and keeps all others.
#pragma once

#include <taglib/flacpicture.h>
#include <taglib/tlist.h>

#include <memory>
#include <vector>

#include "EmbeddedPicture.h"
#include "FieldChanges.h"
#include "meridex/Tags.h"

namespace TagLib::Ogg {
class XiphComment;
}

namespace Meridex::xiph {

// Adds the fields of `comment` to `tags`.
void Read(const TagLib::Ogg::XiphComment& comment, CTags& tags);
// Puts the changed fields into `comment`; absent values remove their fields.
void Write(const FieldChanges& changes, TagLib::Ogg::XiphComment& comment);

// FLAC picture records, as FLAC files keep them in blocks and Ogg files in
// their comment (those holding bytes, in order).
void ReadPictures(const TagLib::List<TagLib::FLAC::Picture*>& records, std::vector<EmbeddedPicture>& pictures);
// A new record for `picture`; the caller hands it to TagLib, which owns it.
TagLib::FLAC::Picture* NewPictureRecord(const EmbeddedPicture& picture);

// The records a file gets for `pictures`: for a picture the file holds, a
// copy of its own record from `own` (in reading order; dimensions and all
// kept); otherwise a new record with the picture's bytes loaded and
// measured. False when bytes cannot be loaded.
bool PictureRecords(const std::vector<EmbeddedPicture>& pictures, const std::vector<TagLib::FLAC::Picture*>& own,
                    std::vector<std::unique_ptr<TagLib::FLAC::Picture>>& out);

}  // namespace Meridex::xiph
