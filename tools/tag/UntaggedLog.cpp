#include "UntaggedLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EscapedText.h"

namespace nimbrel_tag {

UntaggedLog::~UntaggedLog() {
  if (file_) std::fclose(file_);
}

bool UntaggedLog::Open(const std::string& path, bool append, std::string& error) {
  // Never through a link: a planted one would make us overwrite another file.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : O_TRUNC),
                        0600);
  if (fd < 0 || !(file_ = ::fdopen(fd, append ? "a" : "w"))) {
    error = "cannot write the list of untagged files " + path + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  path_ = path;
  return true;
}

void UntaggedLog::Add(const FileReport& report) {
  if (!file_ || report.outcome == Outcome::kTagged || report.outcome == Outcome::kUnchanged ||
      report.outcome == Outcome::kSkipped) {
    return;
  }
  // Escaped: a tab or line feed in a name would split its line.
  std::fprintf(file_, "%s\t%s\t%s\n", Escaped(report.path).c_str(), OutcomeName(report.outcome),
               Escaped(report.message).c_str());
  ++count_;
}

void UntaggedLog::Flush() {
  if (file_) std::fflush(file_);
}

}  // namespace nimbrel_tag
