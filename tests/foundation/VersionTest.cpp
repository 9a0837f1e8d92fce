#include "foundation/Version.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/ModuleVersion.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;
using Parts = std::vector<std::int32_t>;

const std::wstring kStamped = platform::FromUtf8(NIMBREL_STAMPED_MODULE);
const std::wstring kUnstamped = platform::FromUtf8(NIMBREL_UNSTAMPED_MODULE);

Parts PartsOf(const CVersion& v) {
  Parts parts{-1};
  return v.GetParts(parts);
}

bool VersionOf(const std::string& image, Parts& parts) {
  platform::ModuleFileVersion v;
  if (!platform::ParseModuleVersion(image, v)) return false;
  parts.assign(v.parts, v.parts + 4);
  return true;
}

void Put(std::string& image, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
}

// A minimal little-endian ELF image: header, section names, contents, then the
// section headers (null, names, one per named section).
struct Section {
  std::string name, content;
};
std::string MakeElf(bool is64, const std::vector<Section>& sections) {
  const std::size_t entry = is64 ? 64 : 40;
  const int word = is64 ? 8 : 4;
  std::string image(is64 ? 64 : 52, '\0');
  const std::size_t namesAt = image.size();
  image += std::string("\0.shstrtab\0", 11);
  std::vector<std::size_t> nameAt, contentAt;
  for (const Section& s : sections) nameAt.push_back(image.size() - namesAt), image += s.name + '\0';
  const std::size_t namesSize = image.size() - namesAt;
  for (const Section& s : sections) contentAt.push_back(image.size()), image += s.content;
  const std::size_t table = image.size();
  image.append(entry * (2 + sections.size()), '\0');
  auto header = [&](std::size_t i, std::size_t name, std::uint32_t type, std::size_t offset, std::size_t size) {
    Put(image, table + i * entry, name, 4);
    Put(image, table + i * entry + 4, type, 4);
    Put(image, table + i * entry + (is64 ? 24 : 16), offset, word);
    Put(image, table + i * entry + (is64 ? 32 : 20), size, word);
  };
  header(1, 1, 3, namesAt, namesSize);
  for (std::size_t i = 0; i < sections.size(); ++i)
    header(2 + i, nameAt[i], 1, contentAt[i], sections[i].content.size());
  image.replace(0, 7, is64 ? "\x7F" "ELF\x02\x01\x01" : "\x7F" "ELF\x01\x01\x01");
  Put(image, is64 ? 40 : 32, table, word);
  Put(image, is64 ? 58 : 46, entry, 2);
  Put(image, is64 ? 60 : 48, 2 + sections.size(), 2);
  Put(image, is64 ? 62 : 50, 1, 2);
  return image;
}

std::string Record(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
  std::string r = "NIMBVER1";
  for (std::uint16_t n : {a, b, c, d}) r += static_cast<char>(n & 0xFF), r += static_cast<char>(n >> 8);
  return r;
}

TEST(Version, FromBuiltModules) {
  CVersion version;
  ASSERT_TRUE(version.SetVersionFromModule(kStamped.c_str()));
  EXPECT_EQ(version.GetText(), L"2.0.1.15");
  EXPECT_EQ(PartsOf(version), (Parts{2, 0, 1, 15}));

  ScratchFolder dir;
  WriteFileBytes(dir / L"text.so", "\x7F" "ELF is what this file is not");
  WriteFileBytes(dir / L"empty.so", "");
  for (const std::wstring& path : {kUnstamped, dir / L"text.so", dir / L"empty.so", dir / L"missing.so", dir.path()}) {
    ASSERT_TRUE(version.SetVersionFromString(L"9.9"));
    EXPECT_FALSE(version.SetVersionFromModule(path.c_str())) << platform::ToUtf8(path);
    EXPECT_TRUE(version.GetText().IsEmpty());
    EXPECT_EQ(PartsOf(version), Parts{});
  }
}

TEST(Version, TruncatedOrCorruptedModulesHaveNoVersion) {
  const std::string module = ReadFileBytes(kStamped);
  Parts parts;
  ASSERT_TRUE(VersionOf(module, parts));
  for (std::size_t length = 0; length < module.size(); ++length)
    EXPECT_FALSE(VersionOf(module.substr(0, length), parts)) << length;

  ScratchFolder dir;
  for (std::size_t length : {std::size_t{0}, std::size_t{16}, std::size_t{64}, module.size() / 2, module.size() - 1}) {
    WriteFileBytes(dir / L"cut.so", module.substr(0, length));
    platform::ModuleFileVersion v;
    EXPECT_FALSE(platform::ReadModuleVersion(dir / L"cut.so", v)) << length;
  }

  const std::size_t record = module.find("NIMBVER1");
  ASSERT_NE(record, std::string::npos);
  std::string changed = module;
  changed[record + 12] = 7;  // the build number, read from the file
  ASSERT_TRUE(VersionOf(changed, parts));
  EXPECT_EQ(parts, (Parts{2, 0, 7, 15}));
  changed[record + 7] = '2';
  EXPECT_FALSE(VersionOf(changed, parts));
}

