#include "foundation/Masterlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"
#include "support/FakeEnv.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::FakeEnv;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

// Lines of a UTF-16LE trace file with byte-order mark; fails on any other shape.
std::vector<std::wstring> TraceLines(const std::wstring& path) {
  const std::string raw = ReadFileBytes(path);
  EXPECT_TRUE(raw.starts_with("\xFF\xFE")) << "no byte-order mark";
  const std::wstring text = platform::FromUtf16Le(std::string_view(raw).substr(std::min<std::size_t>(2, raw.size())));
  EXPECT_TRUE(text.empty() || text.ends_with(L"\r\n")) << "last line not ended with CR LF";
  std::vector<std::wstring> lines;
  for (std::size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// The entry text of a trace line, after "hh:mm:ss.mmm TID LVL: ".
std::wstring EntryText(const std::wstring& line) {
  static const std::wregex prefix(L"^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d [0-9A-F]+ (ERR|WRN|INF|DBG|-->|---|): ");
  std::wsmatch m;
  EXPECT_TRUE(std::regex_search(line, m, prefix)) << platform::ToUtf8(line);
  return m.empty() ? line : std::wstring(m.suffix());
}

std::vector<std::wstring> TraceFiles(const std::wstring& folder, const std::wstring& prefix) {
  std::vector<std::wstring> names;
  for (auto& f : platform::FindFiles(folder + prefix + L"*.txt")) names.push_back(f.name);
  std::sort(names.begin(), names.end());
  return names;
}

class MasterlogTest : public ::testing::Test {
 protected:
  FakeEnv env{2026, 3, 14, 15, 9, 26};
  platform::ScopedEnv scoped{&env};
  ScratchFolder folder;
};

// A trace level of 0 writes nothing, and a negative one is stored as 0; an
// unknown level name means errors only.
TEST_F(MasterlogTest, LevelNamesAndZeroOrNegativeLevels) {
  for (const int level : {0, -5}) {
    ScratchFolder logs;
    CMasterlog log;
    log.Open(logs.path().c_str(), L"nimbrel", level);
    EXPECT_EQ(log.writer().Level(), 0);
    log.Log(10, L"error");
    log.Log(level, L"at the level itself");
    EXPECT_TRUE(log.TraceFilePath().IsEmpty());
    EXPECT_TRUE(TraceFiles(logs.path(), L"").empty());
  }
  const std::pair<const wchar_t*, int> kNames[] = {{L"Verbose", 40}, {L"info", 10}, {L"", 10}, {L"Debug ", 10}};
  for (const auto& [name, level] : kNames) EXPECT_EQ(CMasterlog::TraceLevelFromName(name), level) << name;
  const std::pair<int, const wchar_t*> kLevels[] = {{9, L""}, {69, L"---"}, {70, L""}, {-10, L""}};
  for (const auto& [level, name] : kLevels) EXPECT_STREQ(TraceWriter::LevelName(level), name) << level;
}

TEST_F(MasterlogTest, WritesNamedFileWithLevelFilterAndLiteralTexts) {
  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 10);
  log.SetTraceLevel(L"Info");
  log.LogF(10, L"E::F: error %d", 1);
  log.LogF(31, L"E::F: above the level of Info");
  log.Log(30, nullptr);
  log.Log(30, L"100% sure: %d %s %n");
  log.LogF(30, L"%s", L"%d stays");
  log.LogF(30, L"pair \U0001F3B5 lone \xD800 end");
  const std::wstring big(1 << 20, L'x');
  log.Log(30, big.c_str());

  const CString expectedName = CString(folder.path()) +
                               nimbrel::FormatWide(L"nimbrel_20260314_150926_%X.txt", platform::CurrentProcessId());
  EXPECT_EQ(log.TraceFilePath(), expectedName);
  const auto lines = TraceLines(expectedName.str());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(lines[0].starts_with(L"15:09:26.000 "));
  EXPECT_NE(lines[0].find(L" ERR: E::F: error 1"), std::wstring::npos);
  EXPECT_EQ(EntryText(lines[1]), L"100% sure: %d %s %n");
  EXPECT_EQ(EntryText(lines[2]), L"%d stays");
  EXPECT_EQ(EntryText(lines[3]), L"pair \U0001F3B5 lone \xD800 end");
  EXPECT_EQ(EntryText(lines[4]), big);
}

// Before Open, after Close and when Open got no folder, entries go to the debugger output only.
TEST_F(MasterlogTest, OpensOnlyOnceAndWritesOnlyWhileOpen) {
  std::vector<std::wstring> seen;
  platform::SetDebugOutputSink([&](std::wstring_view t) { seen.emplace_back(t); });
  ScratchFolder other;
  {
    CMasterlog log;
    log.LogF(10, L"before open %d", 7);
    log.Open(L"", L"nimbrel", 40);  // no folder: stays closed
    EXPECT_FALSE(log.IsOpen());
    log.Open(folder.path().c_str(), L"nimbrel", 30);
    log.Open(other.path().c_str(), L"other", 40);  // ignored: already open
    log.Log(40, L"level stays 30");
    log.Log(30, L"written");
    log.Close();
    log.Log(10, L"after close");
    EXPECT_EQ(TraceLines(log.TraceFilePath().str()).size(), 1u);
  }
  platform::SetDebugOutputSink(nullptr);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], L"before open 7");
  EXPECT_TRUE(seen[1].ends_with(L" INF: written\r\n"));
  EXPECT_EQ(seen[2], L"after close");
  EXPECT_EQ(seen[3], L"~CMasterlog");
  EXPECT_TRUE(TraceFiles(other.path(), L"").empty());
}

