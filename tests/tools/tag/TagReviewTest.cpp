// nimbrel-tag's review before writing (plans, the HTML report) and its
// choices (the prompt, the source's spelling), end to end with the built
// program and the catalogue test plug-in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "InteractiveChooser.h"
#include "Json.h"
#include "RunLock.h"
#include "SpellingFix.h"
#include "Text.h"
#include "ToolFixture.h"
#include "ToolProcess.h"
#include "../../../plugins/catalogue/CatalogueStore.h"
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

class TagReviewTest : public tag_tool_test::ToolFixture {
 protected:
  // "album" lines of the catalogue: artist "Band", `songs` titles of album `number`.
  void Catalogue(const std::vector<std::pair<std::string, int>>& albums, const std::string& cover = "") {
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\n";
    for (const auto& [name, number] : albums) {
      data << "album Band\t" << name << "\tk" << number << name.size() << "\t" << cover;
      for (int j = 1; j <= 4; ++j) data << "\t" << Title(number, j);
      data << "\n";
    }
  }

  // Files of album `number` in folder `folder`, MP3 and FLAC in turn,
  // with artist `artist` and the titles only.
  std::vector<std::string> MakeMusic(const std::string& folder, int number, int songs, const char* artist = "Band") {
    std::vector<std::string> paths;
    fs::create_directories(music + folder);
    for (int j = 1; j <= songs; ++j) {
      const bool flac = j % 2 == 0;
      const std::string path = music + folder + "/0" + std::to_string(j) + (flac ? ".flac" : ".mp3");
      testing_support::WriteFileBytes(plugin_text::Widen(path),
                                      flac ? testing_support::MakeFlac() : testing_support::MakeMp3());
      Meridex::CTags tags;
      tags.AddArtist(CString(plugin_text::Widen(artist)), false);
      tags.SetTitle(CString(plugin_text::Widen(Title(number, j))));
      EXPECT_TRUE(tags.SaveFile(CString(plugin_text::Widen(path))));
      paths.push_back(path);
    }
    return paths;
  }

  std::vector<std::string> Arguments(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--plugins", plugins, "--no-lyrics", "--policy", "2", "--no-config"});
    if (std::find(args.begin(), args.end(), "--cover") == args.end()) args.insert(args.begin(), "--no-cover");
    return args;
  }

  ToolRun Tag(const std::vector<std::string>& args) { return RunTool(NIMBREL_TAG_TOOL, Arguments(args), Environment()); }
};

