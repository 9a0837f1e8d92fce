// The fields of a tag set in the tag of WMA/ASF files, and their pictures.
//
// Fields: the content description's Title, Author (the artists, joined by
// "; " when there are several), Description (comment) and Copyright; the
// attributes WM/AlbumTitle, WM/Genre, WM/Year, WM/TrackNumber, WM/Composer,
// WM/Lyrics, WM/EncodedBy, WM/OriginalArtist and WM/AuthorURL (all values;
// numbers given as numbers are read as text and written back as numbers).
// Pictures are WM/Picture attributes. Writing touches only changed fields
// and keeps every other attribute as it is (the content description's
// unchanged texts too: see AsfContentDescription.h).
#pragma once

#include <vector>

#include "EmbeddedPicture.h"
#include "FieldChanges.h"
#include "meridex/Tags.h"

namespace TagLib::ASF {
class Tag;
}

namespace Meridex::asf {

// Adds the fields and pictures of `tag` to `tags` and `pictures`.
void Read(const TagLib::ASF::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures);
// Puts the changed fields into `tag` and, with `pictures`, makes those its
// pictures (the file's own ones copied as they are). False when a picture's
// bytes cannot be loaded.
bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::ASF::Tag& tag);

}  // namespace Meridex::asf
