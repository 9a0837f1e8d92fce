// The history of writes on its own: what it keeps of a file's old values
// and pictures, how it gives them back, and its size limit.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "Text.h"
#include "WriteHistory.h"
#include "meridex/FileName.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

using namespace nimbrel_tag;
namespace fs = std::filesystem;

std::int64_t Count(const std::string& database, const char* table) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &statement, nullptr);
  const std::int64_t count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return count;
}

class WriteHistoryTest : public ::testing::Test {
 protected:
  // A picture file of `bytes`, as a host attaches one.
  Meridex::CPictureTag Picture(const std::string& name, const std::string& bytes, int type) {
    const std::string path = root + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return Meridex::CPictureTag(Meridex::FileNameFromNative(path), L"image/png", type, L"", false);
  }

  // One run writing `files` files whose old cover was `cover`.
  void RecordRun(WriteHistory& history, int files, const std::string& cover) {
    std::string error;
    ASSERT_TRUE(history.BeginRun("nimbrel-tag music", error)) << error;
    Meridex::CTags old;
    old.AddArtist(L"Band", false);
    old.AddPicture(Picture("cover" + std::to_string(cover.size()), cover, 3));
    std::vector<std::pair<PendingWrite, FileStamp>> writes;
    for (int i = 0; i < files; ++i)
      writes.emplace_back(WriteHistory::Capture(root + std::to_string(i) + ".mp3", old, {Field::kCover}), FileStamp{});
    ASSERT_TRUE(history.Record(writes)) << history.LastError();
    history.EndRun();
  }

  testing_support::ScratchFolder scratch;
  const std::string root = plugin_text::Narrow(scratch.path());
};

