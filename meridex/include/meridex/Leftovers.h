// The hidden files an interrupted save leaves beside the music.
#pragma once

#include <vector>

#include "meridex/Export.h"
#include "nimbrel/CString.h"

namespace Meridex {

// Saving keeps hidden work files beside the media file for a moment
// (".meridex-<boot>.<pid>.<start>.<random>.tmp", and ".….i<inode>.orig"
// for the copy of a file with several names that is written in place). A
// process killed meanwhile leaves them; this tidies `folder` (ending with
// "/") after such processes: their unfinished files are removed, and a
// file a dead process was writing in place gets its old content back from
// the copy (a copy whose file is no longer in the folder is kept and
// reported). Files of processes still running, of other users, links and
// anything else are left alone. Saving does this by itself for each folder
// the first time it saves into it in a process; a host that walks folders
// may call it first, so that a file is restored before it is read. Returns
// what was done or found, one text each, for a person.
MERIDEX_EXPORT std::vector<CString> CleanUpFolder(const CString& folder);

}  // namespace Meridex
