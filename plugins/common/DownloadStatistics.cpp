#include "DownloadStatistics.h"

#include <cstdint>

namespace plugin_stats {

std::int32_t PutInt32(void* out, std::int64_t value) {
  *static_cast<std::int32_t*>(out) = static_cast<std::int32_t>(value > INT32_MAX ? INT32_MAX : value);
  return 1;
}

bool DownloadStatistics::Answer(const CString& name, void* out) const {
  if (name == L"StatisticDownloadCounter") return PutInt32(out, requests_.load());
  if (name == L"StatisticSuccessfulDownloads") return PutInt32(out, successes_.load());
  if (name == L"StatisticTotalDownloadTime") return PutInt32(out, downloadMs_.load());
  return false;
}

}  // namespace plugin_stats
