// Making sure folders exist, creating and removing folder trees.
//
// Failures are logged at error level and reported as false; nothing throws.
// Folder paths end with the platform separator (see AddTrailingBackslash).
#pragma once

#include <vector>

#include "nimbrel/CString.h"
#include "platform/FileSystem.h"

// True when `folder` exists as a folder or was created (one level, no parents).
bool AssureDirExists(const CString& folder);
// Creates `folder` with every missing parent; true when it exists afterwards.
bool CreateDirectoryRecursive(const CString& folder);
// Deletes `folder` with all its content. A path that is not a folder counts
// as success (it may have been removed meanwhile). Symbolic links inside are
// removed as links; what they point to is never touched.
bool RemoveDirectoryRec(const CString& folder);
// The entries of `folder` (ending with the separator), without "." and "..".
std::vector<platform::FoundFile> FolderEntries(const CString& folder);
// Appends the path separator unless `path` is empty or already ends with it.
void AddTrailingBackslash(CString& path);
