// Replaces a file's content so that the file is either wholly old or wholly
// new, whatever fails on the way (a full disk, a folder that may not be
// written, a crash), and keeps what the file system holds about it: owner,
// group, permissions, extended attributes and ACLs, and its other names.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "meridex/FileResult.h"
#include "platform/File.h"
#include "platform/FileIdentity.h"

namespace Meridex {

// Writes a file's new content into the open file given; false, with
// LastError() set, when that fails.
using ContentWriter = std::function<bool(platform::File&)>;

// A file's new content beside it, not yet in its place.
struct PreparedReplacement {
  std::wstring path;       // the file to replace
  std::wstring folder;     // its folder, ending with "/"
  std::wstring temporary;  // the hidden file holding the new content
  platform::FileIdentity written;   // the temporary file as it was written
  platform::FileIdentity original;  // the file as its content was read
  // The new content is copied into the file itself instead of renamed over
  // it: the file has other names (hard links), or holds something a new
  // file could not be given here (another owner, a protected attribute).
  bool inPlace = false;
  bool keepTimes = false;
};

// Everything before the file itself is touched: refuses a file the caller
// may not write, writes the new content (through `write`) to a new hidden file in the folder of
// `path` (a short name, see WorkFiles.h), gives it the owner, group,
// extended attributes, permissions (and times with `keepTimes`) of `path`,
// and flushes it to disk when `flush`. `original` is the identity of `path`
// when its content was read. On failure nothing is left behind.
FileResult PrepareReplacement(const std::wstring& path, const ContentWriter& write,
                              const platform::FileIdentity& original, bool keepTimes, bool flush,
                              PreparedReplacement& prepared);

// Puts the prepared content in place, unless the file is no longer the one
// that was read or another program holds it open for writing. A file with
// one name gets the new content by a rename; one to be written in place
// first gets a synced copy of its old content beside it, which is removed
// once the new content is durable (and which a later clean-up restores
// after a crash in between). On failure the file keeps its old content and
// the temporary file is removed. The folder is not synced after a rename.
FileResult InstallReplacement(const PreparedReplacement& prepared);

// PrepareReplacement (flushed), InstallReplacement, then the folder synced.
FileResult ReplaceFileContent(const std::wstring& path, const ContentWriter& write,
                              const platform::FileIdentity& original, bool keepTimes);

// Writes `bytes` into the existing file `path` itself (never through a
// link), cuts it to their length, gives it the access and modification times
// of `timesFrom` when that is not empty, and makes it durable.
FileResult WriteContentInPlace(const std::wstring& path, std::string_view bytes, const std::wstring& timesFrom);

// Whether saving into `path` could succeed as far as can be told without
// writing: the file exists and may be written, its folder may be written,
// and no other program is writing it. Fails with the message a save would give.
FileResult CheckReplaceable(const std::wstring& path);

// "cannot save <path>: <step>: <the system's reason for the last error>".
CString ReplacementFailure(const std::wstring& step, const std::wstring& path);

}  // namespace Meridex
