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
// as success (it may have been removed meanwhile). A symbolic link, as the
// path itself (with or without a trailing separator) or anywhere inside, is
// removed as a link; what it points to is never touched (platform::RemoveTree).
bool RemoveDirectoryRec(const CString& folder);
// Makes `folder` a folder only this user may use (created 0700 when
// missing). A symbolic link, a folder of another user or one writable by
// group or others is refused with an error entry: false, and the caller must
// neither write into it nor empty it.
bool AssurePrivateDir(const CString& folder);
// The user's temporary folder (platform::Env) with its trailing separator,
// made and checked with AssurePrivateDir when it is one of ours; empty when
// it is refused.
CString PrepareTempFolder();
// The entries of `folder` (ending with the separator), without "." and "..".
std::vector<platform::FoundFile> FolderEntries(const CString& folder);
// Appends the path separator unless `path` is empty or already ends with it.
void AddTrailingBackslash(CString& path);
