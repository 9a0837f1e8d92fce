#include "foundation/FolderHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/FileUtils.h"
#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "support/FakeEnv.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::FakeEnv;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

// Captures what the (closed) process-wide master log sends to the debugger output.
class LogCapture {
 public:
  LogCapture() {
    platform::SetDebugOutputSink([this](std::wstring_view t) { lines.emplace_back(t); });
  }
  ~LogCapture() { platform::SetDebugOutputSink(nullptr); }
  bool Contains(const std::wstring& text) const {
    for (const auto& l : lines)
      if (l == text) return true;
    return false;
  }
  std::vector<std::wstring> lines;
};

std::filesystem::path Native(const std::wstring& p) { return std::filesystem::path(platform::ToNativeName(p)); }

TEST(FolderHelpers, AssureDirExistsAndCreateDirectoryRecursive) {
  ScratchFolder folder;
  LogCapture log;
  EXPECT_TRUE(AssureDirExists(folder.path().c_str()));
  EXPECT_TRUE(AssureDirExists((folder / L"new é").c_str()));
  EXPECT_TRUE(platform::IsDirectory(folder / L"new é"));

  WriteFileBytes(folder / L"file", "x");
  const CString file((folder / L"file").c_str());
  EXPECT_FALSE(AssureDirExists(file));
  EXPECT_TRUE(log.Contains(L"AssureDirExists: '" + file.str() + L"' exists but is not a folder"));

  const CString deep((folder / L"missing/child").c_str());  // one level only: no parents
  EXPECT_FALSE(AssureDirExists(deep));
  EXPECT_TRUE(log.Contains(L"AssureDirExists: Error creating dir '" + deep.str() + L"'"));

  EXPECT_TRUE(CreateDirectoryRecursive((folder / L"a/b/c/d/").c_str()));
  EXPECT_TRUE(platform::IsDirectory(folder / L"a/b/c/d"));
  EXPECT_TRUE(CreateDirectoryRecursive((folder / L"a/b").c_str()));
  EXPECT_FALSE(CreateDirectoryRecursive((folder / L"file/").c_str()));
  EXPECT_FALSE(CreateDirectoryRecursive((folder / L"file/under").c_str()));
  EXPECT_FALSE(CreateDirectoryRecursive(L""));
  CString empty;
  AddTrailingBackslash(empty);
  EXPECT_EQ(empty, L"");
}

// The cover cache removes "<temp>/Nimbrel/tmp/" at unload: a link planted
// there goes as a link, and the folder it names keeps its files. (Links
// inside a tree are the platform's removal tests.)
TEST(FolderHelpers, RemoveDirectoryRecRemovesTreesButTakesAPlantedLinkAsALink) {
  ScratchFolder temp, victim;
  WriteFileBytes(victim / L"photo.jpg", "mine");
  ASSERT_TRUE(CreateDirectoryRecursive((temp / L"Nimbrel/sub/deeper").c_str()));
  WriteFileBytes(temp / L"Nimbrel/sub/deeper/ü.bin", "3");
  std::filesystem::create_directory_symlink(Native(victim.path()), Native(temp / L"Nimbrel/tmp"));
  EXPECT_TRUE(RemoveDirectoryRec((temp / L"Nimbrel/tmp/").c_str()));
  EXPECT_FALSE(std::filesystem::is_symlink(Native(temp / L"Nimbrel/tmp")));
  EXPECT_EQ(testing_support::ReadFileBytes(victim / L"photo.jpg"), "mine");
  EXPECT_TRUE(RemoveDirectoryRec((temp / L"Nimbrel").c_str()));
  EXPECT_FALSE(platform::PathExists(temp / L"Nimbrel"));

  LogCapture log;
  const CString gone((temp / L"Nimbrel").c_str());
  EXPECT_TRUE(RemoveDirectoryRec(gone));
  EXPECT_TRUE(log.Contains(L"RemoveDirectoryRec : " + gone.str() + L" is not a directory (maybe was deleted shortly)"));
}

