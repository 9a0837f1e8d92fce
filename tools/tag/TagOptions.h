// Everything a run of nimbrel-tag is asked to do, from the configuration file
// and the command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "nimbrel/NimbrelSettings.h"

namespace nimbrel_tag {

struct TagOptions {
  // Files and folders to tag, as the system names them (bytes).
  std::vector<std::string> paths;

  bool dryRun = false;   // change nothing, show what would change
  bool json = false;     // one JSON object per file on standard output
  bool quiet = false;    // apply only confident results, list the rest
  bool verbose = false;  // also list every candidate with its score
  bool hidden = false;   // walk into hidden files and folders too
  bool restart = false;  // forget the progress of an interrupted run
  bool keepModificationTime = false;
  std::optional<bool> progress;  // unset: a progress line when stderr is a terminal
  // Lowest score (0-100) of a result that quiet mode applies.
  int minScore = 90;
  // Files handed to the library together; an album's songs should meet.
  int batchSize = 256;

  // The tagging object's options.
  NimbrelOptions library;

  // The library's settings; unset ones keep the tool's defaults.
  std::optional<std::string> workingDirectory;
  std::optional<std::string> logFolder;
  std::optional<std::string> updateUrl;
  std::optional<std::string> tagCacheHost;
  std::optional<std::string> proxy;
  // Named by the plug-ins in their requests; empty: none given.
  std::string contact;
  std::string traceLevel = "Warning";

  // Every write recorded for undoing, in a history of at most this many MiB.
  bool history = true;
  int historyLimitMiB = 512;

  // Where the files that were not tagged are listed; empty: the default
  // in the user's state folder.
  std::string untaggedLog;

  // Ask a person when the result is doubtful.
  bool interactive = false;
  // Write the source's spelling of artist and title where only that differs.
  bool fixSpelling = false;
  // Not empty: where a dry run saves what it would write, for `apply`.
  std::string plan;
  // Not empty: where the run's HTML report goes.
  std::string htmlReport;
};

}  // namespace nimbrel_tag
