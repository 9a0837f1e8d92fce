// The list of files a run did not tag, with why, for reviewing a long run.
#pragma once

#include <cstdio>
#include <string>

#include "FileReport.h"

namespace nimbrel_tag {

// Lines "path<TAB>status<TAB>why", path and why escaped (EscapedText.h). A new run starts the file afresh; a run
// that goes on with an interrupted one appends to it.
class UntaggedLog {
 public:
  UntaggedLog() = default;
  ~UntaggedLog();
  UntaggedLog(const UntaggedLog&) = delete;
  UntaggedLog& operator=(const UntaggedLog&) = delete;

  bool Open(const std::string& path, bool append, std::string& error);
  // Adds the file when the run did not tag it.
  void Add(const FileReport& report);
  void Flush();
  const std::string& Path() const { return path_; }
  std::size_t Count() const { return count_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace nimbrel_tag
