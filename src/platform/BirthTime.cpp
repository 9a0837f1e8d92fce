#include "platform/BirthTime.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/FileSystem.h"

namespace platform {

bool GetBirthTime(std::wstring_view path, std::int64_t& nanoseconds) {
#ifdef STATX_BTIME
  struct statx stx;
  if (::statx(AT_FDCWD, NativePath(path).c_str(), 0, STATX_BTIME, &stx) != 0 || !(stx.stx_mask & STATX_BTIME))
    return false;
  nanoseconds = static_cast<std::int64_t>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
  return true;
#else
  (void)path;
  (void)nanoseconds;
  return false;
#endif
}

}  // namespace platform
