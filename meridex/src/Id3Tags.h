// The fields of a tag set in ID3 tags, the tag of MP3, WAV and AIFF files.
//
// ID3v2 frames: TPE1 artists and TCOM composers, TIT2 title, TALB album,
// TCON genre, TDRC year, TRCK track number, COMM comment, TCOP copyright,
// TENC encoded-by, TOPE original artist, USLT lyrics, WXXX URL, APIC
// pictures. Text frames keep all their values (ID3v2.4 lists them).
//
// A file may hold several comments and lyrics, in different languages and
// under different descriptions. The comment is the COMM frame without a
// description (a described one, such as iTunes' "iTunNORM", is a field of
// its own) in the user's language (see UserLanguage), else in English, else
// the first one; the lyrics are the USLT frame chosen the same way, one
// without a description before a described one of the same language. A
// changed value is written back into that very frame; the others stay as
// they are. Where there is none, a new frame goes in the user's language
// (English when it is unknown) without a description.
//
// Writing touches only the frames of changed fields (see FieldChanges) and
// keeps all others.
#pragma once

#include <vector>

#include "EmbeddedPicture.h"
#include "FieldChanges.h"
#include "meridex/Tags.h"

namespace TagLib {
class Tag;
namespace ID3v2 {
class Tag;
}
}  // namespace TagLib

namespace Meridex::id3 {

// Adds the fields of `tag` to `tags` and its pictures to `pictures`.
void Read(const TagLib::ID3v2::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures);
// Adds the fields of a basic tag (ID3v1, RIFF INFO): one artist, title,
// album, genre, comment, year and track number.
void ReadBasic(const TagLib::Tag& tag, CTags& tags);

// Puts the changed fields into `tag`; absent values remove their frames.
// With `pictures`, the tag's pictures become these (null: they stay as they
// are). False when a picture's bytes cannot be loaded.
bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::ID3v2::Tag& tag);
// Puts the changed fields that a basic tag can hold into it, so that the
// tags of a file agree.
void WriteBasic(const FieldChanges& changes, TagLib::Tag& tag);

}  // namespace Meridex::id3
