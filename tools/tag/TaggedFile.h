// One file of a run, from its reading to its writing.
#pragma once

#include <string>
#include <vector>

#include "FileReport.h"
#include "meridex/Tags.h"

namespace nimbrel_tag {

struct TaggedFile {
  FileReport report;
  Meridex::CTags input;   // as read from the file
  Meridex::CTags output;  // what would be written
  std::vector<Meridex::CTags> results;  // every candidate the sources found
  unsigned id = 0;        // the song's id in the tagging library while it is searched
  bool save = false;
  // A person chose the output at a prompt: no score threshold holds it back.
  bool confirmed = false;
  // Not empty: the output is held back, with this reason.
  std::string heldBack;
};

// Steps run on every group of files besides the search itself.
class GroupHook {
 public:
  virtual ~GroupHook() = default;
  // Before the file at `path` is read.
  virtual void Reading(const std::string& /*path*/) {}
  // After the group's candidates are collected, before its changes are
  // worked out: may change the outputs. False when the run is to stop.
  virtual bool Decide(std::vector<TaggedFile>& /*files*/) { return true; }
  // After the group is written (or, in a dry run, would have been).
  virtual void Done(const std::vector<TaggedFile>& /*files*/) {}
};

}  // namespace nimbrel_tag
