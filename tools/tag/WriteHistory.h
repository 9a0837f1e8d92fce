// The history of what nimbrel-tag wrote, so that a run can be taken back.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FileStamp.h"
#include "TagFields.h"
#include "meridex/Tags.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nimbrel_tag {

// A picture a file held before a run replaced its pictures; its bytes are
// kept once per content (SHA-256), however many files held it.
struct OldPicture {
  std::string hash;
  std::string mime;
  int type = 0;
  std::string description;
};

// A field's values before a run changed it (several for artists,
// composers and list fields; none when the field was absent). The cover's
// old pictures are kept with the file instead.
struct OldField {
  Field field;
  std::vector<std::wstring> values;
};

// One file as a run is about to write it: captured while the file still
// holds its old pictures.
struct PendingWrite {
  std::string path;  // absolute
  FileStamp before;
  std::vector<OldField> fields;
  std::vector<std::pair<OldPicture, std::string>> pictures;  // with their bytes
  bool coverChanged = false;
};

struct HistoryRun {
  std::int64_t id = 0;
  std::int64_t started = 0;  // seconds since 1970
  std::string command;
  std::string folder;  // the working folder
  std::int64_t files = 0;
  std::int64_t undone = 0;
};

struct HistoryFile {
  std::int64_t id = 0;
  std::int64_t run = 0;
  std::string path;
  FileStamp before, after;
  std::vector<OldField> fields;
  std::vector<OldPicture> pictures;
  bool coverChanged = false;
};

// An SQLite database in the user's state folder ("history.sqlite", 0600 in
// a 0700 folder): runs (time, command line, working folder), the files each
// wrote with their identity before and after, the old values of every field
// it changed and the pictures it replaced. Recording takes one transaction
// per group of files, so keeping the history costs little beside writing
// the files. Several processes may use it at once (SQLite's locking).
class WriteHistory {
 public:
  explicit WriteHistory(std::string path);
  ~WriteHistory();
  WriteHistory(const WriteHistory&) = delete;
  WriteHistory& operator=(const WriteHistory&) = delete;

  // "history.sqlite" in the state folder; empty without one.
  static std::string DefaultPath();
  // Opens or creates the database. False with `error` when it cannot be used.
  bool Open(std::string& error);
  const std::string& Path() const { return path_; }

  // Starts recording a run of `command` in the working folder.
  bool BeginRun(const std::string& command, std::string& error);
  // The old values of the `changed` fields of `old` (the file as it was
  // read from `path`), the bytes of its pictures when the cover changed.
  // Call before the file is replaced.
  static PendingWrite Capture(const std::string& path, const Meridex::CTags& old, const std::vector<Field>& changed);
  // Records files the run wrote, each with its identity after the write,
  // in one transaction. False when that failed (said by LastError).
  bool Record(const std::vector<std::pair<PendingWrite, FileStamp>>& writes);
  // Ends the run; a run that wrote nothing leaves no trace.
  void EndRun();
  // Removes the oldest runs (and pictures no run needs any more) until the
  // history takes at most `limitBytes`; the newest run always stays.
  // Returns how many runs were removed.
  int Prune(std::int64_t limitBytes);
  // Bytes the history's data takes (free pages aside).
  std::int64_t UsedBytes();

  std::vector<HistoryRun> Runs();
  // The files of `run` not undone yet.
  std::vector<HistoryFile> FilesOfRun(std::int64_t run);
  // For each file at `path` or below it (a folder), its latest change not
  // undone yet.
  std::vector<HistoryFile> LatestUnder(const std::string& path);
  bool PictureBytes(const std::string& hash, std::string& bytes);
  // Puts the old values of `file` back into `tags` (the file as it is now).
  // Old pictures are written into `pictureFolder` (one file per content)
  // for Meridex to take from there. False with `error` when a picture is
  // missing from the history.
  bool RestoreInto(Meridex::CTags& tags, const HistoryFile& file, const std::string& pictureFolder,
                   std::string& error);
  // Marks files undone, each now of the identity given; an earlier change of
  // the same file whose result the undone change had found becomes undoable
  // with that identity. One transaction.
  bool MarkUndone(const std::vector<std::pair<const HistoryFile*, FileStamp>>& files);

  const std::string& LastError() const { return error_; }

 private:
  bool Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  std::vector<HistoryFile> Files(sqlite3_stmt* statement);
  void Fail(const char* what);

  std::string path_;
  sqlite3* db_ = nullptr;
  std::int64_t run_ = 0;
  std::int64_t recorded_ = 0;
  std::string error_;
};

// `path` made absolute against the working folder, without "." parts or
// doubled slashes (not resolved otherwise: the name the user gave stays).
std::string AbsolutePath(const std::string& path);

}  // namespace nimbrel_tag
