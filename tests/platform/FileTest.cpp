#include "platform/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "platform/SystemError.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::ScratchFolder;
using testing_support::WriteFileBytes;

namespace {

std::string ReadRest(File& file) {
  std::string text;
  char buffer[3];  // small, so that each read continues where the last one stopped
  for (std::int64_t n; (n = file.Read(buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

}  // namespace

TEST(File, ReadWriteSeekAndSize) {
  ScratchFolder dir;
  File file;
  ASSERT_TRUE(file.Open(dir / L"data", File::Mode::kWrite));
  ASSERT_TRUE(file.Write("hello world"));
  EXPECT_EQ(file.Size(), 11);
  EXPECT_TRUE(file.Flush());
  File moved(std::move(file));
  EXPECT_FALSE(file.IsOpen());
  moved.Close();

  ASSERT_TRUE(file.Open(dir / L"data", File::Mode::kRead));
  EXPECT_EQ(ReadRest(file), "hello world");
  EXPECT_EQ(file.Seek(6, 0), 6);
  EXPECT_EQ(ReadRest(file), "world");
  EXPECT_EQ(file.Seek(-5, 2), 6);
  EXPECT_EQ(file.Seek(-1, 1), 5);
  EXPECT_EQ(file.Seek(0, 7), -1);
  EXPECT_EQ(ReadRest(file), " world");
  EXPECT_FALSE(file.Write("x"));  // opened for reading only
}

TEST(File, ModesTruncateAppendOrKeep) {
  ScratchFolder dir;
  const std::wstring path = dir / L"modes";
  WriteFileBytes(path, "0123456789");
  File file;
  ASSERT_TRUE(file.Open(path, File::Mode::kReadWrite));
  ASSERT_EQ(file.Seek(2, 0), 2);
  ASSERT_TRUE(file.Write("ab"));
  ASSERT_TRUE(file.Open(path, File::Mode::kAppend));  // reopening closes the first
  EXPECT_EQ(ReadFileBytes(path), "01ab456789");
  file.Seek(0, 0);
  ASSERT_TRUE(file.Write("!"));
  File other;
  other = std::move(file);
  ASSERT_TRUE(other.Write("?"));
  EXPECT_EQ(ReadFileBytes(path), "01ab456789!?");  // appended despite the seek
  ASSERT_TRUE(file.Open(path, File::Mode::kWrite));
  EXPECT_EQ(file.Size(), 0);

  EXPECT_FALSE(file.Open(dir / L"missing", File::Mode::kRead));
  EXPECT_EQ(LastError(), ENOENT);
  EXPECT_FALSE(file.Open(dir.path(), File::Mode::kRead));  // a folder is not a file
  EXPECT_EQ(LastError(), EISDIR);
}

TEST(File, ReadAllAndWriteAll) {
  ScratchFolder dir;
  std::string bytes(1 << 20, '\0');
  std::mt19937 rng(7);
  for (char& b : bytes) b = static_cast<char>(rng());
  const std::wstring path = dir / L"\u00C4pfel-\U0001F600.bin";
  ASSERT_TRUE(File::WriteAll(path, bytes));
  std::string read;
  ASSERT_TRUE(File::ReadAll(path, read));
  EXPECT_EQ(read, bytes);

  // A file whose size shows as 0 is still read to its end.
  ASSERT_TRUE(File::ReadAll(L"/proc/self/status", read));
  EXPECT_NE(read.find("TracerPid:"), std::string::npos);

  EXPECT_FALSE(File::ReadAll(dir / L"missing", read));
  EXPECT_TRUE(read.empty());
  EXPECT_FALSE(File::ReadAll(dir.path(), read));
  EXPECT_FALSE(File::WriteAll(dir / L"no/folder", "x"));
}
