#include "core/CoverPixels.h"

#include "platform/Image.h"

std::int64_t CoverPixels::Of(const std::wstring& path) {
  platform::ImageHeader header;
  if (path.empty() || !platform::ProbeImageFile(path, header)) return 0;
  return header.width * header.height;
}

std::int64_t CoverPixels::Of(const Meridex::CPictureTag& picture) {
  int width = 0, height = 0;
  if (picture.IsEmpty() || !picture.GetPixelSize(width, height)) return 0;
  return static_cast<std::int64_t>(width) * height;
}

bool CoverPixels::Larger(const Meridex::CPictureTag& own, const std::wstring& found) {
  if (own.IsEmpty()) return false;
  return Of(own) > Of(found);
}
