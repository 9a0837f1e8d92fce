// One run of nimbrel-tag over a list of files: read, search, write.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "FileReport.h"
#include "Reporter.h"
#include "RunJournal.h"
#include "SignalWatch.h"
#include "TagOptions.h"
#include "TaggedFile.h"
#include "UntaggedLog.h"
#include "WriteHistory.h"
#include "meridex/Tags.h"
#include "nimbrel/INimbrel.h"

namespace nimbrel_tag {

// Hands the files to a tagging object in groups (a folder's files stay in
// one group, so an album's songs are made to agree), waits until the group's
// run is over, and writes each file whose tags changed. Files are written
// in one batch per group: each is either wholly old or wholly new. A signal
// stops the searches; the files already finished are still written, the
// rest are left as they were.
class TaggingRun {
 public:
  TaggingRun(INimbrel& nimbrel, const TagOptions& options, Reporter& reporter, SignalWatch& signals,
             RunJournal* journal, UntaggedLog* untagged);

  // Records every write with the old values in `history` (none: not recorded).
  void SetHistory(WriteHistory* history) { history_ = history; }

  // Tags `files`; false when a signal interrupted the run.
  bool Run(const std::vector<std::string>& files);

  // The groups `files` are handed over in: consecutive files, at least
  // `size` unless the files run out, cut only where the folder changes,
  // unless a single folder holds more than twice `size`.
  static std::vector<std::pair<std::size_t, std::size_t>> Groups(const std::vector<std::string>& files,
                                                                  std::size_t size);

  // Runs `hook` on every group, in the order added.
  void AddHook(GroupHook* hook) { hooks_.push_back(hook); }

  // Searches `files` again, each with its tags as `edit` leaves them (a
  // person's own search term), and puts the new candidates in their results
  // and reports; their outputs stay. False when interrupted.
  bool SearchAgain(std::vector<TaggedFile>& files, const std::function<void(Meridex::CTags&)>& edit);

 private:
  using Entry = TaggedFile;

  void Read(Entry& entry);
  // Waits for the group's songs; false when interrupted (then only the ids
  // finished before the stop are left in `entries` with an id).
  bool Wait(std::vector<Entry>& entries);
  void Collect(Entry& entry);
  // The report's candidates, scored, from the entry's results.
  static void ListCandidates(Entry& entry);
  // The report's changes and outcome, from the entry's input and output.
  void Describe(Entry& entry);
  void Write(std::vector<Entry>& entries);
  void Finish(Entry& entry);

  INimbrel& nimbrel_;
  const TagOptions& options_;
  Reporter& reporter_;
  SignalWatch& signals_;
  RunJournal* journal_;
  UntaggedLog* untagged_;
  std::vector<GroupHook*> hooks_;
  WriteHistory* history_ = nullptr;
};

}  // namespace nimbrel_tag
