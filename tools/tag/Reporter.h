// What nimbrel-tag tells a person or a script while it runs.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "FileReport.h"

namespace nimbrel_tag {

struct RunTotals {
  std::size_t files = 0;  // to do in this run
  std::size_t done = 0;
  std::size_t tagged = 0;
  std::size_t unchanged = 0;
  std::size_t notTagged = 0;  // not found, low score, no artist or title
  std::size_t errors = 0;
  std::size_t skipped = 0;
  double readSeconds = 0, librarySeconds = 0, writeSeconds = 0;
};

struct ReporterStyle {
  bool json = false;      // JSON Lines on `out`
  bool quiet = false;     // no per-file lines
  bool verbose = false;   // candidates too
  bool progress = false;  // a progress line on `err`, rewritten in place
  bool dryRun = false;
};

// Per-file lines go to `out` (standard output): what changed, or JSON. The
// progress line, problems and the summary go to `err` (standard error), so
// that standard output holds only what was asked for.
class Reporter {
 public:
  Reporter(ReporterStyle style, std::FILE* out, std::FILE* err);

  void Begin(std::size_t files);
  void File(const FileReport& report);
  // A problem that belongs to no file of the run (a folder that cannot be read).
  void Problem(const std::string& path, const std::string& message);
  void Note(const std::string& text);
  // Rewrites the progress line, at most a few times a second unless `force`.
  void Progress(bool force = false);
  void Summary(bool interrupted, const std::string& untaggedLog);

  RunTotals& Totals() { return totals_; }

  // "1:05" for 65 seconds, "2:01:05" with hours.
  static std::string Duration(double seconds);

 private:
  void ClearProgress();
  // Flushes standard output; once a write to it failed it is left alone.
  void CheckOutput();
  void Text(const FileReport& report);
  void Json(const FileReport& report);

  ReporterStyle style_;
  std::FILE* out_;
  std::FILE* err_;
  RunTotals totals_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastProgress_;
  bool progressShown_ = false;
  bool outClosed_ = false;
};

}  // namespace nimbrel_tag
