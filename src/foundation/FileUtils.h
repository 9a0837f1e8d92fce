// File-level housekeeping: listing, unique names, refreshing copies, sizes.
//
// Failures are logged at error level where noted and reported by results;
// nothing throws. Folder paths may or may not end with the path separator.
#pragma once

#include <cstdint>
#include <vector>

#include "nimbrel/CString.h"

class CFileUtils {
 public:
  // Deletes from `folder` the files whose names end with `extension`
  // (without dot, any case; empty matches every file) and that were last
  // modified more than `ageDays` days ago (0: whatever their age). Every
  // subfolder is removed whole. Failures are logged; false when any occurred.
  static bool CleanUpFolderRecursively(const CString& folder, const CString& extension, std::int32_t ageDays);
};

// True when a file or folder exists at `path` (a link counts when its target exists).
bool PathExists(const CString& path);

// Replaces `files` with the full paths (folder + separator + name) of the
// files in `folder` whose names match the wildcard `pattern` ("*", "?";
// case-sensitive). Folders and hidden files (names beginning with ".") are
// left out; subfolders are not searched. Sorted by name, without regard to
// case first. A missing folder gives an empty list; a failed enumeration is
// logged and leaves what was found until then.
void ListFiles(const CString& folder, const CString& pattern, std::vector<CString>& files);

// A new text that is unique with overwhelming likelihood: a random GUID in
// upper-case hexadecimal, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (36
// characters, no braces). "unique" when the system's random source fails.
CString MakeUniqueName();

// Rewrites `file` as a fresh copy of itself: copies it to `file` + "_copy.tmp"
// and moves that copy over `file`. Failures are silent and leave `file` and
// no temporary copy behind.
void RefreshFileCopy(const CString& file);

// The size of `file` in bytes, truncated to its low 32 bits; false when the
// file cannot be opened for reading (missing, unreadable, a folder).
bool GetFileSizeOf(const CString& file, std::uint32_t& size);
