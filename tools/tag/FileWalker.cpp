#include "FileWalker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nimbrel_tag {

namespace {

// Deeper than any music collection; guards against a pathological tree.
constexpr int kMaxDepth = 64;

std::string Reason(int error) {
  switch (error) {
    case ENOENT: return "no such file or folder (moved or deleted?)";
    case EACCES: return "permission denied (check its permissions)";
    case ELOOP: return "a loop of symbolic links";
    default: return std::strerror(error);
  }
}

}  // namespace

bool FileWalker::HasAudioExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string extension = name.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const char* const kExtensions[] = {"mp3", "flac", "m4a", "mp4", "m4b", "ogg",
                                            "oga", "opus", "wav", "aif", "aiff", "wma", "asf"};
  return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                     [&](const char* known) { return extension == known; });
}

bool FileWalker::FirstVisit(unsigned long long device, unsigned long long inode) {
  const std::pair<unsigned long long, unsigned long long> key{device, inode};
  const auto at = std::lower_bound(seen_.begin(), seen_.end(), key);
  if (at != seen_.end() && *at == key) return false;
  seen_.insert(at, key);
  return true;
}

void FileWalker::Walk(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    problems_.push_back({path, "cannot open: " + Reason(errno)});
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    std::string folder = path;
    if (folder.back() != '/') folder += '/';
    if (FirstVisit(info.st_dev, info.st_ino)) WalkFolder(folder, 0);
  } else if (S_ISREG(info.st_mode)) {
    if (FirstVisit(info.st_dev, info.st_ino)) files_.push_back(path);
  } else {
    problems_.push_back({path, "not a regular file or folder"});
  }
}

void FileWalker::WalkFolder(const std::string& folder, int depth) {
  if (depth > kMaxDepth) {
    problems_.push_back({folder, "folders nested too deeply; skipped"});
    return;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    problems_.push_back({folder, "cannot open the folder: " + Reason(errno)});
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name[0] == '.' && !hidden_) continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());

  std::vector<std::string> folders;
  for (const std::string& name : names) {
    const std::string path = folder + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      // A dangling link or a file gone meanwhile: only worth a word when it looked like music.
      if (HasAudioExtension(name)) problems_.push_back({path, "cannot open: " + Reason(errno)});
      continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (FirstVisit(info.st_dev, info.st_ino)) folders.push_back(path + "/");
    } else if (S_ISREG(info.st_mode) && HasAudioExtension(name) && FirstVisit(info.st_dev, info.st_ino)) {
      files_.push_back(path);
    }
  }
  // An album's files first, then its sub-folders (disc 1, disc 2...).
  for (const std::string& sub : folders) WalkFolder(sub, depth + 1);
}

}  // namespace nimbrel_tag
