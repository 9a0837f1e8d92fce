// The pixel size of a picture from the first bytes of its file (GIF, PNG,
// JPEG), without decoding it.
#pragma once

#include <string_view>

namespace amazon {

// False when the bytes are none of these formats or end before the size.
bool PictureSize(std::string_view bytes, int& width, int& height);

// The service answers an unknown article number with a tiny placeholder;
// anything this small is not a cover.
inline constexpr int kMinCoverSide = 10;

}  // namespace amazon
