// Drives the module version reader over arbitrary bytes. It must ask only for
// ranges inside the image, and a version it reports must come from a record
// that is really there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nimbrel/ModuleVersion.h"
#include "platform/ModuleVersion.h"

namespace {

unsigned Number(const std::uint8_t* p) { return p[0] | p[1] << 8; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::ModuleImageReader reader;
  reader.size = size;
  reader.read = [data, size](std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > size || length > size - offset) std::abort();
    std::memcpy(buffer, data + offset, length);
    return true;
  };
  platform::ModuleFileVersion version;
  if (!platform::ParseModuleVersion(reader, version)) return 0;

  const std::string_view image(reinterpret_cast<const char*>(data), size);
  const std::string_view tag(reinterpret_cast<const char*>(nimbrel::kModuleVersionTag), 8);
  for (std::size_t at = image.find(tag); at != std::string_view::npos; at = image.find(tag, at + 1)) {
    const std::uint8_t* n = data + at + 8;
    if (at + nimbrel::kModuleVersionRecordSize <= size && version.parts[0] == Number(n) &&
        version.parts[1] == Number(n + 2) && version.parts[2] == Number(n + 4) && version.parts[3] == Number(n + 6))
      return 0;
  }
  std::abort();  // a version without its record
}
