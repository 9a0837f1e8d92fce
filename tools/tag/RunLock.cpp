#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "RunJournal.h"
#include "XdgFolders.h"

namespace nimbrel_tag {

namespace {

std::string Resolved(const std::string& folder) {
  char buffer[PATH_MAX];
  return ::realpath(folder.empty() ? "." : folder.c_str(), buffer) ? std::string(buffer) : folder;
}

}  // namespace

RunLock::RunLock(const std::string& stateFolder, const std::set<std::string>& folders) {
  if (stateFolder.empty()) return;
  std::set<std::string> resolved;
  for (const std::string& folder : folders) resolved.insert(Resolved(folder));
  std::string key;
  for (const std::string& folder : resolved) key += folder + '\0';
  path_ = stateFolder + "locks/" + JournalName(key) + ".lock";
}

RunLock::~RunLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool RunLock::TryLock(std::string& error) {
  if (held_) return true;
  if (path_.empty()) return error = "no state folder for the run's lock (HOME is not set)", false;
  if (fd_ < 0) {
    const std::string folder = path_.substr(0, path_.rfind('/') + 1);
    if (!MakePrivateFolder(folder)) return error = "cannot create " + folder + ": " + std::strerror(errno), false;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return error = "cannot open " + path_ + ": " + std::strerror(errno), false;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return held_ = true;
  if (errno != EWOULDBLOCK) return error = "cannot lock " + path_ + ": " + std::strerror(errno), false;
  return false;
}

}  // namespace nimbrel_tag
