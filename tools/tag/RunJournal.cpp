#include "RunJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "XdgFolders.h"

namespace nimbrel_tag {

std::string JournalName(const std::string& key) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

RunJournal::RunJournal(const std::string& folder, const std::string& key)
    : path_(folder.empty() ? std::string() : folder + "run-" + JournalName(key) + ".journal") {}

RunJournal::~RunJournal() {
  if (file_) std::fclose(file_);
}

bool RunJournal::StampOf(const std::string& path, Stamp& stamp) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  stamp.size = info.st_size;
  stamp.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp.inode = static_cast<std::int64_t>(info.st_ino);
  stamp.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return true;
}

bool RunJournal::Open(bool restart, std::string& error) {
  if (path_.empty()) return error = "no state folder (HOME is not set)", false;
  const std::string folder = path_.substr(0, path_.rfind('/') + 1);
  if (!MakePrivateFolder(folder)) return error = "cannot create " + folder + ": " + std::strerror(errno), false;
  // Opened without following a link: the journal is ours alone.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (restart ? O_TRUNC : 0), 0600);
  if (fd < 0) return error = "cannot open " + path_ + ": " + std::strerror(errno), false;
  file_ = ::fdopen(fd, "a+");
  if (!file_) {
    ::close(fd);
    return error = "cannot open " + path_ + ": " + std::strerror(errno), false;
  }
  // Lines: size, modification time, inode, status-change time, path; a line
  // cut by a crash (or of an older form) is ignored.
  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  std::rewind(file_);
  while ((length = ::getline(&line, &capacity, file_)) > 0) {
    if (line[length - 1] != '\n') break;
    long long size = 0, modified = 0, inode = 0, changed = 0;
    int used = 0;
    if (std::sscanf(line, "%lld %lld %lld %lld %n", &size, &modified, &inode, &changed, &used) < 4 || used <= 0)
      continue;
    earlier_[std::string(line + used, static_cast<std::size_t>(length) - 1 - static_cast<std::size_t>(used))] =
        Stamp{size, modified, inode, changed};
  }
  std::free(line);
  return true;
}

bool RunJournal::Done(const std::string& path) const {
  const auto found = earlier_.find(path);
  Stamp now;
  return found != earlier_.end() && StampOf(path, now) && now == found->second;
}

void RunJournal::Record(const std::string& path) {
  Stamp stamp;
  // A name with a line feed cannot be recorded in a line; it is simply done again.
  if (!file_ || path.find('\n') != std::string::npos || !StampOf(path, stamp)) return;
  std::fprintf(file_, "%lld %lld %lld %lld %s\n", static_cast<long long>(stamp.size),
               static_cast<long long>(stamp.modified), static_cast<long long>(stamp.inode),
               static_cast<long long>(stamp.changed), path.c_str());
}

void RunJournal::Flush() {
  if (file_) std::fflush(file_);
}

void RunJournal::Complete() {
  if (!file_) return;
  std::fclose(file_);
  file_ = nullptr;
  ::unlink(path_.c_str());
}

}  // namespace nimbrel_tag
