#include "WriteHistory.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>

#include "Text.h"
#include "XdgFolders.h"
#include "meridex/FileName.h"

namespace nimbrel_tag {

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, started INTEGER NOT NULL, command BLOB NOT NULL,"
    " folder BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS files(id INTEGER PRIMARY KEY, run INTEGER NOT NULL, path BLOB NOT NULL,"
    " b_dev INTEGER, b_ino INTEGER, b_size INTEGER, b_mtime INTEGER, b_ctime INTEGER,"
    " a_dev INTEGER, a_ino INTEGER, a_size INTEGER, a_mtime INTEGER, a_ctime INTEGER,"
    " cover INTEGER NOT NULL, undone INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS files_run ON files(run);"
    "CREATE INDEX IF NOT EXISTS files_path ON files(path);"
    "CREATE TABLE IF NOT EXISTS fields(file INTEGER NOT NULL, field TEXT NOT NULL, old BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS fields_file ON fields(file);"
    "CREATE TABLE IF NOT EXISTS pictures(hash TEXT PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS file_pictures(file INTEGER NOT NULL, position INTEGER NOT NULL,"
    " hash TEXT NOT NULL, mime TEXT NOT NULL, type INTEGER NOT NULL, description BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS file_pictures_file ON file_pictures(file);";

const char* const kFileColumns =
    "SELECT id, run, path, b_dev, b_ino, b_size, b_mtime, b_ctime, a_dev, a_ino, a_size, a_mtime, a_ctime, cover "
    "FROM files ";

// Text fields as Meridex lists them.
bool TextField(Field field, Meridex::CTags::Field& out) {
  using F = Meridex::CTags::Field;
  switch (field) {
    case Field::kTitle: out = F::kTitle; return true;
    case Field::kAlbum: out = F::kAlbum; return true;
    case Field::kGenre: out = F::kGenre; return true;
    case Field::kYear: out = F::kYear; return true;
    case Field::kTrack: out = F::kTrackNumber; return true;
    case Field::kComment: out = F::kComment; return true;
    case Field::kCopyright: out = F::kCopyright; return true;
    case Field::kEncodedBy: out = F::kEncodedBy; return true;
    case Field::kOriginalArtist: out = F::kOriginalArtist; return true;
    case Field::kLyrics: out = F::kLyrics; return true;
    case Field::kUrl: out = F::kUrl; return true;
    default: return false;
  }
}

// Values as UTF-8, each ended by a NUL byte.
std::string Encoded(const std::vector<std::wstring>& values) {
  std::string out;
  for (const std::wstring& value : values) out += Utf8(value) + '\0';
  return out;
}

std::vector<std::wstring> Decoded(const std::string& bytes) {
  std::vector<std::wstring> values;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
    values.push_back(plugin_text::Widen(bytes.substr(start, end - start)));
  return values;
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) out += kHex[digest[i] >> 4], out += kHex[digest[i] & 15];
  return out;
}

std::string Column(sqlite3_stmt* statement, int column) {
  const void* data = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
}

void Bind(sqlite3_stmt* statement, int index, const std::string& bytes) {
  sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void BindIdentity(sqlite3_stmt* statement, int first, const FileStamp& identity) {
  sqlite3_bind_int64(statement, first, identity.device);
  sqlite3_bind_int64(statement, first + 1, identity.inode);
  sqlite3_bind_int64(statement, first + 2, identity.size);
  sqlite3_bind_int64(statement, first + 3, identity.modified);
  sqlite3_bind_int64(statement, first + 4, identity.changed);
}

FileStamp IdentityColumns(sqlite3_stmt* statement, int first) {
  FileStamp identity;
  identity.device = sqlite3_column_int64(statement, first);
  identity.inode = sqlite3_column_int64(statement, first + 1);
  identity.size = sqlite3_column_int64(statement, first + 2);
  identity.modified = sqlite3_column_int64(statement, first + 3);
  identity.changed = sqlite3_column_int64(statement, first + 4);
  return identity;
}

// Finalises a statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* s;
  ~Statement() { sqlite3_finalize(s); }
  operator sqlite3_stmt*() const { return s; }
};

}  // namespace

