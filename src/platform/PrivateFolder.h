// Folders that belong to the current user alone, for temporary files that
// other users must not read, replace or plant (a shared /tmp is the danger).
#pragma once

#include <string>
#include <string_view>

#include "platform/File.h"

namespace platform {

// The tag library's folder for picture copies: "Meridex/" below the per-user
// temporary folder (Env::Current()->TempFolder()). Not created here.
std::wstring UserTempFolder();

// Makes sure that `path` is a private folder (MakePrivateFolder), and first
// the per-user temporary folder when `path` lies below it and it is ours.
// False, with `problem` saying which check failed, when it cannot be created
// or fails a check; an existing folder is never changed.
bool EnsurePrivateFolder(std::wstring_view path, std::wstring& problem);

// Creates a new file `folder` + `prefix` + random letters + `suffix`, open
// for writing (File::Mode::kCreateNew: never an existing name, never through
// a link), and returns its path in `path`. `folder` ends with "/". False with
// LastError() set when no file could be created.
bool CreateUniqueFile(std::wstring_view folder, std::wstring_view prefix, std::wstring_view suffix, File& file,
                      std::wstring& path);

}  // namespace platform
