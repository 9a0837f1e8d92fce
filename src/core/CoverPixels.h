// Comparing cover pictures by what a person sees: their pixels.
#pragma once

#include <cstdint>
#include <string>

#include "meridex/PictureTag.h"

class CoverPixels {
 public:
  // Width × height that the picture file's header declares; 0 when the file
  // is missing or not a picture that can be recognised.
  static std::int64_t Of(const std::wstring& path);
  // The same for a picture of a tag set, without extracting it.
  static std::int64_t Of(const Meridex::CPictureTag& picture);
  // True when `own` is a picture of more pixels than `found`: a file's own
  // cover of 2200×2200 is not given up for one of 500×500, however their
  // bytes compare.
  static bool Larger(const Meridex::CPictureTag& own, const std::wstring& found);
};
