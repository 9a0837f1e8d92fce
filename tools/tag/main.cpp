// nimbrel-tag: completes the tags of music files with nimbrel, as any host
// program would: through the library's exported functions only.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "CommandLine.h"
#include "FileWalker.h"
#include "HtmlReport.h"
#include "InteractiveChooser.h"
#include "PlanApply.h"
#include "PlanFile.h"
#include "HistoryCommand.h"
#include "Reporter.h"
#include "RunJournal.h"
#include "RunLock.h"
#include "SignalWatch.h"
#include "SpellingFix.h"
#include "TaggingRun.h"
#include "UntaggedLog.h"
#include "WriteHistory.h"
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
  if (argc >= 2 && std::string(argv[1]) == "apply") {
    std::signal(SIGPIPE, SIG_IGN);  // a closed output must not stop the writes half done
    return PlanApply::Run(std::vector<std::string>(argv + 2, argv + argc), stdout, stderr);
  }
  if (const std::vector<std::string> args(argv + 1, argv + argc); HistoryCommand::Handles(args)) {
    std::signal(SIGPIPE, SIG_IGN);
    return HistoryCommand::Run(args, stdout, stderr);
  }
  TagOptions options;
  std::string error;
  std::vector<std::string> notes;
  switch (CommandLine::Parse(argc, argv, options, error, notes)) {
    case ParseResult::kHelp: std::fputs(CommandLine::HelpText().c_str(), stdout); return kExitOk;
    case ParseResult::kVersion: std::printf("nimbrel-tag %s\n", NIMBREL_TAG_VERSION); return kExitOk;
    case ParseResult::kUsageError: std::fprintf(stderr, "nimbrel-tag: %s\n", error.c_str()); return kExitUsage;
    case ParseResult::kRun: break;
  }
  if (!options.plan.empty() && !options.dryRun) {
    std::fputs("nimbrel-tag: --plan saves what a dry run would write: add --dry-run\n", stderr);
    return kExitUsage;
  }
  if (options.interactive && ::isatty(STDIN_FILENO) != 1) {
    std::fputs("nimbrel-tag: --interactive needs a terminal to ask on (standard input is not one)\n", stderr);
    return kExitUsage;
  }

  // The plug-ins read it with their settings; set while no other thread runs.
  if (!options.contact.empty()) ::setenv("NIMBREL_PLUGIN_CONTACT", options.contact.c_str(), 1);

  // Before the library starts any thread, so that Ctrl-C reaches this one as a request.
  SignalWatch signals;
  // A reader that goes away (`| head`) must not end the run in the middle:
  // the Reporter notices the failed write and goes on without standard output.
  std::signal(SIGPIPE, SIG_IGN);

  ReporterStyle style;
  style.json = options.json;
  style.quiet = options.quiet;
  style.verbose = options.verbose;
  style.dryRun = options.dryRun;
  // The prompt shares the terminal: no progress line rewritten under it.
  style.progress = options.progress.value_or(::isatty(STDERR_FILENO) == 1 && !options.interactive);
  Reporter reporter(style, stdout, stderr);
  for (const std::string& note : notes) reporter.Note(note);

  FileWalker walker(options.hidden);
  for (const std::string& path : options.paths) walker.Walk(path);
  for (const WalkProblem& problem : walker.Problems()) reporter.Problem(problem.path, problem.message);
  if (walker.Files().empty()) {
    reporter.Note("no music files found" + std::string(options.hidden ? "" : " (hidden ones are skipped; --hidden)"));
    return walker.Problems().empty() ? kExitOk : kExitSomeFailed;
  }

  std::set<std::string> folders;
  for (const std::string& file : walker.Files()) folders.insert(file.substr(0, file.rfind('/') + 1));
  const std::string state = StateFolder();
  const bool stateReady = MakePrivateFolder(state);
  // One run at a time over these folders; taken before the clean-up below,
  // which would take another run's unfinished saves for leftovers.
  RunLock lock(state, folders);
  if (!options.dryRun && !lock.WaitUntilHeld(signals, [&](const std::string& note) { reporter.Note(note); })) {
    reporter.Note("stopped before any file was read");
    return kExitInterrupted;
  }

  // Before any file is read: what an interrupted save left in these folders
  // goes, and a file it was writing in place gets its old content back.
  if (!options.dryRun) {
    for (const std::string& folder : folders)
      for (const CString& text : Meridex::CleanUpFolder(Name(folder.empty() ? "./" : folder)))
        reporter.Note(Meridex::FileNameToNative(text));
  }

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
  // A dry run keeps the list of the last real run, unless asked for its own.
  const std::string untaggedPath = !options.untaggedLog.empty()     ? options.untaggedLog
                                   : stateReady && !options.dryRun ? state + "untagged.log"
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
  SpellingFix spelling;
  if (options.fixSpelling) run.AddHook(&spelling);
  InteractiveChooser chooser(
      options, [&run](std::vector<TaggedFile>& files, const auto& edit) { return run.SearchAgain(files, edit); },
      [&signals] { return signals.Poll() || signals.Count() > 0; }, STDIN_FILENO, stderr);
  if (options.interactive) run.AddHook(&chooser);
  PlanFile plan;
  HtmlReport page;
  bool reviewFailed = false;
  if (!options.plan.empty()) {
    if (!plan.Open(options.plan, error)) return std::fprintf(stderr, "nimbrel-tag: %s\n", error.c_str()), kExitUsage;
    run.AddHook(&plan);
  }
  if (!options.htmlReport.empty()) {
    if (!page.Open(options.htmlReport, options.dryRun, error))
      return std::fprintf(stderr, "nimbrel-tag: %s\n", error.c_str()), kExitUsage;
    run.AddHook(&page);
  }
  std::unique_ptr<WriteHistory> history;
  if (!options.dryRun && options.history) {
    history = std::make_unique<WriteHistory>(WriteHistory::DefaultPath());
    std::string command = "nimbrel-tag";
    for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];
    if (history->Open(error) && history->BeginRun(command, error)) {
      run.SetHistory(history.get());
    } else {
      reporter.Note(error + "; this run's writes cannot be undone (--no-history to say so)");
      history.reset();
    }
  }
  const bool complete = run.Run(walker.Files());
  nimbrel.reset();  // stops and waits for the library's workers
  for (bool closed : {plan.Close(error), page.Close(error)})
    if (!closed) reporter.Note(error), reviewFailed = true;
  if (!options.plan.empty() && !reviewFailed)
    reporter.Note("plan of " + std::to_string(plan.Count()) + " files saved in " + options.plan +
                  " (nimbrel-tag apply " + options.plan + " writes it)");
  if (history) {
    history->EndRun();
    if (const int pruned = history->Prune(static_cast<std::int64_t>(options.historyLimitMiB) << 20))
      reporter.Note("the history reached its limit (--history-limit): the " + std::to_string(pruned) +
                    " oldest runs can no longer be undone");
  }
  if (complete && journal) journal->Complete();
  reporter.Summary(!complete, untagged.Count() > 0 ? untagged.Path() : std::string());

  if (!complete) return kExitInterrupted;
  return reporter.Totals().errors > 0 || !walker.Problems().empty() || reviewFailed ? kExitSomeFailed : kExitOk;
}
