// A fresh, empty folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace testing_support {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder path, ending with "/".
  const std::wstring& path() const { return path_; }
  // path() + name.
  std::wstring operator/(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// Writes `bytes` to `path`, creating or replacing the file; fails the test on error.
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole content of `path`, or empty with a test failure when unreadable.
std::string ReadFileBytes(const std::wstring& path);

}  // namespace testing_support
