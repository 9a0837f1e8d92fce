// The picture a returned tag set carries: a private copy of a cover file in
// the cover cache's temporary folder, owned by the picture handles that
// share it. The copy is deleted when the last tag set (or picture handle)
// holding it is destroyed, so copies handed to the host never pile up; the
// file it was copied from (a cached cover, or a file of the host's own) is
// never touched.
#pragma once

#include "meridex/PictureTag.h"
#include "nimbrel/CString.h"

class CCoverCache;

class CPictureCopy {
 public:
  // Copies `picturePath` and gives `out` a picture of the copy with
  // `mimeType`, `type` and `description`, flagged for deletion from the start
  // (so Meridex owns the file whatever the holding tag set's temporary
  // folder). False, with `out` untouched, when the file is missing or cannot
  // be copied. `covers`: null for the process-wide cover cache.
  static bool Make(const CString& picturePath, const CString& mimeType, Meridex::CPictureTag& out,
                   CCoverCache* covers = nullptr, int type = 0, const CString& description = CString());
};