TEST_F(WriteHistoryTest, KeepsEveryOldValueAndEachPictureOnceAndPutsThemBack) {
  WriteHistory history(root + "state/history.sqlite");
  std::string error;
  ASSERT_TRUE(history.Open(error)) << error;
  struct stat info {};
  ASSERT_EQ(::stat((root + "state/").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(history.Path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const std::string front = testing_support::MakePng(), back = testing_support::MakePng() + "back";
  Meridex::CTags old;
  old.AddArtist(L"First", false);
  old.AddArtist(L"Second; with a semicolon", false);
  old.SetValues(Meridex::CTags::Field::kGenre, {CString(L"Folk"), CString(L"Rock")});
  old.AddPicture(Picture("front.png", front, 3));
  old.AddPicture(Picture("back.png", back, 4));
  ASSERT_TRUE(history.BeginRun("nimbrel-tag music", error)) << error;
  const std::vector<Field> changed{Field::kArtist, Field::kGenre, Field::kAlbum, Field::kCover};
  std::vector<std::pair<PendingWrite, FileStamp>> writes;
  writes.emplace_back(WriteHistory::Capture("a.mp3", old, changed), FileStamp{1, 2, 3, 4, 5});
  writes.emplace_back(WriteHistory::Capture("b.mp3", old, changed), FileStamp{1, 6, 3, 4, 5});
  ASSERT_TRUE(history.Record(writes)) << history.LastError();
  history.EndRun();
  EXPECT_EQ(Count(history.Path(), "pictures"), 2);  // two files, the same two pictures: kept once

  const std::vector<HistoryFile> files = history.FilesOfRun(history.Runs().back().id);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path, AbsolutePath("a.mp3"));
  EXPECT_EQ(files[1].after, (FileStamp{1, 6, 3, 4, 5}));
  Meridex::CTags now;  // the file as the run left it
  now.AddArtist(L"Someone", false);
  now.SetGenre(L"Pop");
  now.SetAlbum(L"New Album");
  now.SetTitle(L"Kept");
  now.AddPicture(Picture("new.png", testing_support::MakePng() + "new", 3));
  fs::create_directories(root + "pictures");
  ASSERT_TRUE(history.RestoreInto(now, files[0], root + "pictures/", error)) << error;
  ASSERT_EQ(now.GetArtistCount(), 2);
  CString text;
  ASSERT_TRUE(now.GetArtist(1, text));
  EXPECT_EQ(text.str(), L"Second; with a semicolon");
  ASSERT_EQ(now.GetValues(Meridex::CTags::Field::kGenre).size(), 2u);
  EXPECT_EQ(now.GetValues(Meridex::CTags::Field::kGenre)[1].str(), L"Rock");
  EXPECT_FALSE(now.GetAlbum(text));  // it had none
  ASSERT_TRUE(now.GetTitle(text));   // not changed by the run: left alone
  ASSERT_EQ(now.GetPictureCount(), 2);
  Meridex::CPictureTag picture;
  ASSERT_TRUE(now.GetPicture(1, picture));
  EXPECT_EQ(picture.GetType(), 4);
  EXPECT_EQ(testing_support::ReadFileBytes(picture.GetFilePath().str()), back);
}

// Two runs changed one file in turn; undoing the later makes the earlier
// undoable, since the file is then as the earlier run left it. A path names
// the files below it too, not those of a folder sharing its name's start.
TEST_F(WriteHistoryTest, UndoingTheLatestChangeOfAFileLeavesTheOneBeforeToUndo) {
  WriteHistory history(root + "history.sqlite");
  std::string error;
  ASSERT_TRUE(history.Open(error)) << error;
  const FileStamp first{1, 10, 100, 1000, 1000}, second{1, 11, 100, 2000, 2000}, restored{1, 12, 100, 1000, 3000};
  Meridex::CTags old;
  old.SetAlbum(L"Old");
  for (const auto& [before, after] : {std::pair{FileStamp{1, 9, 90, 900, 900}, first}, {first, second}}) {
    ASSERT_TRUE(history.BeginRun("nimbrel-tag", error)) << error;
    PendingWrite write = WriteHistory::Capture("/m/a/x.mp3", old, {Field::kAlbum});
    write.before = before;
    std::vector<std::pair<PendingWrite, FileStamp>> writes;
    writes.emplace_back(write, after);
    writes.emplace_back(WriteHistory::Capture("/m/ab/y.mp3", old, {Field::kAlbum}), after);
    ASSERT_TRUE(history.Record(writes)) << history.LastError();
    history.EndRun();
  }
  std::vector<HistoryFile> latest = history.LatestUnder("/m/a/");
  ASSERT_EQ(latest.size(), 1u);
  EXPECT_EQ(latest[0].run, 2);
  EXPECT_EQ(latest[0].after, second);
  ASSERT_TRUE(history.MarkUndone({{&latest[0], restored}})) << history.LastError();
  latest = history.LatestUnder("/m/a/x.mp3");
  ASSERT_EQ(latest.size(), 1u);
  EXPECT_EQ(latest[0].run, 1);
  EXPECT_EQ(latest[0].after, restored);
  EXPECT_EQ(history.Runs()[1].undone, 1);
  EXPECT_EQ(history.LatestUnder("/m").size(), 2u);
  EXPECT_EQ(AbsolutePath("/m/./a//x.mp3"), "/m/a/x.mp3");
  EXPECT_EQ(AbsolutePath("/m/ab/."), "/m/ab/");
  EXPECT_EQ(AbsolutePath("/m/.hidden/../x"), "/m/.hidden/../x");
}

TEST_F(WriteHistoryTest, ThePruneDropsTheOldestRunsAndTheirPicturesButNeverTheNewest) {
  WriteHistory history(root + "history.sqlite");
  std::string error;
  ASSERT_TRUE(history.Open(error)) << error;
  const std::string shared(200000, 's');
  RecordRun(history, 2, std::string(300000, 'a'));
  RecordRun(history, 2, shared);
  RecordRun(history, 1, shared + "x");
  const std::int64_t full = history.UsedBytes();
  EXPECT_GT(full, 700000);
  EXPECT_EQ(history.Prune(full), 0);
  EXPECT_EQ(history.Prune(500000), 1);  // the first run and its picture go
  EXPECT_LE(history.UsedBytes(), 500000);
  ASSERT_EQ(history.Runs().size(), 2u);
  EXPECT_EQ(Count(history.Path(), "pictures"), 2);
  EXPECT_EQ(Count(history.Path(), "files"), 3);
  EXPECT_EQ(history.Prune(1), 1);
  ASSERT_EQ(history.Runs().size(), 1u);  // the newest stays, whatever the limit
  EXPECT_EQ(history.Runs()[0].files, 1);
  struct stat info {};
  ASSERT_EQ(::stat(history.Path().c_str(), &info), 0);
  EXPECT_LT(info.st_size, 400000);  // the freed pages went back (write-ahead log aside)
}

}  // namespace
