// Files made by other programs are saved by Meridex twice, once unchanged
// and once with one field changed; an independent reader (mutagen, through
// corpus_tool.py) must then find everything else as it was, and the audio
// stream byte for byte the same.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "CorpusCase.h"
#include "meridex/Tags.h"
#include "platform/TextCodec.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using corpus::CorpusCase;
using Meridex::CTags;

struct Output {
  int status = -1;
  std::string text;
};

// Runs a shell command; standard output (and error, with `errors`) is returned.
Output Shell(const std::string& command) {
  Output out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The Python with mutagen: Debian's, which python3-mutagen installs into.
std::string Python() {
  for (const char* candidate : {"/usr/bin/python3", "python3"})
    if (Shell(std::string(candidate) + " -c 'import mutagen'").status == 0) return candidate;
  return std::string();
}

std::string Tool(const std::string& python, const std::string& arguments) {
  return python + " " + Quoted(NIMBREL_CORPUS_TOOL) + " " + arguments;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

bool Matches(const std::string& key, const std::string& pattern) {
  if (!pattern.empty() && pattern.back() == '*') return key.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return key == pattern;
}

class LosslessSaveTest : public ::testing::TestWithParam<CorpusCase> {
 protected:
  void SetUp() override {
    python_ = Python();
    if (python_.empty()) GTEST_SKIP() << "python3-mutagen (Debian package) is needed to make and read the corpus";
    path_ = platform::ToUtf8(folder_ / platform::FromUtf8(GetParam().file));
    const Output made = Shell(Tool(python_, "make " + std::string(GetParam().kind) + " " + Quoted(path_)));
    if (made.status == 77) GTEST_SKIP() << made.text;
    ASSERT_EQ(made.status, 0) << made.text;
  }

  // Dumps the file's tags into `name` (in the scratch folder) and returns its path.
  std::string Dump(const std::string& name) {
    const std::string out = platform::ToUtf8(folder_ / platform::FromUtf8(name));
    const Output dumped = Shell(Tool(python_, "dump " + Quoted(path_) + " > " + Quoted(out)));
    EXPECT_EQ(dumped.status, 0) << dumped.text;
    return out;
  }

  std::vector<std::string> Changed(const std::string& before, const std::string& after) {
    const Output diff = Shell(Tool(python_, "diff " + Quoted(before) + " " + Quoted(after)));
    EXPECT_EQ(diff.status, 0) << diff.text;
    return Lines(diff.text);
  }

  testing_support::ScratchFolder folder_;
  std::string python_;
  std::string path_;
};

TEST_P(LosslessSaveTest, OnlyTheChangedFieldChanges) {
  const CorpusCase& row = GetParam();
  testing_support::ScopedEnvironment all("LC_ALL", std::nullopt);
  testing_support::ScopedEnvironment messages("LC_MESSAGES", std::nullopt);
  testing_support::ScopedEnvironment lang("LANG", row.language ? std::optional<std::string>(row.language)
                                                               : std::optional<std::string>("C"));
  if (row.prepare) row.prepare(path_);
  const std::string original = Dump("original.json");
  const CString name(platform::FromUtf8(path_));

  CTags tags;
  const Meridex::FileResult read = tags.ReadFile(name);
  ASSERT_TRUE(read) << platform::ToUtf8(read.message.str());
  if (row.checkRead) row.checkRead(tags);
  const Meridex::FileResult saved = tags.SaveFile(name);
  ASSERT_TRUE(saved) << platform::ToUtf8(saved.message.str());
  EXPECT_EQ(Changed(original, Dump("unchanged.json")), std::vector<std::string>()) << "a save without changes";
  if (row.checkSaved) row.checkSaved(path_);

  CTags again;
  ASSERT_TRUE(again.ReadFile(name));
  row.change(again);
  const Meridex::FileResult changed = again.SaveFile(name);
  ASSERT_TRUE(changed) << platform::ToUtf8(changed.message.str());
  const std::vector<std::string> keys = Changed(original, Dump("changed.json"));
  for (const std::string& key : keys) {
    bool expected = false;
    for (const std::string& pattern : row.changedKeys) expected = expected || Matches(key, pattern);
    EXPECT_TRUE(expected) << key << " changed too";
  }
  for (const std::string& pattern : row.changedKeys) {
    bool found = false;
    for (const std::string& key : keys) found = found || Matches(key, pattern);
    EXPECT_TRUE(found) << pattern << " did not change";
  }
  if (row.checkSaved) row.checkSaved(path_);
}

// Files a save would damage: a grouped ID3v2 frame (TagLib writes it back
// without its flag, garbled), ID3v2.2 frames 2.4 has no place for, a
// second FLAC comment block and text that is not the UTF-8 it claims to be
// (TagLib drops or empties them).
// Each is refused, and stays byte for byte as it was.
TEST(DamagingSaveTest, FilesASaveWouldDamageAreRefusedAndStayAsTheyWere) {
  const std::string python = Python();
  if (python.empty()) GTEST_SKIP() << "python3-mutagen (Debian package) is needed";
  testing_support::ScratchFolder folder;
  for (const auto& [kind, name, why] : {std::tuple{"mp3-v24-grouped", L"song.mp3", L"grouped"},
                                        std::tuple{"mp3-v22", L"old.mp3", L"ID3v2.2"},
                                        std::tuple{"mp3-v24-latin1", L"latin.mp3", L"not the UTF-8"},
                                        std::tuple{"flac-two-comments", L"song.flac", L"several comment blocks"},
                                        std::tuple{"flac-latin1", L"latin.flac", L"not the UTF-8"},
                                        std::tuple{"m4a-latin1", L"latin.m4a", L"not the UTF-8"}}) {
    const std::wstring path = folder / name;
    const Output made = Shell(Tool(python, std::string("make ") + kind + " " + Quoted(platform::ToUtf8(path))));
    if (made.status == 77) GTEST_SKIP() << made.text;
    ASSERT_EQ(made.status, 0) << made.text;
    const std::string before = testing_support::ReadFileBytes(path);
    CTags tags;
    ASSERT_TRUE(tags.ReadFile(path));
    tags.SetAlbum(L"New Album");
    const Meridex::FileResult saved = tags.SaveFile(path);
    EXPECT_FALSE(saved) << kind;
    EXPECT_NE(saved.message.str().find(why), std::wstring::npos) << platform::ToUtf8(saved.message.str());
    EXPECT_TRUE(testing_support::ReadFileBytes(path) == before) << kind << ": the refused file changed";
  }
}

std::vector<CorpusCase> AllCases() {
  std::vector<CorpusCase> all = corpus::TagContentCases();
  const std::vector<CorpusCase>& files = corpus::FileSystemCases();
  all.insert(all.end(), files.begin(), files.end());
  return all;
}

INSTANTIATE_TEST_SUITE_P(Corpus, LosslessSaveTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<CorpusCase>& info) { return std::string(info.param.name); });

}  // namespace
