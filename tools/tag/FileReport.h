// What happened to one file in a run, for the reports.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "TagFields.h"

namespace nimbrel_tag {

enum class Outcome {
  kTagged,     // new values found and written (or would be, in a dry run)
  kUnchanged,  // found, but the file already holds every value
  kNotFound,   // no source knew the song
  kLowScore,   // quiet mode: the best candidate was not convincing enough
  kNoKeys,     // the file has no artist or title to search by
  kError,      // the file could not be read or written
  kSkipped,    // done by an earlier, interrupted run with these arguments
  kDisagrees,  // found, but every candidate differs from the file's values, which the policy kept
};

// "tagged", "unchanged", "not-found", "low-score", "no-artist-or-title",
// "error", "skipped", "disagrees": stable, for JSON.
const char* OutcomeName(Outcome outcome);

struct FieldChange {
  Field field;
  std::string before;  // as shown to a person (ShownValue)
  std::string after;
  std::string beforeText;  // the plain value (UTF-8), for JSON
  std::string afterText;
  std::vector<std::string> sources;  // sources whose candidates hold the new value
  int agreeing = 0;                   // candidates holding the new value
};

struct CandidateInfo {
  std::string source;
  bool lyrics = false;  // a lyrics text only
  int score = -1;       // -1 for lyrics
  std::vector<std::string> reasons;
  std::vector<std::pair<std::string, std::string>> values;  // field name, UTF-8 value
};

struct FileReport {
  std::string path;  // as the system names it
  Outcome outcome = Outcome::kNotFound;
  std::string message;  // why, for errors and the files not tagged
  std::vector<FieldChange> changes;
  std::vector<CandidateInfo> candidates;
  int basicCandidates = 0;
  int bestScore = -1;
  bool written = false;
};

}  // namespace nimbrel_tag
