// Saving many files in one batch: each file is wholly old or wholly new, a
// file another program touched meanwhile is left alone, and one failure
// never spoils the rest.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "meridex/SaveBatch.h"
#include "meridex/Tags.h"
#include "platform/FaultInjection.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;
using Meridex::CSaveBatch;
using Meridex::CTags;
using Meridex::FileResult;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

std::string Utf8(const std::wstring& s) { return platform::ToUtf8(s); }

int EntriesIn(const std::wstring& folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(Utf8(folder))) ++n;
  return n;
}

CTags Titled(const std::wstring& title) {
  CTags tags;
  tags.SetTitle(title);
  tags.AddArtist(L"Artist", false);
  return tags;
}

std::wstring TitleOf(const std::wstring& path) {
  CTags read;
  if (!read.ReadFile(path).ok) return L"(unreadable)";
  CString title;
  return read.GetTitle(title) ? title.str() : L"";
}

bool Says(const FileResult& result, const wchar_t* text) { return !result.ok && result.message.Find(text) != -1; }

// Two folders of tagged songs, MP3 and FLAC.
class SaveBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const ScratchFolder* folder : {&first_, &second_})
      for (const wchar_t* name : {L"a.mp3", L"b.flac", L"c.mp3"}) {
        const std::wstring path = *folder / name;
        WriteFileBytes(path, name[2] == L'm' ? testing_support::MakeMp3() : testing_support::MakeFlac());
        ASSERT_TRUE(Titled(L"Old").SaveFile(path).ok);
        songs_.push_back(path);
        originals_.push_back(ReadFileBytes(path));
      }
  }

  void ExpectAllUntouched() {
    for (std::size_t i = 0; i < songs_.size(); ++i)
      EXPECT_EQ(ReadFileBytes(songs_[i]), originals_[i]) << Utf8(songs_[i]);
    EXPECT_EQ(EntriesIn(first_.path()), 3) << "a temporary file was left behind";
    EXPECT_EQ(EntriesIn(second_.path()), 3) << "a temporary file was left behind";
  }

  ScratchFolder first_;
  ScratchFolder second_;
  std::vector<std::wstring> songs_;
  std::vector<std::string> originals_;
};

TEST_F(SaveBatchTest, CommitSavesEveryFileInEveryFolder) {
  CSaveBatch batch;
  for (std::size_t i = 0; i < songs_.size(); ++i) {
    EXPECT_EQ(batch.Size(), static_cast<int>(i));
    ASSERT_TRUE(batch.Add(Titled(L"New " + std::to_wstring(i)), songs_[i]).ok);
    EXPECT_EQ(batch.GetPath(static_cast<int>(i)), CString(songs_[i]));
  }
  EXPECT_EQ(EntriesIn(first_.path()), 6) << "each new content waits beside its file";
  for (std::size_t i = 0; i < songs_.size(); ++i) EXPECT_EQ(ReadFileBytes(songs_[i]), originals_[i]);

  const std::vector<FileResult> results = batch.Commit();
  ASSERT_EQ(results.size(), songs_.size());
  for (std::size_t i = 0; i < songs_.size(); ++i) {
    EXPECT_TRUE(results[i].ok) << Utf8(results[i].message.str());
    EXPECT_EQ(TitleOf(songs_[i]), L"New " + std::to_wstring(i));
  }
  EXPECT_TRUE(batch.Empty());
  EXPECT_EQ(EntriesIn(first_.path()), 3);
  EXPECT_EQ(EntriesIn(second_.path()), 3);
  EXPECT_TRUE(batch.Commit().empty()) << "nothing is committed twice";
}

TEST_F(SaveBatchTest, DiscardAndDestructionLeaveEveryFileAsItWas) {
  {
    CSaveBatch batch;
    for (const std::wstring& song : songs_) ASSERT_TRUE(batch.Add(Titled(L"New"), song).ok);
    batch.Discard();
    EXPECT_TRUE(batch.Empty());
    EXPECT_TRUE(batch.Commit().empty());
    ExpectAllUntouched();
    for (const std::wstring& song : songs_) ASSERT_TRUE(batch.Add(Titled(L"New"), song).ok);
    CSaveBatch moved(std::move(batch));
    EXPECT_EQ(moved.Size(), 6);
  }
  ExpectAllUntouched();
}

// Another program wrote one file in place (putting its time back), replaced
// another, put a link in place of a third and deleted a fourth: those keep
// what the other program left, the rest are saved.
TEST_F(SaveBatchTest, AFileChangedAfterAddIsLeftAsTheOtherProgramLeftIt) {
  CSaveBatch batch;
  for (const std::wstring& song : songs_) ASSERT_TRUE(batch.Add(Titled(L"New"), song).ok);

  const fs::path inPlace = Utf8(songs_[0]);
  const auto time = fs::last_write_time(inPlace);
  std::string rewritten = originals_[0];
  rewritten.back() ^= 1;  // same size
  WriteFileBytes(songs_[0], rewritten);
  fs::last_write_time(inPlace, time);
  WriteFileBytes(second_ / L"other.flac", "replacement");
  fs::rename(Utf8(second_ / L"other.flac"), Utf8(songs_[1]));
  const std::wstring copy = first_ / L"copy.mp3";
  fs::copy_file(Utf8(songs_[2]), Utf8(copy));
  fs::remove(Utf8(songs_[2]));
  fs::create_symlink(Utf8(copy), Utf8(songs_[2]));
  fs::remove(Utf8(songs_[3]));

  const std::vector<FileResult> results = batch.Commit();
  ASSERT_EQ(results.size(), 6u);
  for (int i : {0, 1, 2}) EXPECT_TRUE(Says(results[i], L"the file changed while it was being tagged")) << i;
  EXPECT_TRUE(Says(results[3], L"No such file or directory"));
  EXPECT_EQ(ReadFileBytes(songs_[0]), rewritten);
  EXPECT_EQ(ReadFileBytes(songs_[1]), "replacement");
  EXPECT_TRUE(fs::is_symlink(Utf8(songs_[2])));
  EXPECT_EQ(ReadFileBytes(copy), originals_[2]);
  EXPECT_FALSE(fs::exists(Utf8(songs_[3])));
  for (int i : {4, 5}) {
    EXPECT_TRUE(results[i].ok) << Utf8(results[i].message.str());
    EXPECT_EQ(TitleOf(songs_[i]), L"New");
  }
  EXPECT_EQ(EntriesIn(first_.path()), 4) << "a, b, the link and its copy; no temporary file";
  EXPECT_EQ(EntriesIn(second_.path()), 2);
}

