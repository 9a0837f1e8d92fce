// nimbrel-tag end to end: the built program over generated music files, with
// a catalogue test plug-in as its only source.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "Json.h"
#include "RunLock.h"
#include "Text.h"
#include "ToolFixture.h"
#include "ToolProcess.h"
#include "meridex/FileName.h"
#include "meridex/Tags.h"
#include "support/AudioSamples.h"
#include "support/HttpTestServer.h"
#include "support/ScratchFolder.h"

namespace {

using tag_tool_test::Album;
using tag_tool_test::Bytes;
using tag_tool_test::Lines;
using tag_tool_test::RunTool;
using tag_tool_test::ToolRun;
namespace fs = std::filesystem;

class TagToolTest : public tag_tool_test::ToolFixture {
 protected:
  void SetUp() override {
    ToolFixture::SetUp();
    Catalogue("");
  }

  // Four albums of twelve songs; titles differ by letters ("Tune Bc"), which
  // the matching never takes for one another.
  void Catalogue(const std::string& options, const std::string& cover = std::string()) {
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\n" << options;
    for (int i = 1; i <= 4; ++i) {
      data << "album Band\tAlbum " << i << "\tk" << i << "\t" << cover;
      for (int j = 1; j <= 12; ++j) data << "\t" << Title(i, j);
      data << "\n";
    }
  }

  // `albums` folders of `songs` files, MP3 and FLAC in turn, tagged with
  // artist and title only. Returns the paths with their original bytes.
  std::map<std::string, std::string> MakeMusic(int albums, int songs) {
    std::map<std::string, std::string> files;
    for (int i = 1; i <= albums; ++i) {
      const std::string folder = music + "Album " + std::to_string(i) + "/";
      fs::create_directories(folder);
      for (int j = 1; j <= songs; ++j) {
        const bool flac = (i + j) % 2 == 0;
        const std::string path = folder + (j < 10 ? "0" : "") + std::to_string(j) + " Song." + (flac ? "flac" : "mp3");
        testing_support::WriteFileBytes(plugin_text::Widen(path), flac ? testing_support::MakeFlac()
                                                                        : testing_support::MakeMp3());
        Meridex::CTags tags;
        tags.AddArtist(L"Band", false);
        tags.SetTitle(CString(plugin_text::Widen(Title(i, j))));
        EXPECT_TRUE(tags.SaveFile(CString(plugin_text::Widen(path))));
        files[path] = Bytes(path);
      }
    }
    return files;
  }

  ToolRun History(const std::vector<std::string>& args) { return RunTool(NIMBREL_TAG_TOOL, args, Environment()); }

  ToolRun Tag(std::vector<std::string> args, std::optional<int> interruptAfterLines = std::nullopt,
              const std::string& interruptOnError = "") {
    args.insert(args.begin(), {"--plugins", plugins, "--no-lyrics", "--policy", "2"});
    if (std::find(args.begin(), args.end(), "--cover") == args.end()) args.insert(args.begin(), "--no-cover");
    return RunTool(NIMBREL_TAG_TOOL, args, Environment(), interruptAfterLines, interruptOnError);
  }

  // Sets the album of each file to `album`.
  static void SetAlbum(const std::map<std::string, std::string>& files, const std::wstring& album) {
    for (const auto& [path, bytes] : files) {
      Meridex::CTags tags;
      ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(path))));
      tags.SetAlbum(CString(album));
      ASSERT_TRUE(tags.SaveFile(CString(plugin_text::Widen(path))));
    }
  }
};