// A plan holds what a real run writes, byte for byte; applying it waits for
// a run over its folders and refuses a file edited since, even by an edit
// that kept its size and time.
TEST_F(TagReviewTest, APlanAppliedLaterWritesWhatTheRunWouldHaveAndRefusesFilesChangedSince) {
  testing_support::HttpTestServer server;
  server.Serve("/cover.png", testing_support::HttpResponse{200, "OK", {{"Content-Type", "image/png"}},
                                                           testing_support::MakePng()});
  Catalogue({{"Album 1", 1}}, server.Url("/cover.png"));
  const std::vector<std::string> files = MakeMusic("planned", 1, 3, "band");
  fs::copy(music + "planned", music + "direct");
  std::map<std::string, std::string> before;
  for (const std::string& path : files) before[path] = Bytes(path);

  const std::string plan = root + "plan.jsonl";
  ASSERT_EQ(Tag({"--cover", "--plan", plan, music + "planned"}).exitCode, 2);  // a plan needs --dry-run
  const ToolRun dry = Tag({"--cover", "--dry-run", "--plan", plan, music + "planned"});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  for (const std::string& path : files) EXPECT_TRUE(Bytes(path) == before[path]) << path;
  const std::vector<std::string> lines = Lines(Bytes(plan));
  ASSERT_EQ(lines.size(), files.size()) << dry.err;
  for (const std::string& line : lines) {
    plugin_json::Value object;
    ASSERT_TRUE(plugin_json::Parse(line, object).ok) << line;
    EXPECT_EQ(object.Find("identity")->TextOf("sha256").size(), 64u) << line;
    EXPECT_EQ(object.Find("set")->Find("album")->Items().at(0).Text(), "Album 1") << line;
    EXPECT_EQ(object.Find("set")->Find("artist"), nullptr) << "spelling kept unless asked: " << line;
    ASSERT_EQ(object.Find("pictures")->Items().size(), 1u) << line;
  }

  // Another program edits the second file's title in place: same size, same time.
  struct stat info {};
  ASSERT_EQ(::stat(files[1].c_str(), &info), 0);
  const std::size_t at = Bytes(files[1]).find(Title(1, 2));
  ASSERT_NE(at, std::string::npos);
  const int fd = ::open(files[1].c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::pwrite(fd, "Tune Bz", 7, static_cast<off_t>(at)), 7);
  ::close(fd);
  const timespec times[2] = {info.st_atim, info.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, files[1].c_str(), times, 0), 0);
  const std::string editedBytes = Bytes(files[1]);

  {
    // A run over the whole music folder holds its folders: the plan waits
    // for it (stopped here while waiting) and writes nothing.
    nimbrel_tag::RunLock run(home + ".local/state/nimbrel/", {music + "direct/", music + "planned/"});
    std::string error;
    ASSERT_TRUE(run.TryLock(error)) << error;
    const ToolRun waiting = RunTool(NIMBREL_TAG_TOOL, {"apply", plan}, Environment(), std::nullopt, "waiting for it");
    EXPECT_EQ(waiting.exitCode, 130) << waiting.err;
    EXPECT_EQ(Album(files[0]), L"") << waiting.err;
  }
  const ToolRun applied = RunTool(NIMBREL_TAG_TOOL, {"apply", plan}, Environment());
  EXPECT_EQ(applied.exitCode, 1) << applied.err;
  EXPECT_NE(applied.err.find(files[1] + ": not written: its content changed since the plan was made"),
            std::string::npos) << applied.err;
  EXPECT_NE(applied.err.find("2 of 3 planned files written, 1 left alone"), std::string::npos) << applied.err;
  EXPECT_TRUE(Bytes(files[1]) == editedBytes);

  const ToolRun direct = Tag({"--cover", music + "direct"});
  ASSERT_EQ(direct.exitCode, 0) << direct.err;
  for (const std::string& path : {files[0], files[2]}) {
    const std::string twin = music + "direct/" + fs::path(path).filename().string();
    EXPECT_EQ(Album(path), L"Album 1") << path;
    EXPECT_TRUE(Bytes(path) == Bytes(twin)) << path << " differs from the file a run without a plan wrote";
  }
  // Applied once, the plan no longer fits its files.
  EXPECT_EQ(RunTool(NIMBREL_TAG_TOOL, {"apply", plan}, Environment()).exitCode, 1);
  // What the plan wrote is in the history: undo takes it back.
  const ToolRun undone = RunTool(NIMBREL_TAG_TOOL, {"undo", music + "planned"}, Environment());
  EXPECT_EQ(undone.exitCode, 0) << undone.out << undone.err;
  for (const std::string& path : {files[0], files[2]}) EXPECT_EQ(Album(path), L"") << path << undone.err;
  EXPECT_TRUE(Bytes(files[1]) == editedBytes);
  // A damaged plan writes nothing.
  std::ofstream(root + "bad.jsonl") << lines[0] << "\n{\"path_bytes\":\"x\"}\n";
  EXPECT_EQ(RunTool(NIMBREL_TAG_TOOL, {"apply", root + "bad.jsonl"}, Environment()).exitCode, 2);
}

TEST(SpellingFix, OnlyCaseBlanksPunctuationAndAccentsCount) {
  using nimbrel_tag::SpellingFix;
  EXPECT_TRUE(SpellingFix::OnlySpellingDiffers(L"the lanterns", L"The Lanterns"));
  EXPECT_TRUE(SpellingFix::OnlySpellingDiffers(L"Beyonce", L"Beyonc\u00e9"));
  EXPECT_TRUE(SpellingFix::OnlySpellingDiffers(L"AC DC", L"AC/DC"));
  EXPECT_FALSE(SpellingFix::OnlySpellingDiffers(L"The Lanterns", L"The Lanterns"));  // nothing to write
  EXPECT_FALSE(SpellingFix::OnlySpellingDiffers(L"Lanterns", L"The Lanterns"));
  EXPECT_FALSE(SpellingFix::OnlySpellingDiffers(L"Part 1", L"Part 2"));
  EXPECT_FALSE(SpellingFix::OnlySpellingDiffers(L"!!!", L"?"));  // no letters: no judgement
}