TEST_F(MasterlogTest, OpeningKeepsTheTenNewestTraceFiles) {
  for (int i = 10; i < 22; ++i)
    WriteFileBytes(folder / nimbrel::FormatWide(L"nimbrel_202601%02d_000000_1.txt", i), "x");
  WriteFileBytes(folder / L"other_20200101_000000_1.txt", "x");
  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 40);
  const auto names = TraceFiles(folder.path(), L"nimbrel");
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names.front(), L"nimbrel_20260112_000000_1.txt");
  EXPECT_TRUE(platform::PathExists(folder / L"other_20200101_000000_1.txt"));

  // A folder part shorter than five characters (a root, a bare relative
  // name) is never cleaned: "tl/" holds twelve trace files that all stay.
  const std::wstring shortFolder = L"tl" + std::to_wstring(platform::CurrentProcessId() % 10) + L"/";
  ASSERT_EQ(shortFolder.size(), 4u);
  ASSERT_TRUE(platform::CreateDirectory(shortFolder));
  for (int i = 10; i < 22; ++i)
    WriteFileBytes(shortFolder + nimbrel::FormatWide(L"nimbrel_202601%02d_000000_1.txt", i), "x");
  TraceWriter writer;
  writer.Open(shortFolder + L"nimbrel");
  const std::size_t kept = TraceFiles(shortFolder, L"nimbrel").size();
  for (const auto& name : TraceFiles(shortFolder, L"")) platform::DeleteFile(shortFolder + name);
  platform::RemoveDirectory(shortFolder);
  EXPECT_EQ(kept, 12u);
}

TEST_F(MasterlogTest, DayChangeAndSizeStartNewFiles) {
  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 40);
  log.Log(30, L"day one");
  const CString first = log.TraceFilePath();
  env.AdvanceMs(9 * 3600 * 1000);  // 00:09:26 the next day
  log.Log(30, L"day two");
  const CString second = log.TraceFilePath();
  EXPECT_NE(second.Find(L"nimbrel_20260315_000926_"), -1);

  // Beyond the size limit, several times within the same second (the clock
  // stands still): each new file is numbered on, nothing is overwritten.
  log.writer().SetMaxFileSize(100);
  log.Log(30, L"a line long enough to pass the limit of one hundred bytes");
  std::set<std::wstring> names{first.str(), second.str()};
  for (int i = 0; i < 3; ++i) {
    log.LogF(30, L"file %d, a line long enough to pass the limit of one hundred bytes", i);
    EXPECT_TRUE(names.insert(log.TraceFilePath().str()).second) << platform::ToUtf8(log.TraceFilePath().str());
    EXPECT_EQ(TraceLines(log.TraceFilePath().str()).size(), 1u);
  }
  EXPECT_TRUE(log.TraceFilePath().str().ends_with(L"_4.txt"));
  ASSERT_EQ(TraceLines(second.str()).size(), 2u);
  EXPECT_EQ(EntryText(TraceLines(second.str()).at(1)), L"a line long enough to pass the limit of one hundred bytes");
  EXPECT_EQ(EntryText(TraceLines(first.str()).at(0)), L"day one");
}

