#include "core/PictureCopy.h"

#include "covers/CoverCache.h"

bool CPictureCopy::Make(const CString& picturePath, const CString& mimeType, Meridex::CPictureTag& out,
                        CCoverCache* covers, int type, const CString& description) {
  CCoverCache& cache = covers ? *covers : CCoverCache::Instance();
  CString copy;
  if (picturePath.IsEmpty() || !cache.MakeTempCopy(picturePath, copy)) return false;
  out = Meridex::CPictureTag(copy, mimeType, type, description, true);
  return true;
}
