// The hidden files Meridex keeps beside a media file while saving it, named
// so that a later process can tell whether their writer is still alive:
//   .meridex-<boot>.<pid>.<start>.<random>.tmp         a new content not yet in place,
//                                                       or a copy not yet complete
//   .meridex-<boot>.<pid>.<start>.<random>.i<inode>.orig  the complete copy of file
//                                                       <inode> of this folder, kept
//                                                       while that file is written in place
// <boot> is the start of the system's boot id, <start> the writer's start
// time in clock ticks: a reused pid never passes for the writer. The names
// are short whatever the media file's name, so a name of the system's full
// length can be saved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nimbrel/CString.h"

namespace Meridex::work_files {

// ".meridex-<boot>.<pid>.<start>." of this process.
const std::wstring& Prefix();
constexpr wchar_t kTemporarySuffix[] = L".tmp";
// ".i<inode>.orig"
std::wstring CopySuffix(std::uint64_t inode);

// Removes the unfinished files of writers that are no longer alive in
// `folder` (ending with "/") and restores each file a dead writer was
// writing in place from its copy; a copy whose file cannot be found is
// kept and reported. Only regular files of the current user are touched,
// never through a link; files of live writers (this process's included) and
// of other kinds are left alone. Returns what was done or found, for a
// person.
std::vector<CString> CleanUp(const std::wstring& folder);

// CleanUp once per folder and process: the first save into a folder calls
// it, and logs what it says.
void CleanUpOnce(const std::wstring& folder);

}  // namespace Meridex::work_files