// The parent log lies in a folder named beyond ASCII, as the host may choose.
TEST_F(MasterlogTest, DestructionMergesTraceIntoParentLogAsUtf8) {
  const std::wstring logs = folder / L"Bj\u00F6rk \U0001F3B5 lone \xDC00";
  ASSERT_TRUE(platform::CreateDirectory(logs));
  WriteFileBytes(logs + nimbrel::FormatWide(L"/20260314_150926_%X.txt", platform::CurrentProcessId()),
                 "earlier run\r\n");
  CString trace, parent;
  {
    CMasterlog log;
    log.Open(logs.c_str(), L"nimbrel", 40);
    log.Log(30, L"first");
    log.Log(20, L"Björk \U0001F3B5 50%");
    trace = log.TraceFilePath();
    parent = log.ParentLogPath();
  }
  EXPECT_FALSE(platform::PathExists(trace));
  EXPECT_EQ(TraceFiles(logs + L"/", L"").size(), 1u);  // just the parent log
  const std::string merged = ReadFileBytes(parent.str());
  const std::string name = platform::ToUtf8(trace.Mid(trace.ReverseFind(L'/') + 1).str());
  ASSERT_TRUE(merged.starts_with("earlier run\r\n\r\n" + name + "\r\n")) << merged;
  const std::wstring text = platform::FromUtf8(merged);
  EXPECT_NE(text.find(L" INF: first\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L" WRN: Björk \U0001F3B5 50%\r\n"), std::wstring::npos);
  EXPECT_TRUE(merged.ends_with("50%\r\n"));
}

TEST_F(MasterlogTest, UnusablePathsLoseLinesOrKeepTheTraceFile) {
  WriteFileBytes(folder / L"afile", "x");
  CMasterlog unwritable;
  unwritable.Open((folder / L"afile").c_str(), L"nimbrel", 40);  // a file, not a folder
  unwritable.Log(10, L"lost");
  EXPECT_TRUE(unwritable.TraceFilePath().IsEmpty());
  EXPECT_FALSE(unwritable.MergeIntoParentLog());

  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 40);
  log.Log(30, L"kept");
  log.Close();
  ASSERT_TRUE(platform::CreateDirectory(log.ParentLogPath()));  // the parent log path is taken by a folder
  EXPECT_FALSE(log.MergeIntoParentLog());
  EXPECT_TRUE(platform::PathExists(log.TraceFilePath()));
}

TEST_F(MasterlogTest, ErrorTexts) {
  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 40);
  log.LogLastError(10, L"CX::Y: open failed", 2);
  EXPECT_TRUE(EntryText(TraceLines(log.TraceFilePath().str()).at(0)).starts_with(L"CX::Y: open failed GetLastError():2, "));
  EXPECT_TRUE(ErrorText(2).str().ends_with(L" (2)"));
  platform::SetLastError(13);
  EXPECT_TRUE(LastErrorText().str().starts_with(L"13: "));
}

// Lines from many threads never interleave and none is lost.
TEST(MasterlogConcurrency, ConcurrentWritersKeepEveryLineWhole) {
  ScratchFolder folder;
  CMasterlog log;
  log.Open(folder.path().c_str(), L"nimbrel", 40);
  constexpr int kThreads = 16, kLines = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.LogF(30, L"T::W: thread %d line %d %s", t, i, L"payload-payload");
    });
  for (auto& th : threads) th.join();
  log.Close();

  std::set<std::pair<int, int>> seen;
  for (const auto& line : TraceLines(log.TraceFilePath().str())) {
    int t = -1, i = -1;
    wchar_t tail[32] = {};
    ASSERT_EQ(std::swscanf(EntryText(line).c_str(), L"T::W: thread %d line %d %31ls", &t, &i, tail), 3);
    ASSERT_STREQ(tail, L"payload-payload");
    EXPECT_TRUE(seen.insert({t, i}).second);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
