// Puts back the values recorded in the history for a list of file changes.
#pragma once

#include <cstdio>
#include <vector>

#include "WriteHistory.h"

namespace nimbrel_tag {

// Each file still as the run left it (the same identity as recorded after
// the write) gets its old field values and pictures back and its old
// modification time; a file changed since, or gone, is named and left as it
// is. Files are written in batches (each wholly old or wholly new, one flush
// per batch) and marked undone in one transaction per batch.
class UndoRun {
 public:
  UndoRun(WriteHistory& history, bool dryRun, std::FILE* out, std::FILE* err);

  // True when every file was restored.
  bool Restore(const std::vector<HistoryFile>& files);

  std::size_t Restored() const { return restored_; }

 private:
  void Batch(const std::vector<const HistoryFile*>& files, const std::string& pictureFolder);

  WriteHistory& history_;
  bool dryRun_;
  std::FILE* out_;
  std::FILE* err_;
  std::size_t restored_ = 0;
  std::size_t changed_ = 0;
  std::size_t failed_ = 0;
};

}  // namespace nimbrel_tag
