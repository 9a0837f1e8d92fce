#include "core/PictureCopy.h"

#include "covers/CoverCache.h"

bool CPictureCopy::Make(const CString& picturePath, const CString& mimeType, Meridex::CPictureTag& out,
                        CCoverCache* covers) {
  CCoverCache& cache = covers ? *covers : CCoverCache::Instance();
  CString copy;
  if (picturePath.IsEmpty() || !cache.MakeTempCopy(picturePath, copy)) return false;
  // Type 0 and no description, as every picture the library writes.
  out = Meridex::CPictureTag(copy, mimeType, 0, CString(), true);
  return true;
}
