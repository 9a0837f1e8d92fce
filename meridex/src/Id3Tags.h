// The fields of a tag set in ID3 tags, the tag of MP3, WAV and AIFF files.
//
// ID3v2 frames: TPE1 artists and TCOM composers (several values), TIT2
// title, TALB album, TCON genre, TDRC year, TRCK track number, COMM comment
// (the one without description), TCOP copyright, TENC encoded-by, TOPE
// original artist, USLT lyrics, WXXX URL (the one without description), APIC
// pictures. Writing replaces exactly these frames and keeps all others.
#pragma once

#include <vector>

#include "EmbeddedPicture.h"
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

// Puts the fields of `tags` and `pictures` into `tag`; absent values remove
// their frames. Texts are written as UTF-8 (TagLib turns them into UTF-16
// when it renders ID3v2.3).
void Write(const CTags& tags, const std::vector<EmbeddedPicture>& pictures, TagLib::ID3v2::Tag& tag);
// Puts what a basic tag can hold into it, so that the tags of a file agree.
void WriteBasic(const CTags& tags, TagLib::Tag& tag);

}  // namespace Meridex::id3
