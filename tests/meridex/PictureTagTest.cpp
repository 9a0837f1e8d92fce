#include "meridex/PictureTag.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "meridex/Logging.h"
#include "meridex/Tags.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

using Meridex::CPictureTag;
using Meridex::CTags;
using testing_support::ScratchFolder;

bool Exists(const std::wstring& path) { return std::filesystem::exists(platform::ToUtf8(path)); }

// The lines of a log file.
std::vector<std::string> LogLines(const std::wstring& path) {
  const std::string text = testing_support::ReadFileBytes(path);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "last line is not terminated";
  return lines;
}

// True when `line` reads "YYYY-MM-DD HH:MM:SS <level> <text>".
bool IsLogLine(const std::string& line, const std::string& level) {
  return std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )" + level + " .+"));
}

int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos;
  return n;
}

// A picture file with content, so a deletion can be observed.
std::wstring MakePictureFile(const ScratchFolder& folder, const std::wstring& name) {
  const std::wstring path = folder / name;
  testing_support::WriteFileBytes(path, "\xFF\xD8\xFF picture bytes");
  return path;
}

// Turns Meridex's log off again after each test, whatever happened.
class PictureTagTest : public ::testing::Test {
 protected:
  void TearDown() override { Meridex::InitLogging(L"", L""); }
};

// Copies sharing the delete flag are tested through the tag sets below.
TEST_F(PictureTagTest, EmptyAndMovedFromHandlesAndUnflaggedFilesStay) {
  CPictureTag empty;
  empty.SetDeleteFlag(true);  // no record to flag
  EXPECT_FALSE(empty.GetDeleteFlag());
  EXPECT_TRUE(CPictureTag(L"", L"image/png", 3, L"x", true).IsEmpty());

  CPictureTag picture(L"/no/such/cover.jpg", L"image/jpeg", 3, L"Front", false);
  CPictureTag moved(std::move(picture));
  EXPECT_EQ(moved.GetFilePath(), L"/no/such/cover.jpg");
  EXPECT_TRUE(picture.IsEmpty());  // NOLINT(bugprone-use-after-move): a moved-from handle is empty
  // Flagging after the fact through a copy is part of the concurrency test.
  ScratchFolder folder;
  const std::wstring never = MakePictureFile(folder, L"never.jpg");
  const std::wstring cleared = MakePictureFile(folder, L"cleared.jpg");
  {
    CTags tags;
    tags.AddPicture(CPictureTag(never, L"image/jpeg", 3, L"", false));
    tags.AddPicture(CPictureTag(cleared, L"image/jpeg", 3, L"", true));
    CPictureTag p;
    ASSERT_TRUE(tags.GetPicture(1, p));
    p.SetDeleteFlag(false);  // cleared through a copy
  }
  EXPECT_TRUE(Exists(never));
  EXPECT_TRUE(Exists(cleared));
}

TEST_F(PictureTagTest, FlaggedFileIsDeletedOnlyWithTheLastHolder) {
  ScratchFolder folder;
  const std::wstring path = MakePictureFile(folder, L"c\x00f6v\x00e9r.jpg");  // non-ASCII name

  auto first = std::make_unique<CTags>(folder.path());
  auto picture = std::make_unique<CPictureTag>(path, L"image/jpeg", 3, L"", true);
  first->AddPicture(*picture);
  auto second = std::make_unique<CTags>(*first);
  CTags third;
  third = *second;

  picture.reset();
  EXPECT_TRUE(Exists(path)) << "a picture handle went, tag sets still hold it";
  first.reset();
  EXPECT_TRUE(Exists(path)) << "one tag set went, two still hold it";
  second->RemoveAllPictures();
  EXPECT_TRUE(Exists(path));
  CPictureTag held;
  ASSERT_TRUE(third.GetPicture(0, held));
  second.reset();
  third = CTags();  // assignment releases the previous pictures too
  EXPECT_TRUE(Exists(path)) << "a handle obtained from a tag set still holds it";
  held = CPictureTag();
  EXPECT_FALSE(Exists(path));
}

TEST_F(PictureTagTest, LogKeepsEntriesAtOrBelowTheLevel) {
  ScratchFolder logs;
  ScratchFolder pictures;
  // One successful deletion (a Debug entry) and one failed (an Error entry).
  auto deleteTwo = [&](const std::wstring& tag) {
    CPictureTag(MakePictureFile(pictures, L"ok-" + tag + L".jpg"), L"image/jpeg", 3, L"", true);
    CPictureTag(pictures / L"missing-\x00e9.jpg", L"image/jpeg", 3, L"", true);
  };
  Meridex::InitLogging(logs.path(), L"Info");
  deleteTwo(L"info");
  std::wstring folderNoSlash = logs.path();
  folderNoSlash.pop_back();
  Meridex::InitLogging(folderNoSlash, L"VERBOSE");  // the same file without the trailing "/"; names ignore case
  deleteTwo(L"verbose");
  Meridex::InitLogging(logs / L"no-such-folder", L"Debug");  // entries are dropped, the folder not created
  deleteTwo(L"missing");
  EXPECT_FALSE(Exists(logs / L"no-such-folder"));
  EXPECT_FALSE(Exists(pictures / L"ok-missing.jpg")) << "deletion does not depend on logging";
  const std::vector<std::string> lines = LogLines(logs / L"meridex.txt");
  ASSERT_EQ(lines.size(), 3u) << "Info keeps the error and drops the debug entry";
  EXPECT_TRUE(IsLogLine(lines[0], "ERR")) << lines[0];
  EXPECT_NE(lines[0].find("missing-\xC3\xA9.jpg"), std::string::npos) << lines[0];
  EXPECT_TRUE(IsLogLine(lines[1], "DBG")) << lines[1];
  EXPECT_NE(lines[1].find("ok-verbose.jpg"), std::string::npos) << lines[1];
}

// Many tag sets share one picture across 8 threads; some threads flag it for
// deletion through their own handles while others release theirs. The file
// must be deleted exactly once, by whichever release is last.
TEST_F(PictureTagTest, ConcurrentReleaseDeletesOnce) {
  constexpr int kThreads = 8, kCopiesPerThread = 64, kRounds = 10;
  ScratchFolder folder;
  Meridex::InitLogging(folder.path(), L"Debug");

  for (int round = 0; round < kRounds; ++round) {
    const std::wstring path = MakePictureFile(folder, L"shared-" + std::to_wstring(round) + L".jpg");
    std::vector<std::vector<CTags>> perThread(kThreads);
    {
      CTags seed(folder.path());
      seed.AddPicture(CPictureTag(path, L"image/jpeg", 3, L"", false));
      for (auto& copies : perThread) copies.assign(kCopiesPerThread, seed);
    }
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::vector<CTags> mine = std::move(perThread[t]);
        start.arrive_and_wait();
        for (CTags& tags : mine) {
          CTags extra(tags);  // copying while others release
          if (t % 2 == 0) {
            CPictureTag p;
            if (extra.GetPicture(0, p)) p.SetDeleteFlag(true);
          }
          tags.RemoveAllPictures();
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(Exists(path)) << "round " << round;
  }

  // A second deletion of a file would fail and log an error.
  const std::vector<std::string> lines = LogLines(folder / L"meridex.txt");
  EXPECT_EQ(CountContaining(lines, " DBG "), kRounds);
  EXPECT_EQ(CountContaining(lines, " ERR "), 0);
}

}  // namespace
