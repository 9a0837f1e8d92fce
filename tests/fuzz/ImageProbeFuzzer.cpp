// Drives the picture checks and the decoder over arbitrary bytes, as a cover
// download may deliver them. Whatever is accepted must declare a size within
// the limits, and nothing that the checks refuse may reach the decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/Image.h"

namespace {

bool WithinLimits(std::int64_t width, std::int64_t height) {
  return width >= 1 && height >= 1 && width <= platform::kMaxImageSide && height <= platform::kMaxImageSide &&
         width * height <= platform::kMaxImagePixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::ImageHeader header;
  const bool accepted = platform::ProbeImage(bytes, header);
  if (accepted && !WithinLimits(header.width, header.height)) std::abort();

  platform::Image image;
  if (!image.LoadFromMemory(bytes)) return 0;
  if (!accepted || !WithinLimits(image.Width(), image.Height())) std::abort();
  return 0;
}
