// The download statistics a web plug-in reports to its engine: requests made,
// requests that gave a usable answer, and the time spent downloading.
// Thread-safe: searches on several threads count into one object.
#pragma once

#include <atomic>
#include <cstdint>

#include "nimbrel/CString.h"

namespace plugin_stats {

// Writes `value` as the engine's 32-bit integer, capped at INT32_MAX. Returns 1.
std::int32_t PutInt32(void* out, std::int64_t value);

class DownloadStatistics {
 public:
  // One request is about to be sent.
  void Requested() { ++requests_; }
  // A request took `milliseconds`, whatever its outcome.
  void Took(std::int64_t milliseconds) { downloadMs_ += milliseconds; }
  // A request gave a usable answer.
  void Succeeded() { ++successes_; }

  // Answers "StatisticDownloadCounter", "StatisticSuccessfulDownloads" and
  // "StatisticTotalDownloadTime" into `out` (std::int32_t); false for any
  // other name, leaving `out` alone.
  bool Answer(const CString& name, void* out) const;

 private:
  std::atomic<std::int64_t> requests_{0}, successes_{0}, downloadMs_{0};
};

}  // namespace plugin_stats
