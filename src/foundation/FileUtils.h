// File-level housekeeping on folders.
#pragma once

#include <cstdint>

#include "nimbrel/CString.h"

class CFileUtils {
 public:
  // Deletes from `folder` the files whose names end with `extension`
  // (without dot, any case; empty matches every file) and that were last
  // modified more than `ageDays` days ago (0: whatever their age). Every
  // subfolder is removed whole. Failures are logged; false when any occurred.
  static bool CleanUpFolderRecursively(const CString& folder, const CString& extension, std::int32_t ageDays);
};
