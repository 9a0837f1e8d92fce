#include "platform/FaultInjection.h"

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

namespace platform {

ScopedFileSizeLimit::ScopedFileSizeLimit(std::uint64_t bytes) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
  previousSoft_ = limit.rlim_cur;
  previousHard_ = limit.rlim_max;
  previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  if (active_) {
    struct rlimit limit;
    limit.rlim_cur = static_cast<rlim_t>(previousSoft_);
    limit.rlim_max = static_cast<rlim_t>(previousHard_);
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (previousHandler_ != SIG_ERR) std::signal(SIGXFSZ, previousHandler_ ? previousHandler_ : SIG_DFL);
}

namespace {

// capget/capset act on the calling thread only, which is what is wanted.
bool Capabilities(__user_cap_data_struct (&data)[2], bool set) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

constexpr std::uint32_t kOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

}  // namespace

ScopedObeyFilePermissions::ScopedObeyFilePermissions() {
  __user_cap_data_struct data[2] = {};
  if (!Capabilities(data, false)) return;
  previousEffective_[0] = data[0].effective;
  previousEffective_[1] = data[1].effective;
  if ((data[0].effective & kOverrides) == 0) return;
  data[0].effective &= ~kOverrides;
  active_ = Capabilities(data, true);
}

ScopedObeyFilePermissions::~ScopedObeyFilePermissions() {
  if (!active_) return;
  __user_cap_data_struct data[2] = {};
  if (!Capabilities(data, false)) return;
  data[0].effective = previousEffective_[0];
  data[1].effective = previousEffective_[1];
  Capabilities(data, true);
}

}  // namespace platform
