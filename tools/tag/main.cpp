// nimbrel-tag: completes the tags of music files with nimbrel, as any host
// program would: through the library's exported functions only.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "CommandLine.h"
#include "FileWalker.h"
#include "Reporter.h"
#include "RunJournal.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "UntaggedLog.h"
#include "XdgFolders.h"
#include "meridex/FileName.h"
#include "meridex/Leftovers.h"
#include "nimbrel/Nimbrel.h"

using namespace nimbrel_tag;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  const std::string text(path, static_cast<std::size_t>(n));
  return text.substr(0, text.rfind('/') + 1);
}

// The plug-ins beside this program: those of the build tree when it runs
// from there (a CMake build folder, known by its CMakeFiles/), else the
// installed ones.
std::string DefaultPluginFolder() {
  const std::string folder = ExecutableFolder();
  std::error_code error;
  if (!folder.empty() && std::filesystem::is_directory(folder + "CMakeFiles", error)) {
    return std::filesystem::path(folder + NIMBREL_TAG_BUILD_PLUGINS).lexically_normal().string();
  }
  return NIMBREL_TAG_INSTALLED_PLUGINS;
}

CString Name(const std::string& bytes) { return Meridex::FileNameFromNative(bytes); }

std::string WorkingFolder() {
  char path[4096];
  return ::getcwd(path, sizeof path) ? std::string(path) : std::string();
}

// `path` made absolute and ending with "/": the library takes folders so.
std::string AbsoluteFolder(std::string path) {
  if (!path.empty() && path[0] != '/') path = WorkingFolder() + "/" + path;
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

// True when the plug-in folder holds at least one module of either kind.
bool HasPlugins(const std::string& folder) {
  std::error_code error;
  for (const char* kind : {"General", "Lyrics"}) {
    for (const auto& entry : std::filesystem::directory_iterator(folder + kind, error)) {
      if (entry.path().extension() == ".so") return true;
    }
  }
  return false;
}

// What makes two runs the same run, for going on with an interrupted one.
std::string RunKey(const TagOptions& o) {
  std::string key = WorkingFolder();
  for (const std::string& path : o.paths) key += '\0' + path;
  const NimbrelOptions& l = o.library;
  key += '\0' + std::to_string(l.SearchBasicTags) + std::to_string(l.SearchCover) + std::to_string(l.SearchLyrics) +
         std::to_string(l.OverwritePolicy) + std::to_string(l.SuccessCriterion) + std::to_string(l.MaxMatchDifference) +
         std::to_string(o.quiet) + std::to_string(o.minScore) + std::to_string(o.hidden);
  return key;
}

}  // namespace

