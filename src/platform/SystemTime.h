// Calendar time broken into fields, as the log and file names use it.
#pragma once

namespace platform {

struct SystemTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int dayOfWeek = 0;  // 0 Sunday to 6 Saturday
  int day = 0;    // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;

  bool SameDate(const SystemTime& o) const { return year == o.year && month == o.month && day == o.day; }
};

}  // namespace platform
