// The content a media file gets when a tag set is saved into it, made in
// memory from the file as it is now.
#pragma once

#include <taglib/tbytevector.h>

#include <string>

#include "meridex/FileResult.h"
#include "meridex/Tags.h"
#include "platform/FileIdentity.h"

namespace Meridex {

struct NewContent {
  std::wstring target;            // the file to replace: the given path with every link resolved
  TagLib::ByteVector content;     // its whole new content
  platform::FileIdentity original;  // the target as it was when its content was read
};

// Reads the file at `path` (through links) and writes the values and
// pictures of `tags` into a copy of its content. Fails, with the message
// CTags::SaveFile gives, when a picture cannot be loaded, the file cannot
// be read, is empty or of no known kind, or TagLib cannot write it. May
// throw what TagLib throws (std::bad_alloc).
FileResult MakeNewContent(const CTags& tags, const CString& path, NewContent& made);

}  // namespace Meridex