TEST_F(TagToolTest, DryRunChangesNoByteAndItsJsonListsEveryCandidateWithSourceAndScore) {
  const auto files = MakeMusic(2, 3);
  const ToolRun run = Tag({"--dry-run", "--json", music});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const auto& [path, bytes] : files) EXPECT_EQ(Bytes(path), bytes) << path;
  EXPECT_NE(run.err.find("Dry run: no file was changed."), std::string::npos) << run.err;

  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), files.size()) << run.out;
  for (const std::string& line : lines) {
    plugin_json::Value object;
    ASSERT_TRUE(plugin_json::Parse(line, object).ok) << line;
    EXPECT_EQ(object.TextOf("status"), "tagged") << line;
    EXPECT_TRUE(files.count(object.TextOf("path"))) << line;
    const plugin_json::Value* candidates = object.Find("candidates");
    ASSERT_TRUE(candidates && candidates->IsArray() && !candidates->Items().empty()) << line;
    for (const plugin_json::Value& candidate : candidates->Items()) {
      EXPECT_EQ(candidate.TextOf("source"), "Catalogue");
      ASSERT_TRUE(candidate.IntegerOf("score"));
      EXPECT_EQ(*candidate.IntegerOf("score"), 98) << line;  // exact, but the catalogue knows no genre
      ASSERT_EQ(candidate.Find("reasons")->Items().size(), 1u);
      EXPECT_EQ(candidate.Find("reasons")->Items()[0].Text(), "no genre");
    }
    bool album = false;
    for (const plugin_json::Value& change : object.Find("changes")->Items()) {
      if (change.TextOf("field") != "album") continue;
      album = true;
      EXPECT_EQ(change.TextOf("old"), "");
      // The album of the file's own folder: each song found its own album.
      EXPECT_NE(object.TextOf("path").find("/" + change.TextOf("new") + "/"), std::string::npos) << line;
      EXPECT_EQ(change.Find("sources")->Items().at(0).Text(), "Catalogue");
    }
    EXPECT_TRUE(album) << line;
  }
}

TEST_F(TagToolTest, WritesEachChangeWithItsSourceAndASecondRunFindsEverythingDone) {
  const auto files = MakeMusic(1, 3);
  const ToolRun first = Tag({music});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find("  album: (none) -> \"Album 1\"  [Catalogue]"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("  track: (none) -> \"2\""), std::string::npos) << first.out;
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path), L"Album 1") << path;

  const ToolRun second = Tag({"--json", music});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  for (const std::string& line : Lines(second.out)) EXPECT_NE(line.find("\"status\":\"unchanged\""), std::string::npos);
}

TEST_F(TagToolTest, AFoundCoverIsWrittenOnceHoweverOftenTheFilesAreTagged) {
  testing_support::HttpTestServer server;
  server.Serve("/cover.png", testing_support::HttpResponse{200, "OK", {{"Content-Type", "image/png"}},
                                                           testing_support::MakePng()});
  Catalogue("", server.Url("/cover.png"));
  const auto files = MakeMusic(1, 2);
  for (int run = 0; run < 2; ++run) {
    const ToolRun tagged = Tag({"--cover", "--json", music});
    ASSERT_EQ(tagged.exitCode, 0) << tagged.err;
    for (const std::string& line : Lines(tagged.out))
      EXPECT_NE(line.find(run == 0 ? "\"status\":\"tagged\"" : "\"status\":\"unchanged\""), std::string::npos) << line;
    for (const auto& [path, bytes] : files) {
      Meridex::CTags tags;
      ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(path))));
      ASSERT_EQ(tags.GetPictureCount(), 1) << path << " after run " << run;
      Meridex::CPictureTag picture;
      ASSERT_TRUE(tags.GetPicture(0, picture));
      EXPECT_EQ(testing_support::ReadFileBytes(picture.GetFilePath().str()), testing_support::MakePng());
    }
  }
}

