// Saving never damages a file, and Meridex deletes only picture files of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "meridex/Tags.h"
#include "platform/FaultInjection.h"
#include "platform/PrivateFolder.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;
using Meridex::CPictureTag;
using Meridex::CTags;
using testing_support::ScratchFolder;

std::string Utf8(const std::wstring& s) { return platform::ToUtf8(s); }

int EntriesIn(const std::wstring& folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Utf8(folder))) ++n;
  return n;
}

class SafeSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::WriteFileBytes(song_, testing_support::MakeMp3());
    CTags old;
    old.SetTitle(L"Old");
    ASSERT_TRUE(old.SaveFile(song_).ok);
    original_ = testing_support::ReadFileBytes(song_);
    // A large picture, so that the new content is much larger than the old.
    testing_support::WriteFileBytes(cover_, testing_support::MakePng() + std::string(200000, 'x'));
    tags_.SetTitle(L"New");
    tags_.AddPicture(CPictureTag(cover_, L"image/png", 3, L"", false));
  }

  // The file holds exactly its old bytes and nothing was left beside it.
  void ExpectUntouched(const Meridex::FileResult& result, const wchar_t* reason) {
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.Find(reason), -1) << Utf8(result.message.str());
    EXPECT_EQ(testing_support::ReadFileBytes(song_), original_);
    EXPECT_EQ(EntriesIn(music_.path()), 1) << "a temporary file was left behind";
  }

  ScratchFolder music_;
  ScratchFolder pictures_;
  std::wstring song_ = music_ / L"song.mp3";
  std::wstring cover_ = pictures_ / L"cover.png";
  std::string original_;
  CTags tags_;
};

TEST_F(SafeSaveTest, FullDiskHalfWayLeavesTheFileByteIdentical) {
  {
    // Room for the old size and a little more, not for the new content.
    platform::ScopedFileSizeLimit limit(original_.size() + 4096);
    ExpectUntouched(tags_.SaveFile(song_), L"File too large");
  }
  {
    platform::ScopedFileSizeLimit limit(16);  // fails at the very first block
    ExpectUntouched(tags_.SaveFile(song_), L"writing the new content");
  }
  ASSERT_TRUE(tags_.SaveFile(song_).ok) << "with room again the same save works";
  CTags read;
  ASSERT_TRUE(read.ReadFile(song_).ok);
  EXPECT_EQ(read.GetPictureCount(), 1);
}

// A read-only folder or file, or a picture that is gone: refused before the file changes.
TEST_F(SafeSaveTest, RefusedSavesLeaveTheFileByteIdentical) {
  {
    platform::ScopedObeyFilePermissions obey;  // root would write there anyway
    fs::permissions(Utf8(music_.path()), fs::perms::owner_read | fs::perms::owner_exec);
    ExpectUntouched(tags_.SaveFile(song_), L"Permission denied");
    fs::permissions(Utf8(music_.path()), fs::perms::owner_all);
    fs::permissions(Utf8(song_), fs::perms::owner_read | fs::perms::group_read);
    ExpectUntouched(tags_.SaveFile(song_), L"read-only");
  }
  CTags tags;
  tags.SetTitle(L"New");
  tags.AddPicture(CPictureTag(pictures_ / L"gone.png", L"image/png", 3, L"", false));
  ExpectUntouched(tags.SaveFile(song_), L"gone.png");
}

TEST_F(SafeSaveTest, PermissionsStayAndTheTimeStaysWhenAsked) {
  const fs::path file = Utf8(song_);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(file, old);

  ASSERT_TRUE(tags_.SaveFile(song_, true).ok);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::last_write_time(file), old);
  EXPECT_NE(testing_support::ReadFileBytes(song_), original_);

  ASSERT_TRUE(tags_.SaveFile(song_, false).ok);
  EXPECT_GT(fs::last_write_time(file), old);
}

TEST_F(SafeSaveTest, ALinkIsSavedThroughAndStaysALink) {
  const std::wstring link = pictures_ / L"link.mp3";
  fs::create_symlink(Utf8(song_), Utf8(link));
  ASSERT_TRUE(tags_.SaveFile(link).ok);
  EXPECT_TRUE(fs::is_symlink(Utf8(link)));
  CTags read;
  ASSERT_TRUE(read.ReadFile(song_).ok);
  CString title;
  EXPECT_TRUE(read.GetTitle(title) && title == L"New");
}

TEST_F(SafeSaveTest, TemporaryFolderMustBePrivate) {
  ASSERT_TRUE(tags_.SaveFile(song_).ok);  // the song now carries a picture

  CTags byDefault;
  ASSERT_TRUE(byDefault.ReadFile(song_).ok);
  CPictureTag picture;
  ASSERT_TRUE(byDefault.GetPicture(0, picture));
  const std::wstring userTemp = platform::UserTempFolder();
  EXPECT_EQ(picture.GetFilePath().str().rfind(userTemp, 0), 0u) << Utf8(picture.GetFilePath().str());
  EXPECT_EQ(fs::status(Utf8(userTemp)).permissions() & fs::perms::all, fs::perms::owner_all);

  ScratchFolder base;
  fs::create_directory(Utf8(base / L"open"));
  fs::permissions(Utf8(base / L"open"), fs::perms::all);
  fs::create_directory_symlink(Utf8(pictures_.path()), Utf8(base / L"link"));
  const std::pair<const wchar_t*, const wchar_t*> kRefused[] = {{L"open/", L"writable by group or others"},
                                                                {L"link/", L"symbolic link"}};
  for (const auto& [folder, reason] : kRefused) {
    CTags tags(base / folder);
    const Meridex::FileResult result = tags.ReadFile(song_);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.Find(reason), -1) << Utf8(result.message.str());
    EXPECT_EQ(tags.GetPictureCount(), 0);
  }
  CTags fresh(base / L"new/");
  ASSERT_TRUE(fresh.ReadFile(song_).ok) << "a missing folder is created";
  EXPECT_EQ(fs::status(Utf8(base / L"new")).permissions() & fs::perms::all, fs::perms::owner_all);
}

// The tagging library flags a song's first picture for deletion; a picture
// the host attached from its own disk must survive that, even when its path
// only looks as if it lay in the temporary folder.
TEST(PictureOwnershipTest, HostAttachedPictureIsNeverDeleted) {
  ScratchFolder base;
  fs::create_directory(Utf8(base / L"temp"));
  const std::wstring own = base / L"folder.jpg";
  testing_support::WriteFileBytes(own, "\xFF\xD8\xFF host picture");
  for (const std::wstring& attached : {own, base / L"temp/../folder.jpg"}) {
    {
      CTags tags(base / L"temp/");
      ASSERT_TRUE(tags.AddPicture(CPictureTag(attached, L"image/jpeg", 3, L"", false)));
      CTags copy(tags);
      CPictureTag picture;
      ASSERT_TRUE(copy.GetPicture(0, picture));
      picture.SetDeleteFlag(true);
      EXPECT_TRUE(picture.GetDeleteFlag()) << "the wish is recorded";
      EXPECT_FALSE(picture.IsOwnedByMeridex());
    }
    EXPECT_TRUE(fs::exists(Utf8(own))) << Utf8(attached);
  }
}

}  // namespace
