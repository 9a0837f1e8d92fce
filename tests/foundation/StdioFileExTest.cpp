#include "foundation/StdioFileEx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

constexpr unsigned kRead = CStdioFileEx::modeRead | CStdioFileEx::typeText;
constexpr unsigned kCreate = CStdioFileEx::modeCreate | CStdioFileEx::modeWrite | CStdioFileEx::typeText;

std::string Utf16(const std::wstring& text) { return platform::ToUtf16Le(text); }

// Every line of `bytes` read back from a file, as ReadString returns them.
std::vector<std::wstring> ReadLines(const std::wstring& path, const std::string& bytes, int codePage = -1) {
  WriteFileBytes(path, bytes);
  CStdioFileEx file;
  EXPECT_TRUE(file.SetCodePage(codePage));
  EXPECT_TRUE(file.Open(path.c_str(), kRead));
  std::vector<std::wstring> lines;
  CString line(L"stale");
  while (file.ReadString(line)) lines.push_back(line.str());
  EXPECT_TRUE(line.IsEmpty());
  EXPECT_FALSE(file.ReadString(line));  // stays at the end
  return lines;
}

using Lines = std::vector<std::wstring>;

// How each encoding is recognised and split into lines.
TEST(StdioFileEx, ReadsEachEncodingIntoLines) {
  ScratchFolder dir;
  const char invalid16[] = "\xFF\xFE" "\x00\xD8" "x\x00" "\n\x00" "\x00\xDC" "\r\x00" "\n\x00" "y\x00" "z";
  const std::wstring longLine(1 << 20, L'\xE4');
  const struct {
    std::string bytes;
    int codePage;
    Lines lines;
  } cases[] = {
      // A UTF-16 mark selects UTF-16 and is not part of the first line.
      {"\xFF\xFE" + Utf16(L"a\r\n\xE9\x20AC\x1F600\nlast"), -1, {L"a", L"\xE9\x20AC\x1F600", L"last"}},
      // A LF byte inside a unit (U+0A41 is 41 0A) or straddling two units does not end the line.
      {"\xFF\xFE" + Utf16(L"\x0A41\x4100\n\n"), -1, {L"\x0A41\x4100", L""}},
      {"\xFF\xFE", -1, {}},  // only a mark is not a line
      // Lone high and low surrogates are kept; an odd last byte is dropped.
      {std::string(invalid16, sizeof invalid16 - 1), -1, {L"\xD800x", L"\xDC00", L"y"}},
      {std::string("\xFF\xFE\x41", 3), -1, {L""}},
      // Without a mark: the ANSI code page; the big-endian mark is not recognised.
      {"caf\xE9\r\n\x80 x\r\r\n\nend", -1, {L"caf\xE9", L"\x20AC x\r", L"", L"end"}},
      {"\xFE\xFF", -1, {L"\xFE\xFF"}},
      // UTF-8 skips only a real mark: without one the first characters are data.
      {"\xEF\xBB\xBFz\xC3\xA9\n", 65001, {L"z\xE9"}},
      {"abc\xC3\xA9\n", 65001, {L"abc\xE9"}},
      {"ab", 65001, {L"ab"}},
      // Lines of a megabyte are read whole.
      {platform::ToWindows1252(longLine + L"\r\nnext"), -1, {longLine, L"next"}},
      {"\xFF\xFE" + Utf16(longLine + L"\nnext\n"), -1, {longLine, L"next"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadLines(dir / L"r.txt", c.bytes, c.codePage), c.lines) << c.bytes.substr(0, 16);

  WriteFileBytes(dir / L"a.txt", "\xFE\xFF");
  CStdioFileEx ansi;
  ASSERT_TRUE(ansi.Open((dir / L"a.txt").c_str(), kRead));
  EXPECT_FALSE(ansi.IsFileUnicode());
  EXPECT_EQ(ansi.GetOpenFlags(), CStdioFileEx::modeRead | CStdioFileEx::typeBinary);

  // Seeking back to the start passes the UTF-8 mark again; an open file keeps its code page.
  CStdioFileEx file;
  ASSERT_TRUE(file.SetCodePage(65001));
  WriteFileBytes(dir / L"8.txt", "\xEF\xBB\xBF" "one\ntwo\n");
  ASSERT_TRUE(file.Open((dir / L"8.txt").c_str(), kRead));
  CString line;
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(file.Seek(0, CStdioFileEx::begin), 0);
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"one");
  EXPECT_FALSE(file.SetCodePage(1251));
  EXPECT_EQ(file.GetCodePage(), 65001);
}

TEST(StdioFileEx, WritesAndReadsBackInEachMode) {
  ScratchFolder dir;
  const std::wstring path = dir / L"w.txt";
  struct Case {
    unsigned flags;
    int codePage;
    std::string bytes;     // expected file content
    Lines readBack;
  } cases[] = {
      // Default code page: no mark, "#" for what Windows-1252 lacks, CR passes unchanged.
      {kCreate, -1, "a\x80\xFC##\r\nb\rc\n", {L"a\x20AC\xFC##", L"b\rc"}},
      {kCreate | CStdioFileEx::WriteUnicode, -1, "\xFF\xFE" + Utf16(L"a\x20AC\xFC\x4E2D\x1F600\r\nb\rc\n"),
       {L"a\x20AC\xFC\x4E2D\x1F600", L"b\rc"}},
      {kCreate, 65001, "\xEF\xBB\xBF" + platform::ToUtf8(L"a\x20AC\xFC\x4E2D\x1F600\r\nb\rc\n"),
       {L"a\x20AC\xFC\x4E2D\x1F600", L"b\rc"}},
  };
  for (const Case& c : cases) {
    CStdioFileEx file;
    ASSERT_TRUE(file.SetCodePage(c.codePage));
    ASSERT_TRUE(file.Open(path.c_str(), c.flags));
    EXPECT_TRUE(file.WriteString(L"a\x20AC\xFC\x4E2D\x1F600\r\n"));
    EXPECT_TRUE(file.WriteString(L"b\rc\n"));
    EXPECT_EQ(file.GetPosition(), static_cast<std::int64_t>(c.bytes.size()));
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), c.bytes);
    EXPECT_EQ(ReadLines(path, c.bytes, c.codePage), c.readBack);
  }
  // No mark when it is switched off.
  CStdioFileEx file;
  file.SetWriteMark(false);
  ASSERT_TRUE(file.Open(path.c_str(), kCreate | CStdioFileEx::WriteUnicode));
  EXPECT_TRUE(file.WriteString(L"x"));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), Utf16(L"x"));
  // Decomposed text is composed for the code page: "e" + acute is 0xE9, not "e#".
  ASSERT_TRUE(file.Open(path.c_str(), kCreate));
  EXPECT_TRUE(file.WriteString(L"Cafe\u0301 Bjo\u0308rk"));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "Caf\xE9 Bj\xF6rk");
}

