// Saving the tags of many media files at once, as safely as CTags::SaveFile
// and with a small, fixed number of flushes to disk per batch instead of two
// per file.
#pragma once

#include <memory>
#include <vector>

#include "meridex/Export.h"
#include "meridex/FileResult.h"
#include "meridex/Tags.h"
#include "nimbrel/CString.h"

namespace Meridex {

// A batch of saves: Add writes each file's new content beside it, Commit
// makes all of them durable together and then puts each in place. Every file
// is either wholly old or wholly new whatever happens (an interruption, a
// full disk, a crash): until Commit renames a file's new content over it, the
// file itself is not touched.
//
//   CSaveBatch batch;
//   for (...) if (!batch.Add(tags, path)) report(...);   // refused: not in the batch
//   std::vector<FileResult> results = batch.Commit();     // one per accepted Add
//
// Entries are numbered in the order of the Adds that succeeded: the entry a
// successful Add made has the number Size() had before that Add, GetPath
// gives its path, and Commit's result of the same number is its outcome. A
// refused Add adds no entry.
//
// Each entry holds a hidden temporary file beside its media file (the same
// as SaveFile's; see meridex/Leftovers.h) until Commit or Discard; a batch
// that is destroyed discards what it holds. After a crash such a file may
// remain; the media file next to it is intact, and the next save into that
// folder removes it.
//
// One batch must not be used from several threads at once; distinct batches
// may be, also over the same folders (not over the same files: the later
// commit finds the file changed and leaves it).
class MERIDEX_EXPORT CSaveBatch {
 public:
  CSaveBatch();
  ~CSaveBatch();  // Discard()
  CSaveBatch(CSaveBatch&& other) noexcept;
  CSaveBatch& operator=(CSaveBatch&& other) noexcept;  // discards what this batch held
  CSaveBatch(const CSaveBatch&) = delete;
  CSaveBatch& operator=(const CSaveBatch&) = delete;

  // Does all of CTags::SaveFile(path, keepModificationTime) up to the
  // rename: resolves links, reads the file and remembers which file and
  // which version of it was read (device, inode, size, modification and
  // status change times), writes the tags into a new hidden file in the
  // same folder and gives that the file's permissions (and its access and
  // modification times with `keepModificationTime`). Nothing is flushed to
  // disk and the file itself is not touched. Refuses what SaveFile refuses,
  // with the same messages (a read-only file, an unreadable, empty or
  // unknown file, a missing picture, a full disk, ...), and also a file
  // that is already in this batch (under any path). A refusal leaves
  // nothing behind. `tags` is used up here: it may change or go afterwards.
  FileResult Add(const CTags& tags, const CString& path, bool keepModificationTime = false);

  // Makes the new contents of all entries durable (one flush per file
  // system involved; each file on its own where a file system's sync
  // cannot be trusted), then, entry by entry in order: when the file is
  // still the very file and version that Add read and no other program
  // holds it open for writing, puts the new content in place as SaveFile
  // does (a rename, or in place for a file with several names); otherwise,
  // or when that fails, removes the new content and leaves the file as it
  // is ("cannot save <file>: the file changed while it was being tagged",
  // "...: it is being written by another program; try again later"). Then makes the renames durable (one flush per folder
  // involved). Returns one result per entry, in entry order; a failure
  // affects its own entry only. The batch is empty afterwards.
  std::vector<FileResult> Commit();

  // Removes the new contents of all entries; every file stays as it was.
  // The batch is empty afterwards.
  void Discard();

  int Size() const;
  bool Empty() const { return Size() == 0; }
  // The path given to the Add that made entry `index`; empty when out of range.
  CString GetPath(int index) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace Meridex