// Candidates that name different albums are asked about even when they score
// well; a number takes that candidate's album, year and track; an album
// whose candidates agree is not asked about.
TEST(InteractiveChooser, DisagreeingCandidatesAreAskedAboutAndTheChosenOneIsTaken) {
  auto Candidate = [](const wchar_t* source, const wchar_t* album, const wchar_t* year) {
    Meridex::CTags tags;
    tags.AddArtist(L"Band", false);
    tags.SetTitle(L"Song");
    tags.SetAlbum(album);
    tags.SetYear(year);
    tags.SetTrackNumber(L"3");
    tags.SetGenre(L"Rock");
    tags.SetSource(source);
    return tags;
  };
  std::vector<nimbrel_tag::TaggedFile> files(2);
  for (std::size_t i = 0; i < files.size(); ++i) {
    nimbrel_tag::TaggedFile& file = files[i];
    file.report.path = i == 0 ? "/m/doubtful/song.mp3" : "/m/sure/song.mp3";
    file.id = static_cast<unsigned>(i + 1);
    file.input.AddArtist(L"Band", false);
    file.input.SetTitle(L"Song");
    file.results = {Candidate(L"A", L"Live", L"2001"), Candidate(L"B", i == 0 ? L"Studio" : L"Live", L"2001")};
    file.output = file.results[0];
    file.report.basicCandidates = 2;
    file.report.bestScore = 100;
  }
  int answers[2];
  ASSERT_EQ(::pipe(answers), 0);
  ASSERT_EQ(::write(answers[1], "2\n", 2), 2);
  ::close(answers[1]);
  char* shown = nullptr;
  std::size_t length = 0;
  std::FILE* out = ::open_memstream(&shown, &length);
  nimbrel_tag::TagOptions options;
  options.minScore = 50;
  nimbrel_tag::InteractiveChooser chooser(
      options, [](auto&, const auto&) { return true; }, [] { return false; }, answers[0], out);
  EXPECT_TRUE(chooser.Decide(files));
  std::fclose(out);
  ::close(answers[0]);
  const std::string prompt(shown, length);
  std::free(shown);
  EXPECT_NE(prompt.find("1. \"Live\" (2001), 1 of 1 tracks, 100% [A]"), std::string::npos) << prompt;
  EXPECT_NE(prompt.find("2. \"Studio\" (2001), 1 of 1 tracks, 100% [B]"), std::string::npos) << prompt;
  EXPECT_EQ(prompt.find("/m/sure/"), std::string::npos) << prompt;
  CString album;
  ASSERT_TRUE(files[0].output.GetAlbum(album));
  EXPECT_EQ(album.str(), L"Studio");
  EXPECT_TRUE(files[0].confirmed);
  EXPECT_FALSE(files[1].confirmed);
  EXPECT_TRUE(files[1].heldBack.empty()) << files[1].heldBack;
}

// The report opened in a real browser, without network: it shows the new
// cover and the changes; texts from the tags are escaped.
TEST_F(TagReviewTest, TheReportShowsCoversAndChangesInABrowserAndEscapesTags) {
  const std::string chromium = "/usr/bin/chromium";
  if (::access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << "chromium (Debian package) is needed";
  const std::string helper = NIMBREL_PNG_HELPER;
  const std::string cover = root + "cover.png";
  ASSERT_EQ(RunTool("/usr/bin/python3", {helper, "make", cover, "16", "16", "ff00ff"}, {}).exitCode, 0);
  testing_support::HttpTestServer server;
  server.Serve("/cover.png", testing_support::HttpResponse{200, "OK", {{"Content-Type", "image/png"}}, Bytes(cover)});
  Catalogue({{"Album <b>1</b> & Co", 1}}, server.Url("/cover.png"));
  MakeMusic("one", 1, 2, "band");

  const std::string page = root + "report.html";
  const ToolRun run = Tag({"--cover", "--dry-run", "--fix-spelling", "--json", "--report", page, music});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // The source's spelling of the artist, asked for.
  EXPECT_NE(run.out.find("{\"field\":\"artist\",\"old\":\"band\",\"new\":\"Band\""), std::string::npos) << run.out;
  const std::string html = Bytes(page);
  EXPECT_NE(html.find("Album &lt;b&gt;1&lt;/b&gt; &amp; Co"), std::string::npos);
  EXPECT_EQ(html.find("<b>1</b>"), std::string::npos);
  EXPECT_EQ(html.find("://"), std::string::npos) << "the page must not fetch anything";

  const std::string shot = root + "shot.png";
  const ToolRun browser =
      RunTool(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--user-data-dir=" + root + "browser",
                         "--window-size=900,700", "--screenshot=" + shot, "file://" + page},
              {{"HOME", home}});
  ASSERT_TRUE(fs::exists(shot)) << browser.err;
  const ToolRun counted = RunTool("/usr/bin/python3", {helper, "count", shot, "ff00ff", "c8f7c5", "f7c5c5"}, {});
  ASSERT_EQ(counted.exitCode, 0) << counted.err;
  std::map<std::string, long> pixels;
  for (const std::string& line : Lines(counted.out)) pixels[line.substr(0, 6)] = std::stol(line.substr(7));
  EXPECT_GE(pixels["ff00ff"], 150 * 150) << "the new cover, 160 pixels square";
  EXPECT_GT(pixels["c8f7c5"], 500) << "new values";
  EXPECT_GT(pixels["f7c5c5"], 500) << "old values";
}