TEST_F(TagToolTest, BadFilesAreNamedWithWhyWhileTheOthersAreTagged) {
  const auto files = MakeMusic(1, 2);
  const std::string empty = music + "empty.mp3", text = music + "notes.mp3", cut = music + "cut.flac",
                    locked = music + "locked.mp3", untitled = music + "untitled.mp3";
  testing_support::WriteFileBytes(plugin_text::Widen(empty), "");
  testing_support::WriteFileBytes(plugin_text::Widen(text), "these are not the droids\n");
  testing_support::WriteFileBytes(plugin_text::Widen(cut), testing_support::MakeFlac().substr(0, 20));
  testing_support::WriteFileBytes(plugin_text::Widen(untitled), testing_support::MakeMp3());
  testing_support::WriteFileBytes(plugin_text::Widen(locked), testing_support::MakeMp3());
  Meridex::CTags tags;
  tags.AddArtist(L"Band", false);
  tags.SetTitle(CString(plugin_text::Widen(Title(1, 3))));
  ASSERT_TRUE(tags.SaveFile(CString(plugin_text::Widen(locked))));
  ::chmod(locked.c_str(), 0444);
  const std::string lockedBytes = Bytes(locked);

  const ToolRun run = Tag({music, music + "vanished.mp3"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path), L"Album 1") << path;
  EXPECT_EQ(Bytes(locked), lockedBytes);
  for (const std::string& expected :
       {empty + ": the file is empty", text + ": not a valid MP3 file", cut + ": not a valid FLAC file",
        locked + ": read-only file (chmod u+w?)", std::string("vanished.mp3: cannot open: no such file")}) {
    EXPECT_NE(run.err.find(expected), std::string::npos) << expected << "\n" << run.err;
  }
  // A file without a title is not an error, but it is listed for later.
  const std::string untagged = Bytes(home + ".local/state/nimbrel/untagged.log");
  EXPECT_NE(untagged.find(untitled + "\tno-artist-or-title\t"), std::string::npos) << untagged;
  EXPECT_NE(untagged.find(locked + "\terror\t"), std::string::npos) << untagged;
}

// `nimbrel-tag DIR | head`: the reader goes away after the first lines; the
// run still writes every file and gives its summary on standard error.
TEST_F(TagToolTest, AClosedOutputLetsTheRunFinishEveryWriteAndItsSummary) {
  Catalogue("latency 5\n");
  const auto files = MakeMusic(3, 4);
  const ToolRun run = RunTool("/bin/bash",
                              {"-c", "set -o pipefail; \"$@\" | head -n 1", "bash", NIMBREL_TAG_TOOL, "--plugins",
                               plugins, "--no-lyrics", "--no-cover", "--policy", "2", "--batch", "4", music},
                              Environment());
  EXPECT_EQ(run.exitCode, 0) << run.err;  // 141 when the closed pipe ended it
  EXPECT_EQ(Lines(run.out).size(), 1u);
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path).rfind(L"Album ", 0), 0u) << path;
  EXPECT_NE(run.err.find("12 of 12 files: 12 tagged"), std::string::npos) << run.err;
}

// A line feed in a name is shown escaped, on the name's one line, in the
// text output and the list of untagged files; a dry run leaves that list
// as the last real run wrote it.
TEST_F(TagToolTest, ANameWithALineFeedStaysOnItsLineAndADryRunKeepsTheListOfUntaggedFiles) {
  MakeMusic(1, 2);
  const std::string odd = music + "Album 1/bad\nname.mp3";
  testing_support::WriteFileBytes(plugin_text::Widen(odd), testing_support::MakeMp3());  // no title
  const ToolRun run = Tag({music});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::string shown = music + "Album 1/bad\\nname.mp3";
  EXPECT_NE(run.out.find("\n" + shown + "\n  not tagged: no artist or title"), std::string::npos) << run.out;
  const std::string logPath = home + ".local/state/nimbrel/untagged.log";
  const std::string log = Bytes(logPath);
  EXPECT_EQ(Lines(log).size(), 1u) << log;
  EXPECT_EQ(log.rfind(shown + "\tno-artist-or-title\t", 0), 0u) << log;

  fs::remove(odd);
  const ToolRun dry = Tag({"--dry-run", music});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_EQ(Bytes(logPath), log);
}

// Under policy 2 a catalogue's "Album 1" replaces the file's "album 1": a
// change of letter case is a change. A path that does not exist fails the run.
TEST_F(TagToolTest, AnotherLetterCaseIsWrittenAndAMissingPathFailsTheRun) {
  const auto files = MakeMusic(1, 2);
  SetAlbum(files, L"album 1");
  const ToolRun run = Tag({"--json", "--no-history", music, root + "missing"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find(root + "missing: "), std::string::npos) << run.err;
  EXPECT_EQ(History({"history"}).out, "");  // --no-history: nothing recorded
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path), L"Album 1") << path;
  for (const std::string& line : Lines(run.out)) {
    EXPECT_NE(line.find("\"status\":\"tagged\""), std::string::npos) << line;
    EXPECT_NE(line.find("{\"field\":\"album\",\"old\":\"album 1\",\"new\":\"Album 1\""), std::string::npos) << line;
  }
}

