#include "HistoryCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "EscapedText.h"
#include "RunLock.h"
#include "UndoRun.h"
#include "WriteHistory.h"
#include "XdgFolders.h"

namespace nimbrel_tag {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: nimbrel-tag history\n"
    "       nimbrel-tag undo [--dry-run] RUN | --last | PATH...\n"
    "Lists the runs that wrote files, or puts back the values a run replaced: those of run RUN (a number\n"
    "from the list), of the last run, or the last change to each file at or below PATH. A file changed\n"
    "since (by another program or a later run) is left as it is and named.\n";

std::string When(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  ::localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

int List(WriteHistory& history, std::FILE* out, std::FILE* err) {
  const std::vector<HistoryRun> runs = history.Runs();
  if (runs.empty()) std::fprintf(err, "nimbrel-tag: no run has written a file yet (%s)\n", history.Path().c_str());
  for (const HistoryRun& run : runs) {
    std::string line = std::to_string(run.id) + "\t" + When(run.started) + "\t" + std::to_string(run.files) +
                       (run.files == 1 ? " file" : " files");
    if (run.undone > 0) line += run.undone == run.files ? " (undone)" : " (" + std::to_string(run.undone) + " undone)";
    line += "\t" + Escaped(run.folder) + "\t" + Escaped(run.command);
    std::fprintf(out, "%s\n", line.c_str());
  }
  return kExitOk;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

bool HistoryCommand::Handles(const std::vector<std::string>& args) {
  return !args.empty() && (args[0] == "history" || args[0] == "undo");
}

int HistoryCommand::Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  bool dryRun = false, last = false;
  std::vector<std::string> targets;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-h" || args[i] == "--help") return std::fputs(kUsage, out), kExitOk;
    if (args[i] == "--dry-run" || args[i] == "-n") {
      dryRun = true;
    } else if (args[i] == "--last") {
      last = true;
    } else if (args[i] == "--") {
      targets.insert(targets.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (!args[i].empty() && args[i][0] == '-') {
      std::fprintf(err, "nimbrel-tag: unknown option %s\n%s", args[i].c_str(), kUsage);
      return kExitUsage;
    } else {
      targets.push_back(args[i]);
    }
  }
  const bool undo = args[0] == "undo";
  if (!undo && (last || dryRun || !targets.empty())) return std::fputs(kUsage, err), kExitUsage;
  if (undo && (last == !targets.empty() || (targets.size() > 1 && IsNumber(targets[0])))) {
    std::fprintf(err, "nimbrel-tag: undo takes one run, --last, or paths\n%s", kUsage);
    return kExitUsage;
  }

  WriteHistory history(WriteHistory::DefaultPath());
  std::string error;
  if (!history.Open(error)) return std::fprintf(err, "nimbrel-tag: %s\n", error.c_str()), kExitSomeFailed;
  if (!undo) return List(history, out, err);

  std::vector<HistoryFile> files;
  if (last || IsNumber(targets[0])) {
    const std::vector<HistoryRun> runs = history.Runs();
    if (runs.empty()) return std::fputs("nimbrel-tag: the history holds no run to undo\n", err), kExitSomeFailed;
    const std::int64_t run = last ? runs.back().id : std::strtoll(targets[0].c_str(), nullptr, 10);
    if (std::none_of(runs.begin(), runs.end(), [&](const HistoryRun& r) { return r.id == run; })) {
      std::fprintf(err, "nimbrel-tag: no run %lld in the history (nimbrel-tag history lists them)\n",
                   static_cast<long long>(run));
      return kExitSomeFailed;
    }
    files = history.FilesOfRun(run);
    if (files.empty()) std::fprintf(err, "nimbrel-tag: run %lld is undone already\n", static_cast<long long>(run));
  } else {
    for (const std::string& target : targets) {
      std::vector<HistoryFile> found = history.LatestUnder(AbsolutePath(target));
      if (found.empty()) std::fprintf(err, "nimbrel-tag: %s: no change to undo in the history\n", Escaped(target).c_str());
      for (HistoryFile& file : found) files.push_back(std::move(file));
    }
  }
  if (files.empty()) return kExitSomeFailed;

  // Not while a run works on these folders.
  std::set<std::string> folders;
  for (const HistoryFile& file : files) folders.insert(file.path.substr(0, file.path.rfind('/') + 1));
  RunLock lock(StateFolder(), folders);
  if (!dryRun && !lock.TryLock(error) && error.empty()) {
    std::fputs("nimbrel-tag: another nimbrel-tag run is working on these folders; undo when it has ended\n", err);
    return kExitSomeFailed;
  }
  UndoRun run(history, dryRun, out, err);
  return run.Restore(files) ? kExitOk : kExitSomeFailed;
}

}  // namespace nimbrel_tag
