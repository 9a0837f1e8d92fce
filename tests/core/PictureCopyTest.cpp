#include "core/PictureCopy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/NimbrelSong.h"
#include "covers/CoverCache.h"
#include "foundation/FileUtils.h"
#include "meridex/Tags.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"
#include "support/FakeEnv.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::WriteFileBytes;

class PictureCopyTest : public ::testing::Test {
 protected:
  PictureCopyTest() {
    platform::CreateDirectory(scratch_ / L"temp");
    WriteFileBytes(hostPicture_.str(), "\xFF\xD8\xFF picture bytes of the host");
  }

  std::size_t FilesInTemp() const {
    std::vector<CString> files;
    ListFiles(covers_.TempFolder(), L"*", files);
    return files.size();
  }

  testing_support::ScratchFolder scratch_;
  testing_support::FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  CCoverCache covers_{{CString(scratch_ / L"covers/"), CCoverCache::kDefaultMaxBytes, {}}};
  const CString hostPicture_{scratch_ / L"host cover.jpg"};
};

TEST_F(PictureCopyTest, CopiesGoWithTheLastTagSetThatHoldsThem) {
  CString keptPath;
  {
    std::vector<Meridex::CTags> returned;
    for (int i = 0; i < 50; ++i) {
      Meridex::CTags tags(covers_.TempFolder());
      Meridex::CPictureTag picture;
      ASSERT_TRUE(CPictureCopy::Make(hostPicture_, L"image/jpeg", picture, &covers_));
      EXPECT_NE(hostPicture_, picture.GetFilePath());
      EXPECT_EQ(CString(L"image/jpeg"), picture.GetMimeType());
      tags.AddPicture(picture);
      returned.push_back(tags);  // the host's copy shares the picture
    }
    EXPECT_EQ(50u, FilesInTemp());

    // A copy of one tag set keeps its picture after every other holder is gone.
    Meridex::CTags kept = returned[7];
    Meridex::CPictureTag picture;
    ASSERT_TRUE(kept.GetPicture(0, picture));
    keptPath = picture.GetFilePath();
    picture = Meridex::CPictureTag();
    returned.clear();
    EXPECT_TRUE(platform::PathExists(keptPath.str()));
    EXPECT_EQ(1u, FilesInTemp());
  }
  EXPECT_FALSE(platform::PathExists(keptPath.str()));
  EXPECT_EQ(0u, FilesInTemp());
  EXPECT_TRUE(platform::PathExists(hostPicture_.str()));
}

TEST_F(PictureCopyTest, NothingToCopyLeavesThePictureAlone) {
  Meridex::CPictureTag picture(L"/somewhere/else.png", L"image/png", 3, L"", false);
  EXPECT_FALSE(CPictureCopy::Make(CString(scratch_ / L"missing.jpg"), L"image/jpeg", picture, &covers_));
  EXPECT_FALSE(CPictureCopy::Make(CString(), L"image/jpeg", picture, &covers_));
  EXPECT_EQ(CString(L"/somewhere/else.png"), picture.GetFilePath());
  EXPECT_EQ(0u, FilesInTemp());
}

TEST_F(PictureCopyTest, TheHostsOwnPictureIsNeverRemoved) {
  {
    // The host attaches a file of its own disk; the song marks its input
    // picture for deletion, which must not reach a file that is not ours.
    Meridex::CTags host(CString(scratch_ / L"temp/"));
    host.AddPicture(Meridex::CPictureTag(hostPicture_, L"image/jpeg", 3, L"", false));
    CNimbrelSong song;
    song.Init(host, covers_.TempFolder());
    // Even flagged by the host itself it stays: it is not Meridex's own.
    Meridex::CTags flagged;
    flagged.AddPicture(Meridex::CPictureTag(hostPicture_, L"image/jpeg", 3, L"", false));
    Meridex::CPictureTag picture;
    ASSERT_TRUE(flagged.GetPicture(0, picture));
    picture.SetDeleteFlag(true);
  }
  EXPECT_TRUE(platform::PathExists(hostPicture_.str()));
}

}  // namespace
