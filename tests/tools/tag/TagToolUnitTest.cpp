// The parts of nimbrel-tag that decide without the library: walking folders,
// grouping files, scoring candidates, remembering progress.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "CandidateScore.h"
#include "FileWalker.h"
#include "LyricsText.h"
#include "TagFields.h"
#include "RunJournal.h"
#include "TaggingRun.h"
#include "Text.h"
#include "support/ScratchFolder.h"

namespace {

using namespace nimbrel_tag;
namespace fs = std::filesystem;

TEST(FileWalker, WalksSortedSkipsHiddenAndOtherFilesAndNeverWalksInCircles) {
  testing_support::ScratchFolder scratch;
  const std::string root = plugin_text::Narrow(scratch.path());
  fs::create_directories(root + "b/disc 2");
  fs::create_directories(root + ".hidden");
  for (const char* name :
       {"b/02.flac", "b/01.MP3", "b/03.wma", "b/04.ASF", "b/cover.jpg", "b/disc 2/01.ogg", ".hidden/x.mp3", "a.opus"})
    std::ofstream(root + name) << "x";
  fs::create_directory_symlink(root, root + "b/loop");      // back to the top
  fs::create_symlink(root + "b/01.MP3", root + "b/link.mp3");  // the same file again
  fs::create_symlink(root + "gone.mp3", root + "b/dangling.mp3");

  FileWalker walker(false);
  walker.Walk(root);
  walker.Walk(root + "b/cover.jpg");  // named directly: taken whatever its name
  const std::vector<std::string> expected{root + "a.opus",          root + "b/01.MP3",
                                          root + "b/02.flac",         root + "b/03.wma",
                                          root + "b/04.ASF",          root + "b/disc 2/01.ogg",
                                          root + "b/cover.jpg"};
  EXPECT_EQ(walker.Files(), expected);
  ASSERT_EQ(walker.Problems().size(), 1u);
  EXPECT_EQ(walker.Problems()[0].path, root + "b/dangling.mp3");

  FileWalker hidden(true);
  hidden.Walk(root);
  ASSERT_GE(hidden.Files().size(), 2u);
  EXPECT_EQ(hidden.Files()[1], root + ".hidden/x.mp3");  // the top folder's own files first
}

TEST(TaggingRunGroups, CutOnlyBetweenFoldersUnlessOneFolderIsFarTooLarge) {
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) files.push_back("/m/a/" + std::to_string(i));
  for (int i = 0; i < 3; ++i) files.push_back("/m/b/" + std::to_string(i));
  for (int i = 0; i < 9; ++i) files.push_back("/m/c/" + std::to_string(i));
  using Groups = std::vector<std::pair<std::size_t, std::size_t>>;
  EXPECT_EQ(TaggingRun::Groups(files, 2), (Groups{{0, 3}, {3, 6}, {6, 10}, {10, 14}, {14, 15}}));
  EXPECT_EQ(TaggingRun::Groups(files, 5), (Groups{{0, 6}, {6, 15}}));
  EXPECT_EQ(TaggingRun::Groups({}, 5), Groups{});
}

