#include "RunLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "SignalWatch.h"
#include "XdgFolders.h"

namespace nimbrel_tag {

namespace {

std::string Resolved(const std::string& folder) {
  char buffer[PATH_MAX];
  return ::realpath(folder.empty() ? "." : folder.c_str(), buffer) ? std::string(buffer) : folder;
}

// The folder's byte in the lock file: FNV-1a, the same in every build and
// version of the program, within the range of a positive off_t. Two folders
// sharing a byte only make one run wait for the other.
off_t PlaceOf(const std::string& folder) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : folder) hash = (hash ^ c) * 1099511628211ull;
  return static_cast<off_t>(hash >> 2);
}

}  // namespace

RunLock::RunLock(const std::string& stateFolder, const std::set<std::string>& folders) {
  if (stateFolder.empty()) return;
  std::set<off_t> places;
  for (const std::string& folder : folders) places.insert(PlaceOf(Resolved(folder)));
  places_.assign(places.begin(), places.end());
  path_ = stateFolder + "locks/folders.lock";
}

RunLock::~RunLock() { Close(); }

void RunLock::Close() {
  // Closing the only descriptor of the open file releases all its locks.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  held_ = false;
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
  // Open-file-description locks: they belong to this object, not to the
  // process, so two locks in one process exclude each other too.
  for (const off_t place : places_) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = place;
    range.l_len = 1;
    if (::fcntl(fd_, F_OFD_SETLK, &range) == 0) continue;
    const int failure = errno;
    Close();  // all or none: a waiting run holds no folder another needs
    if (failure == EAGAIN || failure == EACCES) return false;
    return error = "cannot lock " + path_ + ": " + std::strerror(failure), false;
  }
  return held_ = true;
}

bool RunLock::WaitUntilHeld(SignalWatch& signals, const std::function<void(const std::string&)>& note) {
  std::string error;
  bool told = false;
  while (!TryLock(error)) {
    if (!error.empty()) {
      note(error + "; going on without guarding against another run over these folders");
      return true;
    }
    if (!told) note(kWaitingNote);
    told = true;
    if (signals.Wait(200)) return false;
  }
  return true;
}

}  // namespace nimbrel_tag
