// The state shared by every handle of one picture (CPictureTag).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "meridex/PictureTag.h"
#include "nimbrel/CString.h"

namespace Meridex {

struct CPictureTag::Record {
  // A file handed over with the delete flag set is given to Meridex to delete.
  Record(const CString& p, const CString& m, int t, const CString& d, bool del)
      : mimeType(m), type(t), description(d), deleteFlag(del), owned(del), path_(p) {}
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  // Runs once, when the last handle is released (shared_ptr's reference
  // count makes that race-free across threads).
  ~Record();

  // The picture file; for a picture still inside its media file, extracted
  // to `tempFolder` first (empty when that fails).
  CString Path();
  // The file's path as it stands, without extracting.
  CString PathSoFar() const;
  bool HasContent() const;

  const CString mimeType;
  const int type;
  const CString description;
  std::atomic<bool> deleteFlag;
  // Whether the file is Meridex's to delete; once true, it stays true.
  std::atomic<bool> owned;
  // Tells a record apart from others, also from one later at the same address.
  const std::uint64_t id = NextId();

  // A picture read from a media file and not extracted yet: where it is.
  CString mediaFile;
  int mediaIndex = -1;  // its place among the pictures reading finds there
  CString tempFolder;
  // What is known without a file; set before the record is shared, or
  // under `lock` afterwards.
  std::uint64_t size = 0;
  std::uint64_t hash = 0;
  bool fingerprinted = false;
  int width = 0;
  int height = 0;

  mutable std::mutex lock;

 private:
  static std::uint64_t NextId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1);
  }
  CString path_;  // under `lock`
  bool extractTried_ = false;
};

}  // namespace Meridex
