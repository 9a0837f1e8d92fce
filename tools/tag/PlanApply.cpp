#include "PlanApply.h"

#include <fstream>
#include <memory>
#include <set>

#include "PlanFile.h"
#include "RunLock.h"
#include "SignalWatch.h"
#include "TagFields.h"
#include "WriteHistory.h"
#include "XdgFolders.h"
#include "meridex/FileName.h"
#include "meridex/SaveBatch.h"
#include "meridex/Tags.h"

namespace nimbrel_tag {

namespace {

// Files saved together; a run's groups are of this order too.
constexpr std::size_t kBatch = 256;

// The fields a planned file changes, for the history.
std::vector<Field> ChangedFields(const PlannedFile& file) {
  std::vector<Field> changed;
  for (const Field field : kAllFields)
    if (file.values.count(FieldName(field)) || (field == Field::kCover && file.picturesChange)) changed.push_back(field);
  return changed;
}

}  // namespace

const char* PlanApply::HelpText() {
  return "Usage: nimbrel-tag apply [--keep-mtime] [--no-history] PLAN\n"
         "Writes what `nimbrel-tag --dry-run --plan PLAN` saved, to the files that have not changed since,\n"
         "and records the writes in the history for `nimbrel-tag undo` (unless --no-history).\n"
         "Waits while another nimbrel-tag run works on the plan's folders.\n"
         "Exit status: 0 every file written, 1 some were not (each is named with why), 2 usage error,\n"
         "130 stopped while waiting.\n";
}

int PlanApply::Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::string planPath;
  bool keepModificationTime = false, useHistory = true;
  for (const std::string& arg : args) {
    if (arg == "-h" || arg == "--help") return std::fputs(HelpText(), out), 0;
    if (arg == "--keep-mtime") {
      keepModificationTime = true;
    } else if (arg == "--no-history") {
      useHistory = false;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(err, "nimbrel-tag apply: unknown option %s\n%s", arg.c_str(), HelpText());
      return 2;
    } else if (!planPath.empty()) {
      std::fprintf(err, "nimbrel-tag apply: one plan at a time\n");
      return 2;
    } else {
      planPath = arg;
    }
  }
  if (planPath.empty()) return std::fputs(HelpText(), err), 2;
  std::ifstream in(planPath, std::ios::binary);
  if (!in) {
    std::fprintf(err, "nimbrel-tag apply: cannot read the plan %s\n", planPath.c_str());
    return 2;
  }
  // The whole plan is read before anything is written: a damaged plan writes nothing.
  std::vector<PlannedFile> files;
  std::string line, error;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    PlannedFile file;
    if (!PlanFile::Parse(line, file, error)) {
      std::fprintf(err, "nimbrel-tag apply: %s:%d: %s; nothing written\n", planPath.c_str(), number, error.c_str());
      return 2;
    }
    files.push_back(std::move(file));
  }

  // Not while a run works on these folders: the files are checked and
  // written under the lock a tagging run takes.
  std::set<std::string> folders;
  for (const PlannedFile& file : files) folders.insert(file.path.substr(0, file.path.rfind('/') + 1));
  RunLock lock(StateFolder(), folders);
  {
    // Ctrl-C stops the wait; once writing, it acts as usual (each save is whole or not at all).
    SignalWatch signals;
    if (!lock.WaitUntilHeld(signals, [&](const std::string& note) { std::fprintf(err, "nimbrel-tag: %s\n", note.c_str()); })) {
      std::fputs("nimbrel-tag apply: stopped before any file was written\n", err);
      return 130;
    }
  }

  std::unique_ptr<WriteHistory> history;
  if (useHistory) {
    history = std::make_unique<WriteHistory>(WriteHistory::DefaultPath());
    std::string command = "nimbrel-tag apply";
    for (const std::string& arg : args) command += " " + arg;
    if (!history->Open(error) || !history->BeginRun(command, error)) {
      std::fprintf(err, "nimbrel-tag apply: %s; these writes cannot be undone (--no-history to say so)\n",
                   error.c_str());
      history.reset();
    }
  }

  std::size_t written = 0, refused = 0;
  auto refuse = [&](const std::string& path, const std::string& why) {
    ++refused;
    std::fprintf(err, "nimbrel-tag: %s: not written: %s\n", path.c_str(), why.c_str());
  };
  // Saved in batches, as a run saves: one flush for many files, each file
  // still wholly old or wholly new, and left alone when it changes between
  // the check below and its replacement.
  Meridex::CSaveBatch batch;
  std::vector<const PlannedFile*> added;
  std::vector<PendingWrite> pending;  // parallel to `added` with a history
  auto commit = [&] {
    const std::vector<Meridex::FileResult> results = batch.Commit();
    std::vector<std::pair<PendingWrite, FileStamp>> recorded;
    for (std::size_t i = 0; i < added.size(); ++i) {
      if (i < results.size() && results[i]) {
        ++written;
        std::fprintf(out, "%s: written\n", added[i]->path.c_str());
        FileStamp after;
        if (history && FileStamp::Of(added[i]->path, after)) recorded.emplace_back(std::move(pending[i]), after);
      } else {
        refuse(added[i]->path, i < results.size() ? Meridex::FileNameToNative(results[i].message) : "not saved");
      }
    }
    added.clear();
    pending.clear();
    if (history && !history->Record(recorded))
      std::fprintf(err, "nimbrel-tag apply: %s; these files cannot be undone\n", history->LastError().c_str());
  };
  for (const PlannedFile& file : files) {
    const CString name = Meridex::FileNameFromNative(file.path);
    Meridex::CTags tags;
    FileIdentity now;
    std::string why;
    // Read first, then compare: a change after this is refused by the save itself.
    if (const Meridex::FileResult read = tags.ReadFile(name); !read) {
      why = Meridex::FileNameToNative(read.message);
    } else if (!FileIdentity::Of(file.path, now, why)) {
      why = "cannot read it: " + why;
    } else if (const std::string changed = file.identity.DifferenceTo(now); !changed.empty()) {
      why = changed + " since the plan was made (make a new plan)";
    } else {
      // Captured now, while the file still holds what the plan replaces.
      PendingWrite before;
      if (history) before = WriteHistory::Capture(AbsolutePath(file.path), tags, ChangedFields(file));
      if (!PlanFile::ApplyTo(file, tags, why)) {
      } else if (const Meridex::FileResult saved = batch.Add(tags, name, keepModificationTime); !saved) {
        why = Meridex::FileNameToNative(saved.message);
      } else {
        added.push_back(&file);
        pending.push_back(std::move(before));
      }
    }
    if (!why.empty()) refuse(file.path, why);
    if (added.size() >= kBatch) commit();
  }
  commit();
  if (history) history->EndRun();
  std::fprintf(err, "%zu of %zu planned files written%s.\n", written, files.size(),
               refused ? (", " + std::to_string(refused) + " left alone").c_str() : "");
  return refused ? 1 : 0;
}

}  // namespace nimbrel_tag