// Under policy 1 a candidate whose track number differs from the file's is
// not taken: the file is not "already complete", and the score says why.
TEST_F(TagToolTest, ACandidateThePolicyRefusedIsNotCalledAlreadyComplete) {
  const auto files = MakeMusic(1, 1);
  const std::string path = files.begin()->first;
  {
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(path))));
    tags.SetTrackNumber(L"7");
    ASSERT_TRUE(tags.SaveFile(CString(plugin_text::Widen(path))));
  }
  const std::string before = Bytes(path);
  const ToolRun run = Tag({"--policy", "1", "--verbose", music});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.find("already complete"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("not tagged: the sources found another track number than the file holds; policy 1"),
            std::string::npos) << run.out;
  EXPECT_NE(run.out.find("track number differs from the file's"), std::string::npos) << run.out;
  EXPECT_EQ(Bytes(path), before);
  EXPECT_NE(Bytes(home + ".local/state/nimbrel/untagged.log").find("\tdisagrees\t"), std::string::npos);
}

// A second run over folders another run is working on waits for it (here
// stopped while waiting) and touches nothing; it runs once they are free.
TEST_F(TagToolTest, ASecondRunOverTheSameFoldersWaitsForTheFirst) {
  const auto files = MakeMusic(1, 2);
  std::optional<nimbrel_tag::RunLock> other(std::in_place, home + ".local/state/nimbrel/",
                                            std::set<std::string>{music + "Album 1/"});
  std::string error;
  ASSERT_TRUE(other->TryLock(error)) << error;
  const ToolRun waiting = Tag({music}, std::nullopt, "waiting for it to end");
  EXPECT_EQ(waiting.exitCode, 130) << waiting.err;
  EXPECT_NE(waiting.err.find("another nimbrel-tag run is working on these folders"), std::string::npos);
  for (const auto& [path, bytes] : files) EXPECT_EQ(Bytes(path), bytes) << path;
  other.reset();
  ASSERT_EQ(Tag({music}).exitCode, 0);
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path), L"Album 1") << path;
}

// Every write is recorded; `undo --last` puts back the old values and
// pictures of the files still as the run left them, with their modification
// times, and names the one someone changed since; `history` lists the run.
TEST_F(TagToolTest, UndoPutsBackWhatARunReplacedAndLeavesAFileChangedSince) {
  testing_support::HttpTestServer server;
  server.Serve("/cover.png", testing_support::HttpResponse{200, "OK", {{"Content-Type", "image/png"}},
                                                           testing_support::MakePng()});
  Catalogue("", server.Url("/cover.png"));
  const auto made = MakeMusic(1, 3);
  const std::string oldCover = root + "old.png", oldBytes = testing_support::MakePng() + "old";
  testing_support::WriteFileBytes(plugin_text::Widen(oldCover), oldBytes);
  std::map<std::string, std::int64_t> mtimes;
  for (const auto& [path, bytes] : made) {
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(path))));
    tags.SetAlbum(L"My Album");
    tags.AddPicture(Meridex::CPictureTag(CString(plugin_text::Widen(oldCover)), L"image/png", 3, L"", false));
    ASSERT_TRUE(tags.SaveFile(CString(plugin_text::Widen(path))));
    struct stat info {};
    ::stat(path.c_str(), &info);
    mtimes[path] = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
  }
  ASSERT_EQ(Tag({"--dry-run", "--cover", music}).exitCode, 0);  // records nothing
  EXPECT_EQ(History({"history"}).out, "");
  const ToolRun run = Tag({"--cover", music});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const auto& [path, bytes] : made) EXPECT_EQ(Album(path), L"Album 1") << path;
  const std::string edited = made.rbegin()->first;
  {
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(edited))));
    tags.SetComment(L"mine");
    ASSERT_TRUE(tags.SaveFile(CString(plugin_text::Widen(edited))));
  }
  const ToolRun listed = History({"history"});
  ASSERT_EQ(Lines(listed.out).size(), 1u) << listed.out << listed.err;
  EXPECT_EQ(listed.out.rfind("1\t", 0), 0u) << listed.out;
  EXPECT_NE(listed.out.find("\t3 files\t"), std::string::npos) << listed.out;

  const ToolRun undo = History({"undo", "--last"});
  EXPECT_EQ(undo.exitCode, 1) << undo.err;
  EXPECT_NE(undo.err.find(edited + ": changed since run 1 wrote it; left as it is"), std::string::npos) << undo.err;
  EXPECT_NE(undo.err.find("2 of 3 files restored, 1 changed since"), std::string::npos) << undo.err;
  for (const auto& [path, bytes] : made) {
    if (path == edited) {
      EXPECT_EQ(Album(path), L"Album 1");
      continue;
    }
    EXPECT_EQ(Album(path), L"My Album") << path;
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(plugin_text::Widen(path))));
    ASSERT_EQ(tags.GetPictureCount(), 1) << path;
    Meridex::CPictureTag picture;
    ASSERT_TRUE(tags.GetPicture(0, picture));
    EXPECT_EQ(testing_support::ReadFileBytes(picture.GetFilePath().str()), oldBytes) << path;
    CString track;
    EXPECT_FALSE(tags.GetTrackNumber(track)) << path;  // the run added it; gone again
    struct stat info {};
    ::stat(path.c_str(), &info);
    EXPECT_EQ(info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec, mtimes[path]) << path;
  }
  EXPECT_NE(History({"history"}).out.find("(2 undone)"), std::string::npos);
  // By folder: the last change of each file below it; only the edited file is left, and it stays.
  const ToolRun again = History({"undo", music});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_NE(again.err.find(edited + ": changed since run 1"), std::string::npos) << again.err;
}

