#include "platform/ModuleVersion.h"

#include <cstring>
#include <string>
#include <vector>

#include "nimbrel/ModuleVersion.h"
#include "platform/File.h"

namespace platform {

namespace {

// ELF constants, spelled out so that the reader does not depend on <elf.h>.
constexpr unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr unsigned char kClass32 = 1;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kLittleEndian = 1;
constexpr unsigned char kCurrentVersion = 1;
constexpr std::uint32_t kSectionProgBits = 1;
constexpr std::uint32_t kSectionNoBits = 8;
// The section name table of a module holds a few hundred bytes; more is not a module.
constexpr std::uint64_t kMaxNameTableSize = 1 << 20;
// The record may be followed by padding that a tool chain added; not by more.
constexpr std::uint64_t kMaxRecordSectionSize = 64;

std::uint64_t Load(const unsigned char* p, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Where the fields of interest lie in one ELF class.
struct Layout {
  std::size_t headerSize;
  std::size_t shoff, shentsize, shnum, shstrndx;  // in the file header
  int addressBytes;                                // 4 or 8
  std::size_t sectionHeaderSize;
  std::size_t name, type, offset, size;            // in a section header
};
constexpr Layout kLayout32 = {52, 32, 46, 48, 50, 4, 40, 0, 4, 16, 20};
constexpr Layout kLayout64 = {64, 40, 58, 60, 62, 8, 64, 0, 4, 24, 32};

struct Section {
  std::uint32_t name, type;
  std::uint64_t offset, size;
};

Section SectionAt(const Layout& l, const unsigned char* h) {
  return {static_cast<std::uint32_t>(Load(h + l.name, 4)), static_cast<std::uint32_t>(Load(h + l.type, 4)),
          Load(h + l.offset, l.addressBytes), Load(h + l.size, l.addressBytes)};
}

// True when [offset, offset + length) lies within `size`, without overflow.
bool Within(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

bool ReadAt(const ModuleImageReader& image, std::uint64_t offset, void* buffer, std::size_t length) {
  return Within(offset, length, image.size) && image.read(offset, buffer, length);
}

}  // namespace

bool ParseModuleVersion(const ModuleImageReader& image, ModuleFileVersion& out) {
  if (!image.read) return false;
  unsigned char header[64];
  if (!ReadAt(image, 0, header, 16)) return false;
  if (std::memcmp(header, kElfMagic, 4) != 0 || header[5] != kLittleEndian || header[6] != kCurrentVersion)
    return false;
  const Layout* layout = header[4] == kClass64 ? &kLayout64 : header[4] == kClass32 ? &kLayout32 : nullptr;
  if (!layout) return false;
  const Layout& l = *layout;
  if (!ReadAt(image, 0, header, l.headerSize)) return false;

  const std::uint64_t tableOffset = Load(header + l.shoff, l.addressBytes);
  const std::size_t entrySize = static_cast<std::size_t>(Load(header + l.shentsize, 2));
  const std::size_t count = static_cast<std::size_t>(Load(header + l.shnum, 2));
  const std::size_t namesIndex = static_cast<std::size_t>(Load(header + l.shstrndx, 2));
  // A count of 0 with a table means extended numbering, which no module needs;
  // an index at or past the count includes the reserved escape values.
  if (tableOffset == 0 || count == 0 || entrySize != l.sectionHeaderSize || namesIndex == 0 || namesIndex >= count)
    return false;
  // At most 65535 * 64 bytes, and only allocated when the file holds them.
  if (!Within(tableOffset, count * entrySize, image.size)) return false;
  std::vector<unsigned char> table(count * entrySize);
  if (!ReadAt(image, tableOffset, table.data(), table.size())) return false;

  const Section names = SectionAt(l, &table[namesIndex * entrySize]);
  if (names.type == kSectionNoBits || names.size == 0 || names.size > kMaxNameTableSize ||
      !Within(names.offset, names.size, image.size))
    return false;
  std::string nameTable(static_cast<std::size_t>(names.size), '\0');
  if (!ReadAt(image, names.offset, nameTable.data(), nameTable.size()) || nameTable.back() != '\0') return false;

  bool found = false;
  Section record{};
  for (std::size_t i = 1; i < count; ++i) {
    const Section s = SectionAt(l, &table[i * entrySize]);
    if (s.name >= nameTable.size()) return false;
    // The table ends with a NUL, so every name in it is terminated.
    if (std::strcmp(nameTable.c_str() + s.name, nimbrel::kModuleVersionSection) != 0) continue;
    if (found) return false;  // two records: no single version
    record = s;
    found = true;
  }
  if (!found || record.type != kSectionProgBits || record.size < nimbrel::kModuleVersionRecordSize ||
      record.size > kMaxRecordSectionSize || !Within(record.offset, record.size, image.size))
    return false;
  unsigned char bytes[nimbrel::kModuleVersionWithLevelSize] = {};
  const std::size_t length = record.size >= sizeof bytes ? sizeof bytes : nimbrel::kModuleVersionRecordSize;
  if (!ReadAt(image, record.offset, bytes, length)) return false;
  if (std::memcmp(bytes, nimbrel::kModuleVersionTag, sizeof nimbrel::kModuleVersionTag) != 0) return false;
  for (int i = 0; i < 4; ++i) out.parts[i] = static_cast<std::uint16_t>(Load(bytes + 8 + 2 * i, 2));
  // Without the level's tag after the version (padding, or an older stamp): level 1.
  const bool hasLevel = length == sizeof bytes &&
                        std::memcmp(bytes + 16, nimbrel::kSdkLevelTag, sizeof nimbrel::kSdkLevelTag) == 0;
  out.sdkLevel = hasLevel ? static_cast<std::uint32_t>(Load(bytes + 20, 4)) : 1;
  return true;
}

bool ParseModuleVersion(std::string_view image, ModuleFileVersion& out) {
  ModuleImageReader reader;
  reader.size = image.size();
  reader.read = [image](std::uint64_t offset, void* buffer, std::size_t length) {
    std::memcpy(buffer, image.data() + offset, length);
    return true;
  };
  return ParseModuleVersion(reader, out);
}

bool ReadModuleVersion(std::wstring_view path, ModuleFileVersion& out) {
  File file;
  if (!file.Open(path, File::Mode::kRead)) return false;
  const std::int64_t size = file.Size();
  if (size < 0) return false;
  ModuleImageReader reader;
  reader.size = static_cast<std::uint64_t>(size);
  reader.read = [&file](std::uint64_t offset, void* buffer, std::size_t length) {
    if (file.Seek(static_cast<std::int64_t>(offset), 0) != static_cast<std::int64_t>(offset)) return false;
    auto* at = static_cast<unsigned char*>(buffer);
    while (length > 0) {
      const std::int64_t n = file.Read(at, length);
      if (n <= 0) return false;  // error, or the file shrank under us
      at += n;
      length -= static_cast<std::size_t>(n);
    }
    return true;
  };
  return ParseModuleVersion(reader, out);
}

}  // namespace platform
