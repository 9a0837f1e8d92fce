#include "core/CoverPixels.h"

#include "platform/Image.h"

std::int64_t CoverPixels::Of(const std::wstring& path) {
  platform::ImageHeader header;
  if (path.empty() || !platform::ProbeImageFile(path, header)) return 0;
  return header.width * header.height;
}

bool CoverPixels::Larger(const std::wstring& own, const std::wstring& found) {
  if (own.empty()) return false;
  return Of(own) > Of(found);
}
