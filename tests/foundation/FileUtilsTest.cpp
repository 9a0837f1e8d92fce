#include "foundation/FileUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

TEST(FileUtils, ListFilesSkipsFoldersAndHiddenFilesInNameOrder) {
  ScratchFolder folder;
  for (const wchar_t* name : {L"b.jpg", L"A.jpg", L"Ærø ü.jpg", L".hidden.jpg", L"c.png", L"Best Of_1.jpg"})
    WriteFileBytes(folder / name, "x");
  std::filesystem::create_directory(platform::ToUtf8(folder / L"sub.jpg"));
  EXPECT_TRUE(PathExists(CString(folder / L"sub.jpg")));
  const CString dir(folder.path());
  const std::pair<const wchar_t*, std::vector<CString>> cases[] = {
      {L"*.jpg", {dir + L"A.jpg", dir + L"b.jpg", dir + L"Best Of_1.jpg", dir + L"Ærø ü.jpg"}},
      {L"*", {dir + L"A.jpg", dir + L"b.jpg", dir + L"Best Of_1.jpg", dir + L"c.png", dir + L"Ærø ü.jpg"}},
      {L"Best*", {dir + L"Best Of_1.jpg"}},
      {L"*.gif", {}},
  };
  for (const auto& [pattern, expected] : cases) {
    for (const CString& d : {dir, dir.Left(dir.GetLength() - 1)}) {  // one separator either way
      std::vector<CString> files{L"stale"};
      ListFiles(d, pattern, files);
      EXPECT_EQ(files, expected) << platform::ToUtf8(pattern);
    }
  }
}

TEST(FileUtils, ListFilesOfMissingOrUnreadableFolder) {
  ScratchFolder folder;
  std::vector<CString> files{L"stale"};
  ListFiles(CString(folder / L"missing"), L"*", files);  // quietly empty
  EXPECT_TRUE(files.empty());
  std::vector<std::wstring> lines;
  platform::SetDebugOutputSink([&](std::wstring_view t) { lines.emplace_back(t); });
  files = {L"stale"};
  ListFiles(CString(folder.path()), L"gone/*", files);  // the folder to enumerate cannot be opened
  platform::SetDebugOutputSink(nullptr);
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(lines,
            std::vector<std::wstring>{L"ListFiles: Error while finding next file - last error code [0x00000002]"});
}

TEST(FileUtils, MakeUniqueNameIsAnUpperCaseGuidAndUnique) {
  const std::wregex guid(L"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::wstring> seen;
  for (int i = 0; i < 1000; ++i) {
    const CString name = MakeUniqueName();
    ASSERT_EQ(name.GetLength(), 36);
    ASSERT_TRUE(std::regex_match(name.str(), guid)) << platform::ToUtf8(name.str());
    seen.insert(name.str());
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(FileUtils, RefreshFileCopyKeepsContentAndGetFileSizeOf) {
  ScratchFolder folder;
  const std::string content("plug-in\0bytes\xff", 14);
  WriteFileBytes(folder / L"Ünï.so", content);
  RefreshFileCopy(CString(folder / L"Ünï.so"));
  EXPECT_EQ(testing_support::ReadFileBytes(folder / L"Ünï.so"), content);
  EXPECT_FALSE(PathExists(CString(folder / L"Ünï.so_copy.tmp")));
  RefreshFileCopy(CString(folder / L"missing.so"));  // silent, creates nothing
  EXPECT_FALSE(PathExists(CString(folder / L"missing.so")));
  EXPECT_FALSE(PathExists(CString(folder / L"missing.so_copy.tmp")));
  // The size of a file; a missing one or a folder leaves the output alone.
  WriteFileBytes(folder / L"five", "12345");
  WriteFileBytes(folder / L"huge", "");  // sparse, just beyond 4 GiB: the low 32 bits count
  std::filesystem::resize_file(platform::ToUtf8(folder / L"huge"), (std::uintmax_t{1} << 32) + 3);
  std::uint32_t size = 77;
  EXPECT_TRUE(GetFileSizeOf(CString(folder / L"five"), size));
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(GetFileSizeOf(CString(folder / L"huge"), size));
  EXPECT_EQ(size, 3u);
  size = 77;
  EXPECT_FALSE(GetFileSizeOf(CString(folder / L"missing"), size));
  EXPECT_FALSE(GetFileSizeOf(CString(folder.path()), size));
  EXPECT_EQ(size, 77u);
}

}  // namespace