TEST_F(TagToolTest, CtrlCLeavesEveryFileWholeAndTheSameCommandGoesOnWhereItStopped) {
  Catalogue("latency 10\n");
  const auto files = MakeMusic(4, 12);
  const ToolRun stopped = Tag({"--batch", "4", music}, 1);
  ASSERT_EQ(stopped.exitCode, 130) << stopped.err;
  EXPECT_NE(stopped.err.find("Interrupted"), std::string::npos) << stopped.err;
  std::size_t written = 0;
  for (const auto& [path, bytes] : files) {
    // Either untouched or completely written, never in between.
    if (Bytes(path) == bytes) continue;
    ++written;
    EXPECT_EQ(Album(path).rfind(L"Album ", 0), 0u) << path;
  }
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, files.size());
  for (const auto& entry : fs::recursive_directory_iterator(music))
    EXPECT_EQ(entry.path().filename().string().find(".meridex-"), std::string::npos) << entry.path();

  const ToolRun resumed = Tag({"--batch", "4", music});
  ASSERT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_NE(resumed.err.find(std::to_string(written) + " done earlier"), std::string::npos) << resumed.err;
  for (const auto& [path, bytes] : files) EXPECT_EQ(Album(path).rfind(L"Album ", 0), 0u) << path;
}

TEST_F(TagToolTest, TheConfigurationFileGivesDefaultsTheCommandLineWinsAndOthersMayNotWriteIt) {
  const auto files = MakeMusic(1, 1);
  const std::string config = home + ".config/nimbrel/nimbrel-tag.conf";
  fs::create_directories(home + ".config/nimbrel");
  std::ofstream(config) << "# defaults\ndry-run = yes\n";
  ::chmod(config.c_str(), 0600);
  EXPECT_EQ(Tag({music}).exitCode, 0);
  EXPECT_EQ(Bytes(files.begin()->first), files.begin()->second);  // the file's dry run held

  ::chmod(config.c_str(), 0622);  // writable by others: refused, with how to mend it
  ToolRun run = Tag({"--dry-run", music});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("(chmod go-w " + config + ")"), std::string::npos) << run.err;

  ::chmod(config.c_str(), 0600);
  EXPECT_EQ(Tag({"--no-dry-run", music}).exitCode, 0);
  EXPECT_EQ(Album(files.begin()->first), L"Album 1");

  std::ofstream(config) << "polcy = 2\n";
  run = Tag({music});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("nimbrel-tag.conf:1: unknown setting \"polcy\""), std::string::npos) << run.err;
  EXPECT_EQ(Tag({"--no-config", "--policy", "4", music}).exitCode, 2);
  // A mistyped plug-in folder is an error, not a new empty folder.
  EXPECT_EQ(Tag({"--no-config", "--plugins", root + "plugns", music}).exitCode, 2);
  EXPECT_FALSE(fs::exists(root + "plugns"));
}

