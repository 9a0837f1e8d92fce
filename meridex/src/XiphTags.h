// The fields of a tag set in Vorbis comments, the tag of FLAC, Ogg Vorbis and
// Opus files, and pictures as FLAC picture records.
//
// Fields: ARTIST and COMPOSER (one field per value), TITLE, ALBUM, GENRE,
// DATE, TRACKNUMBER, COMMENT (DESCRIPTION read when there is none),
// COPYRIGHT, ENCODEDBY (ENCODED-BY read too), ORIGINALARTIST, LYRICS, URL.
// Writing replaces exactly these fields and keeps all others.
#pragma once

#include <taglib/flacpicture.h>
#include <taglib/tlist.h>

#include <vector>

#include "EmbeddedPicture.h"
#include "meridex/Tags.h"

namespace TagLib::Ogg {
class XiphComment;
}

namespace Meridex::xiph {

// Adds the fields of `comment` to `tags`.
void Read(const TagLib::Ogg::XiphComment& comment, CTags& tags);
// Puts the fields of `tags` into `comment`; absent values remove their fields.
void Write(const CTags& tags, TagLib::Ogg::XiphComment& comment);

// FLAC picture records, as FLAC files keep them in blocks and Ogg files in
// their comment.
void ReadPictures(const TagLib::List<TagLib::FLAC::Picture*>& records, std::vector<EmbeddedPicture>& pictures);
// A new record for `picture`; the caller hands it to TagLib, which owns it.
TagLib::FLAC::Picture* NewPictureRecord(const EmbeddedPicture& picture);

}  // namespace Meridex::xiph