int main(int argc, char** argv) {
  TagOptions options;
  std::string error;
  std::vector<std::string> notes;
  switch (CommandLine::Parse(argc, argv, options, error, notes)) {
    case ParseResult::kHelp: std::fputs(CommandLine::HelpText().c_str(), stdout); return kExitOk;
    case ParseResult::kVersion: std::printf("nimbrel-tag %s\n", NIMBREL_TAG_VERSION); return kExitOk;
    case ParseResult::kUsageError: std::fprintf(stderr, "nimbrel-tag: %s\n", error.c_str()); return kExitUsage;
    case ParseResult::kRun: break;
  }

  // The plug-ins read it with their settings; set while no other thread runs.
  if (!options.contact.empty()) ::setenv("NIMBREL_PLUGIN_CONTACT", options.contact.c_str(), 1);

  // Before the library starts any thread, so that Ctrl-C reaches this one as a request.
  SignalWatch signals;

  ReporterStyle style;
  style.json = options.json;
  style.quiet = options.quiet;
  style.verbose = options.verbose;
  style.dryRun = options.dryRun;
  style.progress = options.progress.value_or(::isatty(STDERR_FILENO) == 1);
  Reporter reporter(style, stdout, stderr);
  for (const std::string& note : notes) reporter.Note(note);

  FileWalker walker(options.hidden);
  for (const std::string& path : options.paths) walker.Walk(path);
  for (const WalkProblem& problem : walker.Problems()) reporter.Problem(problem.path, problem.message);
  if (walker.Files().empty()) {
    reporter.Note("no music files found" + std::string(options.hidden ? "" : " (hidden ones are skipped; --hidden)"));
    return walker.Problems().empty() ? kExitOk : kExitSomeFailed;
  }

  // Before any file is read: what an interrupted save left in these folders
  // goes, and a file it was writing in place gets its old content back.
  if (!options.dryRun) {
    std::set<std::string> folders;
    for (const std::string& file : walker.Files()) folders.insert(file.substr(0, file.rfind('/') + 1));
    for (const std::string& folder : folders)
      for (const CString& text : Meridex::CleanUpFolder(Name(folder.empty() ? "./" : folder)))
        reporter.Note(Meridex::FileNameToNative(text));
  }

  const std::string state = StateFolder();
  const bool stateReady = MakePrivateFolder(state);
  std::unique_ptr<RunJournal> journal;
  if (!options.dryRun && stateReady) {
    journal = std::make_unique<RunJournal>(state, RunKey(options));
    if (!journal->Open(options.restart, error)) {
      reporter.Note(error + "; an interruption will not be resumable");
      journal.reset();
    } else if (journal->EarlierCount() > 0) {
      reporter.Note("going on with an interrupted run: files done then are skipped (--restart does them again)");
    }
  }
  UntaggedLog untagged;
  const std::string untaggedPath = !options.untaggedLog.empty() ? options.untaggedLog
                                   : stateReady                 ? state + "untagged.log"
                                                                : std::string();
  if (!untaggedPath.empty() && !untagged.Open(untaggedPath, journal && journal->EarlierCount() > 0, error))
    reporter.Note(error);

  const std::string plugins = AbsoluteFolder(options.workingDirectory.value_or(DefaultPluginFolder()));
  // The library would make the folder (an update fills it); a mistyped name
  // should not become a new empty folder.
  if (!options.updateUrl && !std::filesystem::is_directory(plugins)) {
    std::fprintf(stderr, "nimbrel-tag: the plug-in folder %s does not exist (--plugins DIR)\n", plugins.c_str());
    return kExitUsage;
  }
  if (!options.updateUrl && !HasPlugins(plugins))
    reporter.Note("no source plug-ins in " + plugins + "General/ or Lyrics/: nothing can be found (--plugins DIR)");

  NimbrelSettings settings;
  settings.WorkingDirectory = Name(plugins);
  settings.LogFolder = Name(options.logFolder ? AbsoluteFolder(*options.logFolder)
                                              : stateReady ? state + "log/" : std::string());
  settings.UpdateUrl = Name(options.updateUrl.value_or(std::string()));
  settings.TagCacheHost = Name(options.tagCacheHost.value_or(std::string()));
  settings.HttpProxy = Name(options.proxy.value_or("0"));
  settings.TraceLevel = Name(options.traceLevel);
  InitialiseNimbrel(settings);
  std::unique_ptr<INimbrel> nimbrel(NewNimbrelInstance());
  if (!nimbrel) {
    std::fputs("nimbrel-tag: the tagging library could not start (out of memory)\n", stderr);
    return kExitSomeFailed;
  }
  nimbrel->SetOptions(options.library);

  TaggingRun run(*nimbrel, options, reporter, signals, journal.get(), untagged.Path().empty() ? nullptr : &untagged);
  const bool complete = run.Run(walker.Files());
  nimbrel.reset();  // stops and waits for the library's workers
  if (complete && journal) journal->Complete();
  reporter.Summary(!complete, untagged.Count() > 0 ? untagged.Path() : std::string());

  if (!complete) return kExitInterrupted;
  return reporter.Totals().errors > 0 || !walker.Problems().empty() ? kExitSomeFailed : kExitOk;
}
