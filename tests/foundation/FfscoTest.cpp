#include "foundation/Ffsco.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

TEST(Ffsco, MatchAndResultLimit) {
  ffd::ffsco finder;
  EXPECT_TRUE(finder.Match(L".dll", L"X.DLL"));
  EXPECT_TRUE(finder.Match(L".dll", L"dll"));
  EXPECT_FALSE(finder.Match(L".dll", L"x.dll.bak"));
  EXPECT_TRUE(finder.Match(L".jpg.png", L"a.PNG"));
  EXPECT_FALSE(finder.Match(L".Éx", L"a.éx"));  // only a to z change case
  EXPECT_EQ(finder.ResultLimit(), 16777216);
  const std::pair<std::int32_t, std::int32_t> limits[] = {{1, 1}, {0, 16777216}, {268435455, 268435455},
                                                          {268435456, 268435455}, {-5, 16777216}};
  for (const auto& [set, expected] : limits) {
    finder.SetResultLimit(set);
    EXPECT_EQ(finder.ResultLimit(), expected) << set;
  }
}

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* dir : {L"sub/deeper", L".dotdir", L"ünï"}) std::filesystem::create_directories(Native(dir));
    for (const wchar_t* file : {L"a.so", L"B.SO", L"c.txt", L".hidden.so", L".dotdir/x.so", L"sub/d.so",
                                L"sub/.e.so", L"sub/deeper/f.so", L"ünï/Ærø.so"})
      testing_support::WriteFileBytes(root / file, "x");
  }
  std::filesystem::path Native(const wchar_t* name) const { return platform::ToUtf8(root / name); }
  std::vector<CString> Paths(std::initializer_list<const wchar_t*> names) const {
    std::vector<CString> paths;
    for (const wchar_t* n : names) paths.emplace_back(root / n);
    return paths;
  }
  testing_support::ScratchFolder root;
  const CString folder{root.path()};
};

// Top level only by default; "*", "*.*" and "" mean no filter, several extensions combine.
TEST_F(FindTest, TopLevelOnlyByDefaultAndStarPatternsMeanNoFilter) {
  ffd::ffsco finder;
  EXPECT_EQ(finder.Find(folder.Left(folder.GetLength() - 1), L".so"), 2);  // separator added
  EXPECT_EQ(finder.All(), Paths({L"", L"sub/", L"ünï/", L"a.so", L"B.SO"}));
  EXPECT_EQ(finder.Find(folder + L"missing", L".so"), 0);
  for (const wchar_t* pattern : {L"*", L"*.*", L"", L".TXT.so"}) {
    finder.Find(folder, pattern);
    EXPECT_EQ(finder.Files(), Paths({L"a.so", L"B.SO", L"c.txt"})) << platform::ToUtf8(pattern);
  }
}

// Dot entries are never returned, nothing twice, and a linked folder is listed but not entered.
TEST_F(FindTest, RecursiveSkipsDotEntriesAndDoesNotEnterLinkedFolders) {
  std::filesystem::create_directory_symlink(Native(L""), Native(L"sub/loop"));
  ffd::ffsco finder;
  finder.SetRecursive(true);
  EXPECT_EQ(finder.Find(folder, L".so"), 5);
  EXPECT_EQ(finder.Files(), Paths({L"a.so", L"B.SO", L"sub/d.so", L"sub/deeper/f.so", L"ünï/Ærø.so"}));
  EXPECT_EQ(finder.Folders(), Paths({L"", L"sub/", L"sub/deeper/", L"sub/loop/", L"ünï/"}));
}

TEST_F(FindTest, RecursiveSearchStopsAtTheLimit) {
  ffd::ffsco finder;
  finder.SetRecursive(true);
  finder.SetResultLimit(5);  // the searched folder itself counts
  EXPECT_EQ(finder.Find(folder, L".so"), 3);
  EXPECT_EQ(finder.All(), Paths({L"", L"sub/", L"a.so", L"B.SO", L"sub/d.so"}));
}

TEST_F(FindTest, OverriddenMatchAppliesAtEveryDepth) {
  struct OnlyF : ffd::ffsco {
    bool Match(const CString&, const CString& name) override { return name == L"f.so"; }
  } finder;
  finder.SetRecursive(true);
  EXPECT_EQ(finder.Find(folder, L".so"), 1);
  EXPECT_EQ(finder.Files(), Paths({L"sub/deeper/f.so"}));
}

}  // namespace
