// What keeps a run of nimbrel-tag from harming files or misleading a person:
// the configuration file read as written, names printed on one line, one
// run at a time over a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "CommandLine.h"
#include "EscapedText.h"
#include "RunLock.h"
#include "Text.h"
#include "support/ScratchFolder.h"

namespace {

using namespace nimbrel_tag;

ParseResult ParseWith(const std::string& config, TagOptions& options, std::string& error) {
  std::vector<std::string> args{"nimbrel-tag", "--config", config, "music"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  std::vector<std::string> notes;
  return CommandLine::Parse(static_cast<int>(argv.size()), argv.data(), options, error, notes);
}

TEST(ConfigFile, KeepsHashesInValuesSkipsAByteOrderMarkAndRefusesAFileOthersMayWrite) {
  testing_support::ScratchFolder scratch;
  const std::string config = plugin_text::Narrow(scratch.path()) + "nimbrel-tag.conf";
  std::ofstream(config) << "\xEF\xBB\xBFpolicy = 1  # fill only\n# a comment\nuntagged-log = my#list.log\n";
  ::chmod(config.c_str(), 0600);
  TagOptions options;
  std::string error;
  ASSERT_EQ(ParseWith(config, options, error), ParseResult::kRun) << error;
  EXPECT_EQ(options.library.OverwritePolicy, 1);
  EXPECT_EQ(options.untaggedLog, "my#list.log");

  // Running on with the defaults would turn the user's policy 1 into 3.
  for (const mode_t mode : {0620, 0602}) {
    ::chmod(config.c_str(), mode);
    TagOptions refused;
    ASSERT_EQ(ParseWith(config, refused, error), ParseResult::kUsageError) << mode;
    EXPECT_NE(error.find("may be written by others"), std::string::npos) << error;
    EXPECT_NE(error.find("chmod go-w " + config), std::string::npos) << error;
  }
}

TEST(EscapedText, KeepsEveryNameOnOneLineAndTellsEscapesFromTheirLetters) {
  EXPECT_EQ(Escaped("a\nb\tc\rd\x01\x7f.mp3"), "a\\nb\\tc\\rd\\x01\\x7F.mp3");
  EXPECT_EQ(Escaped("a\\nb"), "a\\\\nb");
  EXPECT_EQ(Escaped("caf\xc3\xa9 \xe9.mp3"), "caf\xc3\xa9 \xe9.mp3");  // UTF-8 or not, kept
}

TEST(RunLock, OneRunAtATimeOverAFolderHoweverNamed) {
  testing_support::ScratchFolder scratch;
  const std::string root = plugin_text::Narrow(scratch.path());
  const std::string state = root + "state/";
  std::filesystem::create_directories(root + "a");
  std::filesystem::create_directories(root + "b");
  std::string error;
  std::optional<RunLock> first(std::in_place, state, std::set<std::string>{root + "a/", root + "b/"});
  ASSERT_TRUE(first->TryLock(error)) << error;
  {
    RunLock same(state, {root + "b/", root + "a/../a/"});
    EXPECT_FALSE(same.TryLock(error));
    EXPECT_TRUE(error.empty()) << error;
    RunLock one(state, {root + "b/"});  // one folder of the held set
    EXPECT_FALSE(one.TryLock(error));
    RunLock other(state, {root + "c/", root + "a/"});
    EXPECT_FALSE(other.TryLock(error));
    RunLock apart(state, {root + "c/"});  // none held: "c/" is not kept by the refused lock above
    EXPECT_TRUE(apart.TryLock(error)) << error;
  }
  struct stat info {};
  ASSERT_EQ(::stat(first->Path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  first.reset();
  RunLock after(state, {root + "a/", root + "b/"});
  EXPECT_TRUE(after.TryLock(error)) << error;  // released with its holder
}

}  // namespace
