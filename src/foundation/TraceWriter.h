// Writes log lines into a UTF-16LE trace file per process run.
//
// The file is named after a prefix path (folder plus name prefix), the local
// time of its creation and the process id; it is created lazily by the first
// line, and replaced by a new one when the local date changes or the file has
// grown beyond the size limit. Lines are "hh:mm:ss.mmm TID LVL: text" with
// CR LF endings. Every line is also sent to the debugger output.
// All operations are thread-safe; lines never interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/File.h"
#include "platform/SystemTime.h"

class TraceWriter {
 public:
  static constexpr std::int64_t kDefaultMaxFileSize = 10485760;  // 10 MiB
  static constexpr int kKeptTraceFiles = 10;

  TraceWriter() = default;
  ~TraceWriter() { Close(); }
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  // Closes the current file, takes `prefixPath` as the prefix of new files
  // and deletes all but the newest kKeptTraceFiles trace files of that prefix.
  void Open(const std::wstring& prefixPath);
  // Entries above `level` are dropped; 0 drops everything. Negative counts as 0.
  void SetLevel(int level);
  int Level() const;
  // True when an entry of `level` would be written.
  bool Accepts(int level) const;
  // Writes `text` literally as one line, when `level` is accepted.
  void Write(int level, std::wstring_view text);
  // Closes the current file; the next line creates a new one.
  void Close();
  // Path of the file written last (kept after Close); empty before the first line.
  std::wstring CurrentFilePath() const;
  // Size at which the current file is replaced; for tests.
  void SetMaxFileSize(std::int64_t bytes);

  // The name written for a level: "ERR", "WRN", "INF", "DBG", "-->", "---" or "".
  static const wchar_t* LevelName(int level);

 private:
  bool EnsureFile(const platform::SystemTime& now);
  std::wstring MakeFileName(const platform::SystemTime& now) const;
  void DeleteOldTraceFiles() const;

  mutable std::mutex mutex_;
  std::atomic<int> level_{0};
  platform::File file_;
  std::wstring prefix_;
  std::wstring path_;
  platform::SystemTime created_;
  std::int64_t size_ = 0;
  std::int64_t maxSize_ = kDefaultMaxFileSize;
};