std::string AbsolutePath(const std::string& path) {
  char folder[4096];
  std::string full = !path.empty() && path[0] == '/'         ? path
                     : ::getcwd(folder, sizeof folder) ? std::string(folder) + "/" + path
                                                       : path;
  // "./" and doubled slashes dropped, so that "./music" and "music" name the
  // same files; ".." stays (through a link it is not the parent).
  std::string out;
  for (std::size_t i = 0; i < full.size(); ++i) {
    if (full[i] == '/' && !out.empty() && out.back() == '/') continue;
    if (full[i] == '.' && !out.empty() && out.back() == '/' && (i + 1 == full.size() || full[i + 1] == '/')) {
      ++i;
      continue;
    }
    out += full[i];
  }
  return out;
}

WriteHistory::WriteHistory(std::string path) : path_(std::move(path)) {}

WriteHistory::~WriteHistory() {
  if (db_) sqlite3_close(db_);
}

std::string WriteHistory::DefaultPath() {
  const std::string state = StateFolder();
  return state.empty() ? std::string() : state + "history.sqlite";
}

void WriteHistory::Fail(const char* what) {
  error_ = std::string(what) + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
}

bool WriteHistory::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  Fail("cannot use the history");
  return false;
}

sqlite3_stmt* WriteHistory::Prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) Fail("cannot read the history");
  return statement;
}

bool WriteHistory::Open(std::string& error) {
  if (path_.empty()) return error = "no state folder for the history (HOME is not set)", false;
  const std::string folder = path_.substr(0, path_.rfind('/') + 1);
  if (!MakePrivateFolder(folder)) return error = "cannot create " + folder + ": " + std::strerror(errno), false;
  // Made here so that it is the user's alone (SQLite's own journal files
  // take its permissions), and never through a link.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return error = "cannot open the history " + path_ + ": " + std::strerror(errno), false;
  ::close(fd);
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
    Fail("cannot open the history");
    return error = error_, false;
  }
  sqlite3_busy_timeout(db_, 10000);
  // Pages freed by pruning go back to the system; the write-ahead log lets
  // a history be listed while a run records.
  if (!Exec("PRAGMA auto_vacuum=INCREMENTAL; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
      !Exec(kSchema))
    return error = error_, false;
  return true;
}

bool WriteHistory::BeginRun(const std::string& command, std::string& error) {
  Statement insert{Prepare("INSERT INTO runs(started, command, folder) VALUES(?, ?, ?)")};
  if (!insert.s) return error = error_, false;
  sqlite3_bind_int64(insert, 1, static_cast<std::int64_t>(std::time(nullptr)));
  Bind(insert, 2, command);
  Bind(insert, 3, AbsolutePath("."));
  if (sqlite3_step(insert) != SQLITE_DONE) return Fail("cannot write the history"), error = error_, false;
  run_ = sqlite3_last_insert_rowid(db_);
  return true;
}