TEST(Version, ElfStructureIsCheckedAtEveryStep) {
  Parts parts;
  const std::vector<Section> stamped = {{".text", "code"}, {".nimbrel_version", Record(1, 65535, 0, 258)}};
  ASSERT_TRUE(VersionOf(MakeElf(false, stamped), parts));
  EXPECT_EQ(parts, (Parts{1, 65535, 0, 258}));
  ASSERT_TRUE(VersionOf(MakeElf(true, {{".nimbrel_version", Record(1, 65535, 0, 258) + std::string(16, '\0')}}), parts));
  EXPECT_EQ(parts, (Parts{1, 65535, 0, 258}));  // padded, as some tool chains do

  const std::string elf = MakeElf(true, stamped);
  ASSERT_TRUE(VersionOf(elf, parts));
  const std::size_t table = elf.size() - 4 * 64;
  auto patched = [&](std::size_t at, std::uint64_t value, int bytes) {
    std::string copy = elf;
    Put(copy, at, value, bytes);
    return copy;
  };
  const std::size_t nameEnd = elf.find(".nimbrel_version") + 16;
  const std::string failing[] = {
      patched(5, 2, 1),  // big-endian
      patched(4, 3, 1),  // no such class
      patched(40, ~std::uint64_t{0} - 8, 8),  // table offset wraps around
      patched(60, 0xFFFF, 2),  // more sections than the file holds
      patched(60, 0, 2),  // extended numbering
      patched(62, 0xFFFF, 2),  // name table index escape
      patched(58, 40, 2),  // entry size of the other class
      patched(nameEnd, 'x', 1),  // name table not NUL-terminated
      patched(table + 3 * 64, 0x100000, 4),  // a name beyond the table
      patched(table + 3 * 64 + 24, ~std::uint64_t{0} - 4, 8),  // record offset wraps around
      patched(table + 3 * 64 + 32, 15, 8),  // record cut short
      patched(table + 3 * 64 + 32, 65, 8),  // more than padding
      patched(table + 3 * 64 + 4, 8, 4),  // record without content
      MakeElf(true, {{".nimbrel_version", Record(1, 2, 3, 4)}, {".nimbrel_version", Record(1, 2, 3, 4)}}),
      MakeElf(true, {{".nimbrel_versio", Record(1, 2, 3, 4)}}),
  };
  for (const std::string& image : failing) EXPECT_FALSE(VersionOf(image, parts)) << &image - failing;
}

TEST(Version, FromStringConvertsEachPieceLikeWtoi) {
  const struct {
    const wchar_t* text;
    Parts parts;
  } cases[] = {
      {L"", {0}},
      {L"1..2", {1, 0, 2}},
      {L"1.", {1, 0}},
      {L" 7x. -3.+4.\t5 6.a1", {7, -3, 4, 5, 0}},
      {L"2147483647.2147483648.99999999999999999999", {INT_MAX, INT_MAX, INT_MAX}},
      {L"-2147483648.-2147483649.-99999999999999999999", {INT_MIN, INT_MIN, INT_MIN}},
  };
  for (const auto& c : cases) {
    CVersion version;
    EXPECT_TRUE(version.SetVersionFromString(c.text));
    EXPECT_EQ(version.GetText(), c.text);
    EXPECT_EQ(PartsOf(version), c.parts) << platform::ToUtf8(c.text);
  }
}

TEST(Version, IsNewerOrEqualComparesPartByPart) {
  auto newerOrEqual = [](const wchar_t* a, const wchar_t* b) {
    CVersion x, y;
    if (a) x.SetVersionFromString(a);
    if (b) y.SetVersionFromString(b);
    return x.IsNewerOrEqual(y);
  };
  EXPECT_TRUE(newerOrEqual(L"1.2.0.0", L"1.2"));
  EXPECT_FALSE(newerOrEqual(L"1.2", L"1.2.0.0"));
  EXPECT_TRUE(newerOrEqual(L"1.2.3.4", L"1.2.3.4"));
  EXPECT_TRUE(newerOrEqual(L"1.10", L"1.9"));
  EXPECT_FALSE(newerOrEqual(L"1.-1", L"1.0"));
  EXPECT_TRUE(newerOrEqual(L"2", L"1.99.99"));
  // nullptr: a version without parts, as left by a module without a stamp.
  EXPECT_TRUE(newerOrEqual(nullptr, nullptr));
  EXPECT_FALSE(newerOrEqual(nullptr, L""));
  EXPECT_TRUE(newerOrEqual(L"", nullptr));
}

}  // namespace