// A terminal the test types into: it waits for the program's words, never for time.
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const std::map<std::string, std::optional<std::string>>& environment) {
    tag_tool_test::ChildCommand command(NIMBREL_TAG_TOOL, args, environment);
    child_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (child_ == 0) {
      ::execve(NIMBREL_TAG_TOOL, command.Argv(), command.Envp());
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (master_ >= 0) ::close(master_);
    if (child_ > 0 && !exited_) ::kill(child_, SIGKILL), ::waitpid(child_, nullptr, 0);
  }

  // Reads until the output (from `from` on) holds `text`; false when the program ended first.
  bool WaitFor(const std::string& text, std::size_t from = 0) {
    while (seen_.find(text, from) == std::string::npos)
      if (!ReadSome()) return false;
    return true;
  }
  void Type(const std::string& keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
  int Exit() {
    while (ReadSome()) {
    }
    int status = 0;
    ::waitpid(child_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Seen() const { return seen_; }

 private:
  bool ReadSome() {
    pollfd fd{master_, POLLIN, 0};
    // Long only as a guard against a hang; the answer comes as soon as it is there.
    if (::poll(&fd, 1, 60000) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int master_ = -1;
  pid_t child_ = -1;
  bool exited_ = false;
  std::string seen_;
};

// Asked about each doubtful album, a person searches again with another
// album name and picks its candidate by number, skips the next album and
// presses Ctrl-C at the third: the chosen album is written, the others stay.
TEST_F(TagReviewTest, AtThePromptAPersonSearchesAgainPicksSkipsAndInterrupts) {
  Catalogue({{"Album 1", 1}, {"Album 1 Live", 1}, {"Album 2", 2}, {"Album 3", 3}});
  const std::vector<std::string> first = MakeMusic("a", 1, 2);
  const std::string second = MakeMusic("b", 2, 1)[0], third = MakeMusic("c", 3, 1)[0];
  const std::string secondBytes = Bytes(second), thirdBytes = Bytes(third);
  // 98 % (the catalogue knows no genre) is below 99: every album is asked about.
  Terminal terminal(Arguments({"--interactive", "--min-score", "99", music}), Environment());
  ASSERT_TRUE(terminal.WaitFor("to search again: ")) << terminal.Seen();
  EXPECT_NE(terminal.Seen().find("(2 files)"), std::string::npos) << terminal.Seen();
  EXPECT_NE(terminal.Seen().find("1. \"Album 1\" (2000), 2 of 2 tracks, 98% [Catalogue]: no genre"),
            std::string::npos) << terminal.Seen();
  std::size_t mark = terminal.Seen().size();
  terminal.Type("Album 1 Live\n");
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  const std::string listed = terminal.Seen().substr(mark);
  const std::size_t live = listed.find(". \"Album 1 Live\"");
  ASSERT_NE(live, std::string::npos) << listed;
  mark = terminal.Seen().size();
  terminal.Type(listed.substr(live - 1, 1) + "\n");
  ASSERT_TRUE(terminal.WaitFor(second + " (1 file)", mark)) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  mark = terminal.Seen().size();
  terminal.Type("s\n");
  ASSERT_TRUE(terminal.WaitFor(third + " (1 file)", mark)) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  terminal.Type("\x03");  // Ctrl-C, as the terminal sends it
  EXPECT_EQ(terminal.Exit(), 130) << terminal.Seen();
  for (const std::string& path : first) EXPECT_EQ(Album(path), L"Album 1 Live") << path << terminal.Seen();
  EXPECT_TRUE(Bytes(second) == secondBytes) << "skipped, yet written";
  EXPECT_TRUE(Bytes(third) == thirdBytes) << "undecided at Ctrl-C, yet written";
}

// At the prompt a MusicBrainz release page names the album for a folder and
// a bare id the recording of a single song: each searches again by that id
// (here in the offline catalogue plug-in), and only what it names is offered.
TEST_F(TagReviewTest, AtThePromptAMusicBrainzIdSearchesAgainByThatId) {
  fs::remove(plugins + "General/Catalogue.so");
  fs::copy_file(NIMBREL_PLUGIN_DIR "General/catalogue.so", plugins + "General/catalogue.so");
  const std::string catalogueFile = root + "catalogue.sqlite";
  const auto id = [](char kind, int n) { return std::string(8, kind) + "-0000-4000-8000-00000000000" + std::to_string(n); };
  {
    catalogue::CatalogueStore writer;
    ASSERT_TRUE(writer.OpenForWriting(catalogueFile));
    ASSERT_TRUE(writer.Begin());
    const auto add = [&](int n, const std::string& title, int album, int recordings) {
      catalogue::Release release{id('a', n), title, "Band", "Pop", 2000 + n, "", {}};
      for (int j = 1; j <= 2; ++j) release.tracks.push_back({1, j, Title(album, j), 0, id('c', recordings + j)});
      ASSERT_TRUE(writer.Add(release));
    };
    add(1, "Album 1", 1, 0);
    add(2, "Album 1 Deluxe", 1, 2);
    add(3, "Album 2", 2, 4);
    add(4, "Album 2 Live", 2, 6);
    ASSERT_TRUE(writer.Commit());
  }
  const std::vector<std::string> group = MakeMusic("a", 1, 2);
  const std::string single = MakeMusic("b", 2, 1)[0];
  auto environment = Environment();
  environment["NIMBREL_CATALOGUE_CATALOGUEFILE"] = catalogueFile;
  Terminal terminal(Arguments({"--interactive", "--min-score", "99", music}), environment);
  ASSERT_TRUE(terminal.WaitFor("(2 files)")) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("to search again: ")) << terminal.Seen();
  EXPECT_NE(terminal.Seen().find(". \"Album 1\" (2001)"), std::string::npos) << terminal.Seen();
  std::size_t mark = terminal.Seen().size();
  // A recording names no album: asked again, nothing searched.
  terminal.Type("https://musicbrainz.org/recording/" + id('c', 1) + "\n");
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  EXPECT_NE(terminal.Seen().find("give the album's release", mark), std::string::npos) << terminal.Seen();
  mark = terminal.Seen().size();
  terminal.Type("https://musicbrainz.org/release/" + id('A', 2) + "?tab=tracks\n");
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  std::string listed = terminal.Seen().substr(mark);
  EXPECT_NE(listed.find("1. \"Album 1 Deluxe\" (2002), 2 of 2 tracks"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("2. "), std::string::npos) << "only the release named is offered: " << listed;
  mark = terminal.Seen().size();
  terminal.Type("1\n");
  ASSERT_TRUE(terminal.WaitFor(single + " (1 file)", mark)) << terminal.Seen();
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  mark = terminal.Seen().size();
  terminal.Type(id('c', 7) + "\n");  // the live take of the song
  ASSERT_TRUE(terminal.WaitFor("to search again: ", mark)) << terminal.Seen();
  listed = terminal.Seen().substr(mark);
  EXPECT_NE(listed.find("1. \"Album 2 Live\" (2004)"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("2. "), std::string::npos) << listed;
  terminal.Type("1\n");
  EXPECT_EQ(terminal.Exit(), 0) << terminal.Seen();
  for (const std::string& path : group) EXPECT_EQ(Album(path), L"Album 1 Deluxe") << path;
  EXPECT_EQ(Album(single), L"Album 2 Live");
}

}  // namespace
