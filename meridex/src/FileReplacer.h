// Replaces a file's content so that the file is either wholly old or wholly
// new, whatever fails on the way (a full disk, a folder that may not be
// written, a crash).
#pragma once

#include <taglib/tbytevector.h>

#include <string>

#include "meridex/FileResult.h"

namespace Meridex {

// Writes `content` to a new hidden file in the folder of `path`, makes it
// durable, gives it the permissions of `path` (and its access and
// modification times with `keepTimes`), renames it over `path` and makes the
// rename durable. `path` must be a regular file, not a link (resolve first).
// A file the caller may not write is refused, although the folder would
// allow the rename: read-only means read-only.
// On failure the temporary file is removed, `path` is untouched, and the
// message names the step and the system's reason.
FileResult ReplaceFileContent(const std::wstring& path, const TagLib::ByteVector& content, bool keepTimes);

}  // namespace Meridex
