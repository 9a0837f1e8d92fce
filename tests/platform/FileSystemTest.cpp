#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "platform/Env.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;
using Names = std::set<std::wstring>;

namespace {

std::map<std::wstring, FileStatus> Find(const std::wstring& pattern) {
  std::map<std::wstring, FileStatus> found;
  for (const FoundFile& f : FindFiles(pattern)) found[f.name] = f.status;
  return found;
}

Names NamesOf(const std::wstring& pattern) {
  Names names;
  for (const auto& entry : Find(pattern)) names.insert(entry.first);
  return names;
}

}  // namespace

TEST(FileSystem, FindFilesMatchesWildcards) {
  ScratchFolder dir;
  for (const wchar_t* name : {L"a.txt", L"b.txt", L"abc", L"axc", L"ac", L".hidden"}) WriteFileBytes(dir / name, "12345");
  ASSERT_TRUE(CreateDirectory(dir / L"sub"));

  EXPECT_EQ(NamesOf(dir / L"*.txt"), (Names{L"a.txt", L"b.txt"}));
  EXPECT_EQ(NamesOf(dir / L"a?c"), (Names{L"abc", L"axc"}));
  EXPECT_EQ(NamesOf(dir / L"*.*"), (Names{L".", L"..", L"a.txt", L"b.txt", L"abc", L"axc", L"ac", L".hidden", L"sub"}));
  const auto all = Find(dir / L"*");
  EXPECT_EQ(all.at(L"sub").attributes, kAttrDirectory);
  EXPECT_EQ(all.at(L"a.txt").size, 5);
  EXPECT_EQ(all.at(L".hidden").attributes, kAttrHidden);

  EXPECT_TRUE(FindFiles(dir / L"nothing*").empty());
  EXPECT_EQ(LastError(), 0);
  EXPECT_TRUE(FindFiles(dir / L"missing/*").empty());
  EXPECT_EQ(LastError(), ENOENT);
  EXPECT_TRUE(MatchesWildcard(L"", L"*"));
  EXPECT_TRUE(MatchesWildcard(L"abcbc", L"a*bc"));  // the star must take more than its first chance
  EXPECT_TRUE(MatchesWildcard(L"log", L"log.*"));
  EXPECT_FALSE(MatchesWildcard(L"A.TXT", L"*.txt"));
  EXPECT_FALSE(MatchesWildcard(L"a.txt.bak", L"*.txt"));
  // Many stars against a long near-miss: exponential backtracking would not finish.
  EXPECT_FALSE(MatchesWildcard(std::wstring(2000, L'a'), L"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(FileSystem, NonAsciiNames) {
  ScratchFolder dir;
  const std::wstring folder = dir / L"Ordner-\u00FC";
  ASSERT_TRUE(CreateDirectory(folder));
  WriteFileBytes(folder + L"/\u65E5\u672C-\U0001F600.txt", "x");
  EXPECT_EQ(NativePath(folder), ToUtf8(dir.path()) + "Ordner-\xC3\xBC");
  EXPECT_TRUE(fs::is_regular_file(NativePath(folder) + "/\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.txt"));
  EXPECT_EQ(NamesOf(folder + L"/*.txt"), Names{L"\u65E5\u672C-\U0001F600.txt"});

  // A Latin-1 name is listed with its byte escaped, and the listed name
  // reaches the same file for status, reading and deleting.
  WriteFileBytes(FromNativeName(NativePath(dir.path()) + "caf\xE9"), "latin");
  EXPECT_TRUE(fs::is_regular_file(NativePath(dir.path()) + "caf\xE9"));
  const std::vector<FoundFile> found = FindFiles(dir / L"caf*");
  ASSERT_EQ(found.size(), 1u);
  const std::wstring path = dir.path() + found[0].name;
  FileStatus status;
  EXPECT_TRUE(GetFileStatus(path, status));
  EXPECT_EQ(status.size, 5);
  EXPECT_EQ(ReadFileBytes(path), "latin");
  EXPECT_TRUE(DeleteFile(path));
  EXPECT_FALSE(fs::exists(NativePath(dir.path()) + "caf\xE9"));
}

TEST(FileSystem, RemoveTreeNeverFollowsLinks) {
  ScratchFolder dir;
  const std::wstring target = dir / L"target";
  ASSERT_TRUE(CreateDirectory(target));
  WriteFileBytes(target + L"/keep", "precious");
  // The folder itself is a link: whatever the path's form, only the link goes.
  for (const wchar_t* form : {L"link/", L"link", L"link//"}) {
    fs::create_directory_symlink(NativePath(target), NativePath(dir / L"link"));
    EXPECT_EQ(RemoveTree(dir / form, nullptr), RemoveTreeResult::kLinkRemoved) << form;
    EXPECT_FALSE(fs::is_symlink(NativePath(dir / L"link")));
    EXPECT_EQ(ReadFileBytes(target + L"/keep"), "precious");
  }
  // Links inside a tree are removed as links; a Latin-1 name goes too.
  const std::wstring tree = dir / L"tree";
  ASSERT_TRUE(CreateDirectory(tree));
  ASSERT_TRUE(CreateDirectory(tree + L"/sub"));
  fs::create_directory_symlink(NativePath(target), NativePath(tree + L"/sub/dirlink"));
  fs::create_symlink(NativePath(target + L"/keep"), NativePath(tree + L"/filelink"));
  WriteFileBytes(FromNativeName(NativePath(tree) + "/\xE9t\xE9"), "x");
  EXPECT_EQ(RemoveTree(tree + L"/", nullptr), RemoveTreeResult::kRemoved);
  EXPECT_FALSE(fs::exists(NativePath(tree)));
  EXPECT_EQ(ReadFileBytes(target + L"/keep"), "precious");

  EXPECT_EQ(RemoveTree(dir / L"missing/", nullptr), RemoveTreeResult::kNotAFolder);
  EXPECT_EQ(RemoveTree(target + L"/keep", nullptr), RemoveTreeResult::kNotAFolder);
  EXPECT_EQ(ReadFileBytes(target + L"/keep"), "precious");
}

TEST(FileSystem, PrivateFolderIsMadeOwnerOnlyAndRefusedOtherwise) {
  ScratchFolder dir;
  const std::wstring own = dir / L"own/";
  EXPECT_EQ(MakePrivateFolder(own), PrivateFolderState::kReady);
  EXPECT_EQ(fs::status(NativePath(own)).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(MakePrivateFolder(own), PrivateFolderState::kReady);  // again: still fine

  fs::create_directory_symlink(NativePath(own), NativePath(dir / L"link"));
  EXPECT_EQ(MakePrivateFolder(dir / L"link/"), PrivateFolderState::kNotAFolder);
  WriteFileBytes(dir / L"file", "x");
  EXPECT_EQ(MakePrivateFolder(dir / L"file"), PrivateFolderState::kNotAFolder);
  ASSERT_TRUE(CreateDirectory(dir / L"open"));
  fs::permissions(NativePath(dir / L"open"), fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(MakePrivateFolder(dir / L"open"), PrivateFolderState::kOpenToOthers);
  EXPECT_EQ(MakePrivateFolder(dir / L"missing/deeper"), PrivateFolderState::kCannotCreate);
}

TEST(FileSystem, CreateRemoveDeleteMoveAndCopy) {
  ScratchFolder dir;
  const std::wstring folder = dir / L"f";
  ASSERT_TRUE(CreateDirectory(folder));
  EXPECT_FALSE(CreateDirectory(folder));
  EXPECT_EQ(LastError(), EEXIST);
  EXPECT_FALSE(DeleteFile(folder));  // a folder is not a file
  EXPECT_TRUE(IsDirectory(folder));
  WriteFileBytes(folder + L"/file", "x");
  EXPECT_FALSE(RemoveDirectory(folder));  // not empty
  EXPECT_TRUE(DeleteFile(folder + L"/file"));
  EXPECT_FALSE(DeleteFile(folder + L"/file"));
  EXPECT_EQ(LastError(), ENOENT);
  EXPECT_TRUE(RemoveDirectory(folder));
  EXPECT_FALSE(PathExists(folder));
  const std::wstring a = dir / L"a", b = dir / L"b", c = dir / L"c";
  WriteFileBytes(a, "first");
  WriteFileBytes(b, "second");
  ASSERT_TRUE(MoveFile(a, b));  // replaces the target
  EXPECT_FALSE(PathExists(a));
  EXPECT_EQ(ReadFileBytes(b), "first");
  ASSERT_TRUE(CreateDirectory(dir / L"d"));
  ASSERT_TRUE(MoveFile(dir / L"d", dir / L"e"));  // folders are renamed too
  EXPECT_TRUE(IsDirectory(dir / L"e"));

  WriteFileBytes(c, "a longer old content");
  EXPECT_FALSE(CopyFile(b, c, true));
  EXPECT_EQ(LastError(), EEXIST);
  EXPECT_EQ(ReadFileBytes(c), "a longer old content");
  ASSERT_TRUE(CopyFile(b, c, false));
  EXPECT_EQ(ReadFileBytes(c), "first");
  EXPECT_FALSE(CopyFile(c, c, false));  // onto itself: refused, content kept
  EXPECT_EQ(ReadFileBytes(c), "first");
  EXPECT_FALSE(CopyFile(dir / L"missing", a, false));
  EXPECT_FALSE(CopyFile(dir.path(), a, false));
  EXPECT_FALSE(PathExists(a));
}

TEST(FileSystem, MoveFileAcrossFileSystemsCopies) {
  ScratchFolder dir;
  const std::wstring source = dir / L"cross";
  WriteFileBytes(source, "moved");
  ASSERT_TRUE(SetFileTimes(source, 1'500'000'000));
  const std::wstring target = L"/dev/shm/nimbrel-move-" + std::to_wstring(CurrentProcessId()) + L"-" +
                              std::to_wstring(Env::Default()->TickCount());
  // A hard link cannot cross file systems, which tells whether /dev/shm is another one.
  std::error_code ec;
  fs::create_hard_link(NativePath(source), NativePath(target), ec);
  if (ec != std::errc::cross_device_link) {
    if (!ec) DeleteFile(target);
    GTEST_SKIP() << "/dev/shm is not a second file system here";
  }
  const bool moved = MoveFile(source, target);
  const int error = LastError();
  FileStatus status;
  const bool found = GetFileStatus(target, status);
  const std::string content = found ? ReadFileBytes(target) : std::string();
  DeleteFile(target);  // before any assertion, so that a failure leaves nothing behind
  ASSERT_TRUE(moved) << ToUtf8(ErrorMessage(error));
  EXPECT_FALSE(PathExists(source));
  EXPECT_EQ(content, "moved");
  EXPECT_EQ(status.modificationTime, 1'500'000'000);
}

TEST(FileSystem, AttributesAndStatus) {
  ScratchFolder dir;
  const std::wstring file = dir / L"file";
  WriteFileBytes(file, std::string(123, 'x'));
  EXPECT_EQ(GetFileAttributes(file), kAttrNormal);
  EXPECT_EQ(GetFileAttributes(dir.path()), kAttrDirectory);
  EXPECT_EQ(GetFileAttributes(dir / L"missing"), kInvalidAttributes);
  fs::permissions(NativePath(file), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(GetFileAttributes(file), kAttrReadOnly);

  FileStatus status;
  ASSERT_TRUE(GetFileStatus(file, status));
  const std::int64_t now = Env::Default()->UnixTime();
  EXPECT_EQ(status.size, 123);
  EXPECT_LE(std::abs(status.modificationTime - now), 5);
  EXPECT_LE(std::abs(status.creationTime - now), 5);
  ASSERT_TRUE(SetFileTimes(file, 1'000'000'000));
  ASSERT_TRUE(GetFileStatus(file, status));
  EXPECT_EQ(status.modificationTime, 1'000'000'000);
  EXPECT_EQ(status.accessTime, 1'000'000'000);
  // Birth time stays where the file system keeps one; otherwise it is the modification time.
  EXPECT_TRUE(std::abs(status.creationTime - now) <= 5 || status.creationTime == 1'000'000'000);
  EXPECT_FALSE(GetFileStatus(dir / L"missing", status));
  EXPECT_EQ(LastError(), ENOENT);
}

// A file's identity tells a rewrite from the untouched file even when the
// writer puts the time back, and a link from the file it points to.
TEST(FileSystem, FileIdentityNoticesEveryChange) {
  ScratchFolder dir;
  const std::wstring file = dir / L"file";
  WriteFileBytes(file, "content");
  FileIdentity before;
  ASSERT_TRUE(GetFileIdentity(file, before));
  File open;
  ASSERT_TRUE(open.Open(file, File::Mode::kRead));
  FileIdentity opened;
  ASSERT_TRUE(open.GetIdentity(opened));
  EXPECT_EQ(opened, before);
  EXPECT_EQ(before.size, 7);

  const auto time = fs::last_write_time(NativePath(file));
  WriteFileBytes(file, "CONTENT");
  fs::last_write_time(NativePath(file), time);
  FileIdentity after;
  ASSERT_TRUE(GetFileIdentity(file, after));
  EXPECT_EQ(after.inode, before.inode);
  EXPECT_EQ(after.modificationTime, before.modificationTime);
  EXPECT_NE(after, before);

  fs::create_symlink(NativePath(file), NativePath(dir / L"link"));
  FileIdentity link;
  ASSERT_TRUE(GetFileIdentity(dir / L"link", link));
  EXPECT_NE(link.inode, after.inode);
  EXPECT_FALSE(GetFileIdentity(dir / L"missing", link));
  EXPECT_EQ(LastError(), ENOENT);
}

TEST(FileSystem, SyncFileSystemOnlyWhereItReachesTheDisk) {
  ScratchFolder dir;
  WriteFileBytes(dir / L"file", "content");
  // ext4, XFS, Btrfs or tmpfs, as a rule; overlayfs and others are declined.
  if (!SyncFileSystem(dir.path())) {
    EXPECT_EQ(LastError(), EOPNOTSUPP);
  }
  File file;
  ASSERT_TRUE(file.Open(dir / L"file", File::Mode::kRead));
  EXPECT_TRUE(file.WaitForWriteback());
  EXPECT_FALSE(SyncFileSystem(L"/proc/"));
  EXPECT_EQ(LastError(), EOPNOTSUPP);
  EXPECT_FALSE(SyncFileSystem(dir / L"missing/"));
  EXPECT_EQ(LastError(), ENOENT);
}
