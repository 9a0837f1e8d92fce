// Elapsed time of an engine's searches. Overlapping searches share one
// running interval: the first start opens it, the first stop closes it and
// adds it to the total. Ticks are the environment's 32-bit millisecond count;
// differences wrap as the tick count does.
#pragma once

#include <cstdint>

#include "platform/CriticalSection.h"

class SearchTimer {
 public:
  // Opens an interval unless one is running.
  void Start();
  // Closes the running interval into the total and restarts it at now.
  void Stop();
  // Milliseconds since the interval's start, running or not.
  std::uint32_t Elapsed();
  // Milliseconds of all closed intervals.
  std::uint32_t Total();

 private:
  CCriticalSection lock_;
  std::uint32_t start_ = 0;
  std::uint32_t stop_ = 0;
  std::uint32_t total_ = 0;
};