// The dry run checks what the real run checks; a name that is not UTF-8 is
// tagged like any other and JSON gives its exact bytes; a file another
// program is writing is left alone; the real run first tidies what an
// interrupted save left in the folders it walks.
TEST_F(TagToolTest, TheDryRunSaysWhatWouldFailAndEveryNameIsSavedAndGivenBackExactly) {
  const auto files = MakeMusic(1, 3);
  const std::string folder = music + "Album 1/";
  const std::string latin1 = folder + "caf\xe9.mp3", locked = folder + "04 Locked.mp3", busy = folder + "05 Busy.mp3";
  for (const auto& [path, title] : {std::pair{latin1, Title(1, 4)}, {locked, Title(1, 5)}, {busy, Title(1, 6)}}) {
    testing_support::WriteFileBytes(Meridex::FileNameFromNative(path).str(), testing_support::MakeMp3());
    Meridex::CTags tags;
    tags.AddArtist(L"Band", false);
    tags.SetTitle(CString(plugin_text::Widen(title)));
    ASSERT_TRUE(tags.SaveFile(Meridex::FileNameFromNative(path)));
  }
  ::chmod(locked.c_str(), 0444);
  const int writer = ::open(busy.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);  // another program's, as it were
  ASSERT_GE(writer, 0);
  const std::string leftover = folder + ".meridex-00000000.1.1.abcdefghij.tmp";  // a writer of another boot
  testing_support::WriteFileBytes(plugin_text::Widen(leftover), std::string(4096, 'x'));
  std::map<std::string, std::string> before;
  for (const auto& entry : fs::directory_iterator(folder)) before[entry.path().string()] = Bytes(entry.path().string());

  auto statuses = [](const ToolRun& run) {
    std::map<std::string, std::pair<std::string, std::string>> byName;  // exact name: status, message
    for (const std::string& line : Lines(run.out)) {
      plugin_json::Value object;
      EXPECT_TRUE(plugin_json::Parse(line, object).ok) << line;
      const ToolRun decoded = RunTool("/usr/bin/env", {"python3", "-c",
          "import base64, sys; sys.stdout.buffer.write(base64.b64decode(sys.argv[1]))", object.TextOf("path_bytes")}, {});
      byName[decoded.out] = {object.TextOf("status"), object.TextOf("message")};
    }
    return byName;
  };
  const ToolRun dry = Tag({"--dry-run", "--json", music});
  EXPECT_EQ(dry.exitCode, 1) << dry.err;
  auto seen = statuses(dry);
  EXPECT_EQ(seen[latin1].first, "tagged") << dry.out;
  EXPECT_EQ(seen[locked].first, "error");
  EXPECT_EQ(seen[locked].second.rfind("would fail: cannot write", 0), 0u) << seen[locked].second;
  EXPECT_EQ(seen[busy].second.rfind("would fail: ", 0), 0u) << seen[busy].second;
  EXPECT_NE(seen[busy].second.find("being written by another program; try again later"), std::string::npos);
  EXPECT_NE(dry.err.find("2 would fail"), std::string::npos) << dry.err;
  for (const auto& [path, bytes] : before) EXPECT_EQ(Bytes(path), bytes) << path;

  const ToolRun real = Tag({"--json", music});
  EXPECT_EQ(real.exitCode, 1) << real.err;
  seen = statuses(real);
  EXPECT_EQ(seen[latin1].first, "tagged") << real.out;
  EXPECT_EQ(Album(latin1), L"Album 1");
  EXPECT_EQ(seen[busy].second.find("would fail"), std::string::npos);
  EXPECT_NE(seen[busy].second.find("being written by another program"), std::string::npos) << seen[busy].second;
  EXPECT_EQ(Bytes(busy), before[busy]);
  EXPECT_EQ(Bytes(locked), before[locked]);
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_NE(real.err.find("removed 1 unfinished file"), std::string::npos) << real.err;
  ::close(writer);
}

}  // namespace