TEST(StdioFileEx, OpenModesAndFailures) {
  ScratchFolder dir;
  const std::wstring path = dir / L"o.txt";
  CStdioFileEx file;
  CFileException error;
  EXPECT_FALSE(file.Open(path.c_str(), kRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_strFileName, path.c_str());
  EXPECT_FALSE(file.Open(path.c_str(), CStdioFileEx::modeWrite));  // without modeCreate it must exist
  EXPECT_FALSE(file.WriteString(L"x"));
  EXPECT_FALSE(file.Open((dir / L"missing/o.txt").c_str(), kCreate, &error));

  WriteFileBytes(path, "old content");
  ASSERT_TRUE(file.Open(path.c_str(), kCreate | CStdioFileEx::modeNoTruncate));
  EXPECT_TRUE(file.WriteString(L"new"));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "new content");
  ASSERT_TRUE(file.Open(path.c_str(), kCreate));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "");
}

TEST(StdioFileEx, PositionFollowsWhatWasReadNotWhatWasBuffered) {
  ScratchFolder dir;
  const std::wstring path = dir / L"p.txt";
  WriteFileBytes(path, "one\ntwo\nthree\n");
  CStdioFileEx file;
  ASSERT_TRUE(file.Open(path.c_str(), CStdioFileEx::modeReadWrite));
  CString line;
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(file.GetPosition(), 4);
  EXPECT_TRUE(file.WriteString(L"TWO"));  // overwrites at the position read to
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"");
  EXPECT_EQ(file.Seek(-3, CStdioFileEx::current), 5);
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"WO");
  EXPECT_EQ(file.Seek(-100, CStdioFileEx::current), -1);
  EXPECT_EQ(file.GetPosition(), 8);
  ASSERT_TRUE(file.ReadString(line));
  EXPECT_EQ(line, L"three");
  file.Close();
  EXPECT_EQ(ReadFileBytes(path), "one\nTWO\nthree\n");
}

}  // namespace