TEST(CandidateScore, ReadsAsAgreementWithReasons) {
  Meridex::CTags file, exact, other;
  file.AddArtist(L"The Lanterns", false);
  file.SetTitle(L"lantern  song ");
  file.SetAlbum(L"Harbour Lights");
  exact.AddArtist(L"the lanterns", false);
  exact.SetTitle(L"Lantern Song");
  exact.SetAlbum(L"Harbour Lights");
  exact.SetYear(L"2011");
  exact.SetTrackNumber(L"4");
  exact.SetGenre(L"Folk");
  CandidateScore score = ScoreCandidate(file, exact);
  EXPECT_EQ(score.score, 100);  // letter case and blanks are no difference
  EXPECT_TRUE(score.reasons.empty());
  exact.SetTitle(L"Lantern Song 2");
  score = ScoreCandidate(file, exact);
  EXPECT_EQ(score.score, 81);  // another number is a real difference: 15 + 25 * 2/14
  EXPECT_EQ(score.reasons, std::vector<std::string>{"title spelt differently"});

  other.AddArtist(L"Someone Else", false);
  other.SetTitle(L"Lantern Song");
  other.SetAlbum(L"Live");
  score = ScoreCandidate(file, other);
  EXPECT_LT(score.score, 70);
  EXPECT_EQ(score.reasons, (std::vector<std::string>{"artist differs",
                                                     "album differs from the file's", "no year",
                                                     "track number missing", "no genre"}));
  // A year or track number other than the file's is a difference too;
  // "2011-03-01" is of 2011 and "04/12" is track 4.
  file.SetYear(L"2011-03-01");
  file.SetTrackNumber(L"04/12");
  exact.SetTitle(L"Lantern Song");
  EXPECT_EQ(ScoreCandidate(file, exact).score, 100);
  file.SetYear(L"2010");
  file.SetTrackNumber(L"5");
  score = ScoreCandidate(file, exact);
  EXPECT_EQ(score.score, 80);
  EXPECT_EQ(score.reasons, (std::vector<std::string>{"year differs from the file's",
                                                     "track number differs from the file's"}));
  EXPECT_DOUBLE_EQ(Likeness(L"", L""), 1.0);
  EXPECT_DOUBLE_EQ(Likeness(L"abc", L""), 0.0);

  // A year, track number or length other than the file's counts against it;
  // within 5 s a length agrees, and what the file does not tell never counts.
  exact.SetTitle(L"Lantern Song");
  file.SetYear(L"2011");
  file.SetTrackNumber(L"4/12");
  file.SetLengthMs(240000);
  exact.SetLengthMs(244000);
  EXPECT_EQ(ScoreCandidate(file, exact).score, 100);
  exact.SetLengthMs(275000);
  exact.SetYear(L"2013");
  exact.SetTrackNumber(L"7");
  score = ScoreCandidate(file, exact);
  EXPECT_EQ(score.score, 65);
  EXPECT_EQ(score.reasons, (std::vector<std::string>{"year differs from the file's",
                                                     "track number differs from the file's",
                                                     "length differs from the file's"}));
  file.SetLengthMs(0);
  EXPECT_EQ(ScoreCandidate(file, exact).score, 80);
}

TEST(RunJournal, SkipsOnlyFilesUnchangedSinceTheyWereDoneAndRestartForgets) {
  testing_support::ScratchFolder scratch;
  const std::string root = plugin_text::Narrow(scratch.path());
  const std::string a = root + "a.mp3", b = root + "b.mp3", c = root + "c.mp3", state = root + "state/";
  std::ofstream(a) << "a";
  std::ofstream(b) << "b";
  std::ofstream(c) << "tag one";
  struct stat cBefore {};
  ASSERT_EQ(::stat(c.c_str(), &cBefore), 0);
  {
    RunJournal journal(state, "key");
    std::string error;
    ASSERT_TRUE(journal.Open(false, error)) << error;
    journal.Record(a);
    journal.Record(b);
    journal.Record(c);
    journal.Flush();
  }
  std::ofstream(b, std::ios::app) << "changed since";
  // A tag edit that fits the padding keeps the size; even with its
  // modification time set back, the file is not the one that was done.
  std::ofstream(c, std::ios::in | std::ios::out) << "tag two";
  const timespec times[2] = {cBefore.st_atim, cBefore.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  {
    RunJournal journal(state, "key");
    std::string error;
    ASSERT_TRUE(journal.Open(false, error));
    EXPECT_TRUE(journal.Done(a));
    EXPECT_FALSE(journal.Done(b));
    EXPECT_FALSE(journal.Done(c));
    EXPECT_EQ(journal.EarlierCount(), 3u);
    struct stat info {};
    ASSERT_EQ(::stat(journal.Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  RunJournal other(state, "other arguments");
  std::string error;
  ASSERT_TRUE(other.Open(false, error));
  EXPECT_FALSE(other.Done(a));
  RunJournal restarted(state, "key");
  ASSERT_TRUE(restarted.Open(true, error));
  EXPECT_FALSE(restarted.Done(a));
  restarted.Complete();
  EXPECT_FALSE(fs::exists(restarted.Path()));
}

}  // namespace

TEST(LyricsForFile, DropsTheSourcesSignatureAndTakesTheFilesLineEnds) {
  const std::vector<std::wstring> sources = {L"lrclib", L"Other"};
  struct Row {
    std::wstring found, existing, expected;
  } rows[] = {
      {L"one\r\ntwo\r\nlrclib", L"", L"one\ntwo"},
      {L"one\r\ntwo\r\nLRCLIB", L"old\r\nlyrics", L"one\r\ntwo"},
      {L"one\ntwo\r\nother", L"old\nlyrics", L"one\ntwo"},
      {L"one\r\ntwo\r\nnot a source", L"", L"one\ntwo\nnot a source"},  // a last line of the song stays
      {L"one\r\nlrclib\r\ntwo", L"", L"one\nlrclib\ntwo"},               // only the last line is a signature
  };
  for (const Row& row : rows)
    EXPECT_EQ(nimbrel_tag::LyricsForFile(row.found, row.existing, sources), row.expected)
        << nimbrel_tag::Utf8(row.found);
}