// An MP3 whose ID3v2.3 tag another program wrote with lyrics and comments in
// several languages, without an album: a run that adds the album keeps
// every other USLT and COMM frame as it was, as mutagen reads them
// (encoding included); found lyrics replace the English ones only, without
// their source's signature line.
TEST_F(TagToolTest, AddingTheAlbumKeepsTheOtherLyricsAndCommentFramesOfAnotherProgram) {
  const std::string python = "/usr/bin/python3";
  if (RunTool(python, {"-c", "import mutagen"}, {}).exitCode != 0)
    GTEST_SKIP() << "python3-mutagen (Debian package) is needed to make and read the file";
  fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "LyricsCatalogue.so", plugins + "Lyrics/LyricsCatalogue.so");
  {
    std::ofstream data(root + "catalogue.txt");
    // The second album is of 2001 and has the song third, as the file says:
    // policy 1 keeps only candidates that agree with the file's year and track.
    data << "search 0\nalbum Somebody\tOther\tk0\t\tOne\n"
         << "album First Artist\tNew Album\tk1\t\tOne\tTwo\tSong Title\n"
         << "lyric First Artist\tSong Title\tl1\tFound words of the song\n";
  }
  const std::string frames =
      "import sys\nfrom mutagen import id3\nt = id3.ID3(sys.argv[1])\n"
      "for f in t.getall('USLT') + t.getall('COMM'):\n"
      "    print(f.HashKey, f.encoding, repr(f.text))\n"
      "print('version', t.version, 'album', t.getall('TALB'))\n";
  auto Frames = [&](const std::string& path) {
    const ToolRun read = RunTool(python, {"-c", frames, path}, {});
    EXPECT_EQ(read.exitCode, 0) << read.err;
    return Lines(read.out);
  };

  struct Row {
    std::vector<std::string> args;
    bool lyricsFound;  // the English lyrics become the found ones
  } rows[] = {
      {{"--lyrics"}, true},
      {{"--no-lyrics"}, false},
      {{"--lyrics", "--policy", "1"}, false},  // policy 1 fills only what the file lacks
  };
  for (const Row& row : rows) {
    const std::string name = ::testing::PrintToString(row.args);
    const std::string folder = music + "Album/";
    fs::remove_all(music);
    fs::create_directories(folder);
    const std::string path = folder + "song.mp3";
    const ToolRun made = RunTool(python, {NIMBREL_CORPUS_TOOL, "make", "mp3-v23", path}, {});
    if (made.exitCode != 0) GTEST_SKIP() << made.err;
    ASSERT_EQ(RunTool(python,
                      {"-c", "import sys\nfrom mutagen import id3\nt = id3.ID3(sys.argv[1])\nt.delall('TALB')\n"
                             "t.save(v2_version=3, v1=0)\n",
                       path},
                      {})
                  .exitCode,
              0);
    const std::vector<std::string> before = Frames(path);
    ASSERT_EQ(before.size(), 7u) << name;  // 3 USLT, 3 COMM, the version line

    std::vector<std::string> args = row.args;
    args.push_back(music);
    const ToolRun run = Tag(args);
    ASSERT_EQ(run.exitCode, 0) << name << run.err;
    EXPECT_EQ(Album(path), L"New Album") << name << run.out;

    const std::vector<std::string> after = Frames(path);
    ASSERT_EQ(after.size(), before.size()) << name;
    for (std::size_t i = 0; i + 1 < before.size(); ++i) {
      if (row.lyricsFound && before[i].rfind("USLT::eng ", 0) == 0) {
        // The found text as the source gave it, without its last line naming the source.
        EXPECT_EQ(after[i], "USLT::eng Encoding.UTF16 'Found words of the song'") << name;
        continue;
      }
      EXPECT_EQ(after[i], before[i]) << name;
    }
    EXPECT_NE(after.back().find("version (2, 3, 0)"), std::string::npos) << name << after.back();
  }
}