PendingWrite WriteHistory::Capture(const std::string& path, const Meridex::CTags& old,
                                   const std::vector<Field>& changed) {
  PendingWrite write;
  write.path = AbsolutePath(path);
  FileStamp::Of(path, write.before);
  for (const Field field : changed) {
    OldField entry{field, {}};
    Meridex::CTags::Field text;
    if (field == Field::kArtist || field == Field::kComposer) {
      const bool artist = field == Field::kArtist;
      const int count = artist ? old.GetArtistCount() : old.GetComposerCount();
      for (int i = 0; i < count; ++i) {
        CString value;
        if (artist ? old.GetArtist(i, value) : old.GetComposer(i, value)) entry.values.push_back(value.str());
      }
    } else if (TextField(field, text)) {
      for (const CString& value : old.GetValues(text)) entry.values.push_back(value.str());
    } else if (field == Field::kCover) {
      write.coverChanged = true;
      for (int i = 0; i < old.GetPictureCount(); ++i) {
        Meridex::CPictureTag picture;
        if (!old.GetPicture(i, picture) || picture.IsEmpty()) continue;
        std::ifstream in(Meridex::FileNameToNative(picture.GetFilePath()), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        OldPicture kept{Sha256(bytes), Utf8(picture.GetMimeType().str()), picture.GetType(),
                        Utf8(picture.GetDescription().str())};
        write.pictures.emplace_back(std::move(kept), std::move(bytes));
      }
      continue;
    }
    write.fields.push_back(std::move(entry));
  }
  return write;
}

bool WriteHistory::Record(const std::vector<std::pair<PendingWrite, FileStamp>>& writes) {
  if (!db_ || !run_ || writes.empty()) return db_ && run_;
  Statement file{Prepare(
      "INSERT INTO files(run, path, b_dev, b_ino, b_size, b_mtime, b_ctime, a_dev, a_ino, a_size, a_mtime, a_ctime,"
      " cover) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)")};
  Statement field{Prepare("INSERT INTO fields(file, field, old) VALUES(?,?,?)")};
  Statement picture{Prepare("INSERT OR IGNORE INTO pictures(hash, data) VALUES(?,?)")};
  Statement filePicture{Prepare(
      "INSERT INTO file_pictures(file, position, hash, mime, type, description) VALUES(?,?,?,?,?,?)")};
  if (!file.s || !field.s || !picture.s || !filePicture.s || !Exec("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (const auto& [write, after] : writes) {
    sqlite3_reset(file);
    sqlite3_bind_int64(file, 1, run_);
    Bind(file, 2, write.path);
    BindIdentity(file, 3, write.before);
    BindIdentity(file, 8, after);
    sqlite3_bind_int(file, 13, write.coverChanged ? 1 : 0);
    ok = ok && sqlite3_step(file) == SQLITE_DONE;
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    for (const OldField& old : write.fields) {
      sqlite3_reset(field);
      sqlite3_bind_int64(field, 1, id);
      sqlite3_bind_text(field, 2, FieldName(old.field), -1, SQLITE_STATIC);
      Bind(field, 3, Encoded(old.values));
      ok = ok && sqlite3_step(field) == SQLITE_DONE;
    }
    int position = 0;
    for (const auto& [kept, bytes] : write.pictures) {
      sqlite3_reset(picture);
      Bind(picture, 1, kept.hash);
      Bind(picture, 2, bytes);
      ok = ok && sqlite3_step(picture) == SQLITE_DONE;
      sqlite3_reset(filePicture);
      sqlite3_bind_int64(filePicture, 1, id);
      sqlite3_bind_int(filePicture, 2, position++);
      Bind(filePicture, 3, kept.hash);
      Bind(filePicture, 4, kept.mime);
      sqlite3_bind_int(filePicture, 5, kept.type);
      Bind(filePicture, 6, kept.description);
      ok = ok && sqlite3_step(filePicture) == SQLITE_DONE;
    }
    if (!ok) break;
  }
  if (!ok) {
    Fail("cannot write the history");
    Exec("ROLLBACK");
    return false;
  }
  recorded_ += static_cast<std::int64_t>(writes.size());
  return Exec("COMMIT");
}

void WriteHistory::EndRun() {
  if (!db_ || !run_ || recorded_ > 0) return;
  Statement remove{Prepare("DELETE FROM runs WHERE id = ?")};
  if (!remove.s) return;
  sqlite3_bind_int64(remove, 1, run_);
  sqlite3_step(remove);
}

std::int64_t WriteHistory::UsedBytes() {
  Statement pages{Prepare("SELECT (SELECT page_count FROM pragma_page_count()) - "
                          "(SELECT freelist_count FROM pragma_freelist_count()), "
                          "(SELECT page_size FROM pragma_page_size())")};
  if (!pages.s || sqlite3_step(pages) != SQLITE_ROW) return 0;
  return sqlite3_column_int64(pages, 0) * sqlite3_column_int64(pages, 1);
}

int WriteHistory::Prune(std::int64_t limitBytes) {
  if (!db_) return 0;
  int removed = 0;
  while (UsedBytes() > limitBytes) {
    Statement oldest{Prepare("SELECT min(id), count(*) FROM runs")};
    if (!oldest.s || sqlite3_step(oldest) != SQLITE_ROW || sqlite3_column_int64(oldest, 1) <= 1) break;
    const std::string id = std::to_string(sqlite3_column_int64(oldest, 0));
    const std::string files = "(SELECT id FROM files WHERE run = " + id + ")";
    const std::string sql = "BEGIN IMMEDIATE; DELETE FROM fields WHERE file IN " + files +
                            "; DELETE FROM file_pictures WHERE file IN " + files + "; DELETE FROM files WHERE run = " +
                            id + "; DELETE FROM runs WHERE id = " + id +
                            "; DELETE FROM pictures WHERE hash NOT IN (SELECT hash FROM file_pictures); COMMIT;";
    if (!Exec(sql.c_str())) {
      Exec("ROLLBACK");
      break;
    }
    ++removed;
  }
  if (removed > 0) Exec("PRAGMA incremental_vacuum; PRAGMA wal_checkpoint(TRUNCATE);");
  return removed;
}

std::vector<HistoryRun> WriteHistory::Runs() {
  std::vector<HistoryRun> runs;
  Statement select{Prepare("SELECT r.id, r.started, r.command, r.folder, count(f.id), coalesce(sum(f.undone), 0) "
                           "FROM runs r LEFT JOIN files f ON f.run = r.id GROUP BY r.id ORDER BY r.id")};
  while (select.s && sqlite3_step(select) == SQLITE_ROW) {
    HistoryRun run;
    run.id = sqlite3_column_int64(select, 0);
    run.started = sqlite3_column_int64(select, 1);
    run.command = Column(select, 2);
    run.folder = Column(select, 3);
    run.files = sqlite3_column_int64(select, 4);
    run.undone = sqlite3_column_int64(select, 5);
    runs.push_back(std::move(run));
  }
  return runs;
}

std::vector<HistoryFile> WriteHistory::Files(sqlite3_stmt* select) {
  std::vector<HistoryFile> files;
  std::map<std::int64_t, std::size_t> index;
  while (sqlite3_step(select) == SQLITE_ROW) {
    HistoryFile file;
    file.id = sqlite3_column_int64(select, 0);
    file.run = sqlite3_column_int64(select, 1);
    file.path = Column(select, 2);
    file.before = IdentityColumns(select, 3);
    file.after = IdentityColumns(select, 8);
    file.coverChanged = sqlite3_column_int(select, 13) != 0;
    index[file.id] = files.size();
    files.push_back(std::move(file));
  }
  if (files.empty()) return files;
  // Their fields and pictures, in one pass each over the rows of these files.
  const std::string ids = "(SELECT value FROM json_each(?))";
  std::string list = "[";
  for (const HistoryFile& file : files) list += (list.size() > 1 ? "," : "") + std::to_string(file.id);
  list += "]";
  Statement fields{Prepare(("SELECT file, field, old FROM fields WHERE file IN " + ids).c_str())};
  Bind(fields, 1, list);
  while (fields.s && sqlite3_step(fields) == SQLITE_ROW) {
    HistoryFile& file = files[index[sqlite3_column_int64(fields, 0)]];
    const std::string name = Column(fields, 1);
    for (const Field field : kAllFields)
      if (name == FieldName(field)) file.fields.push_back(OldField{field, Decoded(Column(fields, 2))});
  }
  Statement pictures{Prepare(
      ("SELECT file, hash, mime, type, description FROM file_pictures WHERE file IN " + ids + " ORDER BY file, position")
          .c_str())};
  Bind(pictures, 1, list);
  while (pictures.s && sqlite3_step(pictures) == SQLITE_ROW) {
    files[index[sqlite3_column_int64(pictures, 0)]].pictures.push_back(
        OldPicture{Column(pictures, 1), Column(pictures, 2), sqlite3_column_int(pictures, 3), Column(pictures, 4)});
  }
  return files;
}

std::vector<HistoryFile> WriteHistory::FilesOfRun(std::int64_t run) {
  Statement select{Prepare((std::string(kFileColumns) + "WHERE run = ? AND undone = 0 ORDER BY id").c_str())};
  if (!select.s) return {};
  sqlite3_bind_int64(select, 1, run);
  return Files(select);
}

std::vector<HistoryFile> WriteHistory::LatestUnder(const std::string& path) {
  std::string folder = path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string prefix = folder + "/";
  Statement select{Prepare((std::string(kFileColumns) +
                            "WHERE id IN (SELECT max(id) FROM files WHERE undone = 0 AND "
                            "(path = ?1 OR substr(path, 1, ?2) = ?3) GROUP BY path) ORDER BY path")
                               .c_str())};
  if (!select.s) return {};
  Bind(select, 1, folder);
  sqlite3_bind_int(select, 2, static_cast<int>(prefix.size()));
  Bind(select, 3, prefix);
  return Files(select);
}

bool WriteHistory::PictureBytes(const std::string& hash, std::string& bytes) {
  Statement select{Prepare("SELECT data FROM pictures WHERE hash = ?")};
  if (!select.s) return false;
  Bind(select, 1, hash);
  if (sqlite3_step(select) != SQLITE_ROW) return false;
  bytes = Column(select, 0);
  return true;
}

bool WriteHistory::RestoreInto(Meridex::CTags& tags, const HistoryFile& file, const std::string& pictureFolder,
                               std::string& error) {
  for (const OldField& old : file.fields) {
    Meridex::CTags::Field text;
    if (old.field == Field::kArtist || old.field == Field::kComposer) {
      const bool artist = old.field == Field::kArtist;
      artist ? tags.RemoveAllArtists() : tags.RemoveAllComposers();
      for (const std::wstring& value : old.values)
        artist ? tags.AddArtist(CString(value), false) : tags.AddComposer(CString(value), false);
    } else if (TextField(old.field, text)) {
      std::vector<CString> values;
      for (const std::wstring& value : old.values) values.emplace_back(value);
      tags.SetValues(text, values);
    }
  }
  if (!file.coverChanged) return true;
  tags.RemoveAllPictures();
  for (const OldPicture& picture : file.pictures) {
    const std::string path = pictureFolder + picture.hash;
    if (::access(path.c_str(), F_OK) != 0) {
      std::string bytes;
      if (!PictureBytes(picture.hash, bytes)) return error = "its old picture is missing from the history", false;
      std::ofstream out(path, std::ios::binary);
      out << bytes;
      if (!out.flush()) return error = "cannot write " + path, false;
    }
    tags.AddPicture(Meridex::CPictureTag(Meridex::FileNameFromNative(path), CString(plugin_text::Widen(picture.mime)),
                                         picture.type, CString(plugin_text::Widen(picture.description)), false));
  }
  return true;
}

bool WriteHistory::MarkUndone(const std::vector<std::pair<const HistoryFile*, FileStamp>>& files) {
  if (files.empty()) return true;
  Statement mark{Prepare("UPDATE files SET undone = 1 WHERE id = ?")};
  // The change before, if its result is what the undone change found: its
  // result is now the file as the undo left it.
  Statement earlier{Prepare(
      "UPDATE files SET a_dev = ?, a_ino = ?, a_size = ?, a_mtime = ?, a_ctime = ? WHERE id = (SELECT max(id) FROM "
      "files WHERE path = ? AND id < ? AND undone = 0) AND a_dev = ? AND a_ino = ? AND a_size = ? AND a_mtime = ? "
      "AND a_ctime = ?")};
  if (!mark.s || !earlier.s || !Exec("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (const auto& [file, now] : files) {
    sqlite3_reset(mark);
    sqlite3_bind_int64(mark, 1, file->id);
    ok = ok && sqlite3_step(mark) == SQLITE_DONE;
    sqlite3_reset(earlier);
    BindIdentity(earlier, 1, now);
    Bind(earlier, 6, file->path);
    sqlite3_bind_int64(earlier, 7, file->id);
    BindIdentity(earlier, 8, file->before);
    ok = ok && sqlite3_step(earlier) == SQLITE_DONE;
  }
  if (!ok) {
    Fail("cannot write the history");
    Exec("ROLLBACK");
    return false;
  }
  return Exec("COMMIT");
}

}  // namespace nimbrel_tag
