// What the nimbrel-tag benchmarks share: the library started on a plug-in
// folder of their own, the files given their original bytes back between
// passes, and one quiet run of nimbrel-tag over them.
#pragma once

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Reporter.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "Text.h"
#include "nimbrel/Nimbrel.h"

namespace bench_run {

// Starts the library with its plug-ins in `root`/plugins/ and its log in
// `root`/log/, without a tag-cache server; the new tagging object.
inline INimbrel* StartLibrary(const std::string& root) {
  NimbrelSettings settings;
  settings.WorkingDirectory = CString(plugin_text::Widen(root + "plugins/"));
  settings.LogFolder = CString(plugin_text::Widen(root + "log/"));
  settings.TraceLevel = L"Warning";
  settings.TagCacheHost = L"";
  InitialiseNimbrel(settings);
  return NewNimbrelInstance();
}

// Writes each file's original bytes back (path -> bytes).
inline void Restore(const std::map<std::string, std::string>& originals) {
  for (const auto& [path, bytes] : originals) std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// One run of nimbrel-tag over `files`, reporting to /dev/null.
inline nimbrel_tag::RunTotals Run(INimbrel& nimbrel, const nimbrel_tag::TagOptions& options,
                                  nimbrel_tag::SignalWatch& signals, const std::vector<std::string>& files,
                                  nimbrel_tag::WriteHistory* history = nullptr) {
  std::FILE* sink = std::fopen("/dev/null", "w");
  nimbrel_tag::Reporter reporter(nimbrel_tag::ReporterStyle{}, sink, sink);
  nimbrel_tag::TaggingRun run(nimbrel, options, reporter, signals, nullptr, nullptr);
  run.SetHistory(history);
  run.Run(files);
  std::fclose(sink);
  return reporter.Totals();
}

}  // namespace bench_run
