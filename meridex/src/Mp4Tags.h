// The fields of a tag set in MP4 items, the tag of MP4/M4A files.
//
// Items: ©ART artists and ©wrt composers (several values), ©nam title, ©alb
// album, ©gen genre (the numeric gnre read too), ©day year, trkn track number
// ("7" or "7/12"), ©cmt comment, cprt copyright, ©too encoded-by, ©lyr
// lyrics, and free-form iTunes items ORIGINALARTIST and URL; covr pictures.
// An MP4 cover has no type or description: read ones are front covers (3)
// without description. Writing touches only the items of changed fields;
// a file's own covers are kept byte for byte.
#pragma once

#include <vector>

#include "EmbeddedPicture.h"
#include "FieldChanges.h"
#include "meridex/Tags.h"

namespace TagLib::MP4 {
class Tag;
}

namespace Meridex::mp4 {

void Read(const TagLib::MP4::Tag& tag, CTags& tags, std::vector<EmbeddedPicture>& pictures);
// Puts the changed fields into `tag` and, with `pictures`, makes those its
// covers (null: they stay). False when a picture's bytes cannot be loaded.
bool Write(const FieldChanges& changes, const std::vector<EmbeddedPicture>* pictures, TagLib::MP4::Tag& tag);

}  // namespace Meridex::mp4