TEST(FolderHelpers, PrivateTemporaryFolderIsRefusedWhenNotOurs) {
  ScratchFolder folder;
  FakeEnv env;
  platform::ScopedEnv scoped(&env);
  env.SetTempFolder(folder / L"nimbrel-1000/", true);
  EXPECT_EQ(PrepareTempFolder(), CString(folder / L"nimbrel-1000/"));
  EXPECT_EQ(std::filesystem::status(Native(folder / L"nimbrel-1000")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  // Planted beforehand by someone else: a link, or a folder others may write to.
  ScratchFolder elsewhere;
  std::filesystem::create_directory_symlink(Native(elsewhere.path()), Native(folder / L"link"));
  ASSERT_TRUE(platform::CreateDirectory(folder / L"open"));
  std::filesystem::permissions(Native(folder / L"open"), std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  LogCapture log;
  env.SetTempFolder(folder / L"link/", true);
  EXPECT_EQ(PrepareTempFolder(), L"");
  env.SetTempFolder(folder / L"open/", true);
  EXPECT_EQ(PrepareTempFolder(), L"");
  EXPECT_TRUE(log.Contains(L"AssurePrivateDir: '" + folder / L"link/" + L"' is a symbolic link or not a folder; it is not used"));
  EXPECT_TRUE(log.Contains(L"AssurePrivateDir: '" + folder / L"open/" + L"' is writable by group or others; it is not used"));
  // A folder the user chose is taken as it is.
  env.SetTempFolder(folder / L"open", false);
  EXPECT_EQ(PrepareTempFolder(), CString(folder / L"open/"));
}

class CleanUpTest : public ::testing::Test {
 protected:
  void Aged(const std::wstring& name, int days) {
    WriteFileBytes(folder / name, "x");
    ASSERT_TRUE(platform::SetFileTimes(folder / name, env.UnixTime() - days * 86400LL - 60));
  }
  FakeEnv env{2026, 6, 1, 12, 0, 0};
  platform::ScopedEnv scoped{&env};
  ScratchFolder folder;
};

TEST_F(CleanUpTest, DeletesOldMatchingFilesAndEverySubfolder) {
  Aged(L"four.txt", 4);
  Aged(L"six.TXT", 6);
  Aged(L"six.log", 6);
  Aged(L"sixtxt", 6);  // the extension is compared as the last characters, dot or not
  ASSERT_TRUE(CreateDirectoryRecursive((folder / L"sub/inner").c_str()));
  WriteFileBytes(folder / L"sub/inner/new.dat", "x");

  EXPECT_TRUE(CFileUtils::CleanUpFolderRecursively(folder.path().c_str(), L"txt", 5));
  EXPECT_TRUE(platform::PathExists(folder / L"four.txt"));
  EXPECT_FALSE(platform::PathExists(folder / L"six.TXT"));
  EXPECT_TRUE(platform::PathExists(folder / L"six.log"));
  EXPECT_FALSE(platform::PathExists(folder / L"sixtxt"));
  EXPECT_FALSE(platform::PathExists(folder / L"sub"));
}

// Age 0 and an empty extension match everything; a name that is not UTF-8
// (Latin-1 here) is deleted like any other; a plain file is no folder to clean.
TEST_F(CleanUpTest, AgeZeroEmptyExtensionForeignNamesAndNotAFolder) {
  Aged(L"today.txt", 0);
  Aged(L"today.log", 0);
  const std::filesystem::path latin1 = Native(folder.path()) / "caf\xE9.txt";
  WriteFileBytes(platform::FromNativeName(latin1.string()), "x");
  EXPECT_TRUE(CFileUtils::CleanUpFolderRecursively(folder.path().c_str(), L"TXT", 0));
  EXPECT_FALSE(platform::PathExists(folder / L"today.txt"));
  EXPECT_FALSE(std::filesystem::exists(latin1));
  EXPECT_TRUE(platform::PathExists(folder / L"today.log"));
  EXPECT_TRUE(CFileUtils::CleanUpFolderRecursively(folder.path().c_str(), L"", 0));
  EXPECT_FALSE(platform::PathExists(folder / L"today.log"));

  LogCapture log;
  WriteFileBytes(folder / L"plain", "x");
  const CString file((folder / L"plain").c_str());
  EXPECT_FALSE(CFileUtils::CleanUpFolderRecursively(file, L"txt", 5));
  EXPECT_TRUE(log.Contains(L"CFileUtils::CleanUpFolderRecursively - path '" + file.str() + L"' is not a folder !"));
  EXPECT_TRUE(platform::PathExists(file));
}

}  // namespace
