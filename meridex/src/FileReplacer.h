// Replaces a file's content so that the file is either wholly old or wholly
// new, whatever fails on the way (a full disk, a folder that may not be
// written, a crash).
#pragma once

#include <taglib/tbytevector.h>

#include <string>

#include "meridex/FileResult.h"
#include "platform/FileIdentity.h"

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

// The steps of ReplaceFileContent one by one, so that CSaveBatch can write
// many files first and make them durable together.

// A file's new content beside it, not yet in its place.
struct PreparedReplacement {
  std::wstring path;       // the file to replace
  std::wstring folder;     // its folder, ending with "/"
  std::wstring temporary;  // the hidden file holding the new content
  platform::FileIdentity written;  // the temporary file as it was written
};

// Everything before the rename: refuses a file the caller may not write,
// writes `content` to a new hidden file in the folder of `path`, flushes it
// to disk when `flush`, and gives it the permissions (and times) of `path`.
// On failure nothing is left behind.
FileResult PrepareReplacement(const std::wstring& path, const TagLib::ByteVector& content, bool keepTimes,
                              bool flush, PreparedReplacement& prepared);

// Renames the prepared file over its original; on failure removes it and
// leaves the original untouched. The folder is not synced.
FileResult InstallReplacement(const PreparedReplacement& prepared);

// "cannot save <path>: <step>: <the system's reason for the last error>".
CString ReplacementFailure(const std::wstring& step, const std::wstring& path);

}  // namespace Meridex