// The new content's name can be seen; whatever another user puts there in
// its place never reaches the file.
TEST_F(SaveBatchTest, ANewContentReplacedAfterAddIsNotInstalled) {
  CSaveBatch batch;
  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[0]).ok);
  int replaced = 0;
  for (const auto& entry : fs::directory_iterator(Utf8(first_.path())))
    if (entry.path().filename().string().rfind(".meridex-", 0) == 0) {
      const fs::path planted = entry.path().string() + ".planted";
      std::filesystem::copy_file(Utf8(songs_[2]), planted);
      fs::rename(planted, entry.path());
      ++replaced;
    }
  ASSERT_EQ(replaced, 1);
  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[1]).ok);
  const std::vector<FileResult> results = batch.Commit();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(Says(results[0], L"its new content was replaced by another program"));
  EXPECT_EQ(ReadFileBytes(songs_[0]), originals_[0]);
  EXPECT_TRUE(results[1].ok);
  EXPECT_EQ(EntriesIn(first_.path()), 3);
}

TEST_F(SaveBatchTest, RefusedAddsLeaveNothingAndSpoilNothing) {
  CSaveBatch batch;
  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[0]).ok);
  const std::wstring link = second_ / L"link.mp3";
  fs::create_symlink(Utf8(songs_[0]), Utf8(link));
  EXPECT_TRUE(Says(batch.Add(Titled(L"Other"), link), L"already in this batch"));
  fs::remove(Utf8(link));
  EXPECT_TRUE(Says(batch.Add(Titled(L"New"), first_ / L"missing.mp3"), L"No such file"));
  {
    platform::ScopedFileSizeLimit limit(16);  // a full disk
    EXPECT_TRUE(Says(batch.Add(Titled(L"New"), songs_[1]), L"writing the new content"));
  }
  {
    platform::ScopedObeyFilePermissions obey;  // root would write anyway
    fs::permissions(Utf8(songs_[2]), fs::perms::owner_read);
    EXPECT_TRUE(Says(batch.Add(Titled(L"New"), songs_[2]), L"read-only"));
  }
  EXPECT_EQ(batch.Size(), 1);
  EXPECT_EQ(EntriesIn(first_.path()), 4) << "only the accepted file's new content";

  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[3]).ok);
  const std::vector<FileResult> results = batch.Commit();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[0].ok && results[1].ok);
  EXPECT_EQ(TitleOf(songs_[0]), L"New");
  EXPECT_EQ(TitleOf(songs_[3]), L"New");
  EXPECT_EQ(ReadFileBytes(songs_[1]), originals_[1]);
  EXPECT_EQ(ReadFileBytes(songs_[2]), originals_[2]);
}

// A folder made read-only after Add: its files cannot be renamed over and
// stay as they were; the other folder's files are saved.
TEST_F(SaveBatchTest, AFolderMadeReadOnlyAfterAddFailsAlone) {
  CSaveBatch batch;
  for (const std::wstring& song : songs_) ASSERT_TRUE(batch.Add(Titled(L"New"), song).ok);
  std::vector<FileResult> results;
  {
    platform::ScopedObeyFilePermissions obey;
    fs::permissions(Utf8(second_.path()), fs::perms::owner_read | fs::perms::owner_exec);
    results = batch.Commit();
    fs::permissions(Utf8(second_.path()), fs::perms::owner_all);
  }
  ASSERT_EQ(results.size(), 6u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(results[i].ok) << Utf8(results[i].message.str());
  for (int i = 3; i < 6; ++i) {
    EXPECT_TRUE(Says(results[i], L"renaming the new content over it: Permission denied"));
    // The folder allowed no removal either: the caller is told where the new content is.
    EXPECT_TRUE(Says(results[i], L"the new content remains in")) << Utf8(results[i].message.str());
    EXPECT_EQ(ReadFileBytes(songs_[i]), originals_[i]);
  }
}

TEST_F(SaveBatchTest, PermissionsStayAndTheTimeStaysWhenAsked) {
  const auto kept = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  for (int i : {0, 1}) {
    fs::permissions(Utf8(songs_[i]), kept);
    fs::last_write_time(Utf8(songs_[i]), old);
  }
  CSaveBatch batch;
  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[0], true).ok);
  ASSERT_TRUE(batch.Add(Titled(L"New"), songs_[1], false).ok);
  for (const FileResult& result : batch.Commit()) EXPECT_TRUE(result.ok) << Utf8(result.message.str());
  for (int i : {0, 1}) EXPECT_EQ(fs::status(Utf8(songs_[i])).permissions(), kept);
  EXPECT_EQ(fs::last_write_time(Utf8(songs_[0])), old);
  EXPECT_GT(fs::last_write_time(Utf8(songs_[1])), old);
  EXPECT_EQ(TitleOf(songs_[0]), L"New");
}

}  // namespace
