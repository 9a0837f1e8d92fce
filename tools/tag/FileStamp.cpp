#include "FileStamp.h"

#include <sys/stat.h>

namespace nimbrel_tag {

bool FileStamp::Of(const std::string& path, FileStamp& identity) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  identity.device = static_cast<std::int64_t>(info.st_dev);
  identity.inode = static_cast<std::int64_t>(info.st_ino);
  identity.size = static_cast<std::int64_t>(info.st_size);
  identity.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity.changed = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return true;
}

}  // namespace nimbrel_tag
