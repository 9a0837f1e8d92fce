#include "XdgFolders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace nimbrel_tag {

namespace {

std::string Folder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  std::string base;
  if (value && value[0] == '/') {
    base = value;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') return std::string();
    base = home;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    base += (base == "/" ? "" : "/") + std::string(fallback);
  }
  if (base.back() != '/') base += '/';
  return base + "nimbrel/";
}

}  // namespace

std::string ConfigFolder() { return Folder("XDG_CONFIG_HOME", ".config"); }
std::string StateFolder() { return Folder("XDG_STATE_HOME", ".local/state"); }
std::string DataFolder() { return Folder("XDG_DATA_HOME", ".local/share"); }

bool MakePrivateFolder(const std::string& folder) {
  if (folder.empty()) return false;
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos || slash + 1 == folder.size()) break;
  }
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace nimbrel_tag
