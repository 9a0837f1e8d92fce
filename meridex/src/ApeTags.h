// The fields of a tag set in an APE tag, which some MP3 files carry instead
// of (or beside) ID3 tags: read when a file has no ID3v2 tag, and kept in
// step with changed fields when present.
//
// Items: ARTIST and COMPOSER (all values), TITLE, ALBUM, GENRE, YEAR (DATE),
// TRACK (TRACKNUMBER), COMMENT, COPYRIGHT, LYRICS.
#pragma once

#include "FieldChanges.h"
#include "meridex/Tags.h"

namespace TagLib::APE {
class Tag;
}

namespace Meridex::ape {

// Adds the fields of `tag` to `tags`.
void Read(const TagLib::APE::Tag& tag, CTags& tags);
// Puts the fields changed since reading into `tag`; absent values remove
// their items; other items stay as they are.
void Write(const FieldChanges& changes, TagLib::APE::Tag& tag);
// True when every field changed since reading has an item here, so that an
// APE tag can take the changes on its own.
bool Holds(const FieldChanges& changes);

}  // namespace Meridex::ape
