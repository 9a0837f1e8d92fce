// Whether a media file could be saved, asked without saving it: what a
// host's dry run says instead of promising a write that would fail.
#pragma once

#include "meridex/Export.h"
#include "meridex/FileResult.h"
#include "nimbrel/CString.h"

namespace Meridex {

// Makes the checks CTags::SaveFile makes before it writes: the file (links
// resolved) exists and may be written, its folder may be written (the new
// content is made there), and no other program holds it open for writing.
// Nothing is written. Fails with the message the save would give. A save
// may still fail for what cannot be known beforehand (a full disk).
MERIDEX_EXPORT FileResult CheckSave(const CString& path);

}  // namespace Meridex
