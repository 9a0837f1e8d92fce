#include "CatalogueStore.h"

#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>

namespace catalogue {
namespace {

// Finalises a statement when it goes out of scope.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
  void Text(int index, const std::string& text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  std::string Column(int index) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
    return text ? text : "";
  }
};

// The tracks' words are indexed without case or accents; a track's row id
// in the index is its row id in `tracks`.
constexpr char kSchema[] =
    "CREATE TABLE releases(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, title TEXT NOT NULL,"
    " artist TEXT NOT NULL, genre TEXT NOT NULL, year INTEGER NOT NULL, cover TEXT NOT NULL,"
    " original_date TEXT NOT NULL DEFAULT '', release_group TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE tracks(id INTEGER PRIMARY KEY, release INTEGER NOT NULL, medium INTEGER NOT NULL,"
    " number INTEGER NOT NULL, title TEXT NOT NULL, length_ms INTEGER NOT NULL DEFAULT 0,"
    " recording TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX tracks_of_release ON tracks(release, medium, number);"
    "CREATE INDEX tracks_of_recording ON tracks(recording);"
    "CREATE VIRTUAL TABLE track_index USING fts5(artist, title, tokenize = 'unicode61 remove_diacritics 2');"
    "PRAGMA user_version = 2;";
// From version 1: the columns of version 2, empty in every row.
constexpr char kUpgradeFrom1[] =
    "BEGIN;"
    "ALTER TABLE releases ADD COLUMN original_date TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE releases ADD COLUMN release_group TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE tracks ADD COLUMN length_ms INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE tracks ADD COLUMN recording TEXT NOT NULL DEFAULT '';"
    "PRAGMA user_version = 2;"
    "COMMIT;";
static_assert(kSchemaVersion == 2, "the schema text names its version");

bool HasWordCharacter(const std::string& text) {
  for (const unsigned char c : text) {
    if (c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) return true;
  }
  return false;
}

// A reader of a file made before the recording index existed would scan every
// track on each look-up by recording: the index is added once, in its own
// short write, when the file can be written. A file made read-only (by its
// mode, also for root), a busy or a failing one is read without it.
void AddRecordingIndex(sqlite3* reader, const std::string& path) {
  {
    Statement s(reader, "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = 'tracks_of_recording'");
    if (!s.stmt || sqlite3_step(s.stmt) == SQLITE_ROW) return;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::perms mode = fs::status(path, error).permissions();
  const fs::perms anyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  std::string problem;
  if (error || (mode & anyWrite) == fs::perms::none || ::access(path.c_str(), W_OK) != 0) {
    problem = "the file is read-only";
  } else {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      problem = sqlite3_errmsg(db);
    } else if (sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS tracks_of_recording ON tracks(recording)", nullptr,
                            nullptr, nullptr) != SQLITE_OK) {
      problem = sqlite3_errmsg(db);  // "database is locked" when busy: no waiting
    }
    sqlite3_close_v2(db);
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "catalogue %s: no recording index (%s); look-ups by recording scan the file\n",
                 path.c_str(), problem.c_str());
  }
}

}  // namespace

std::string Phrase(const std::string& text) {
  if (!HasWordCharacter(text)) return std::string();
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\0') continue;
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

CatalogueStore::~CatalogueStore() { Close(); }

void CatalogueStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

void CatalogueStore::CloseLocked() {
  // Closing without Commit drops an open group of writes.
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  path_.clear();
}

bool CatalogueStore::OpenReadOnly(const std::string& path) { return OpenLocked(path, false); }
bool CatalogueStore::OpenForWriting(const std::string& path) { return OpenLocked(path, true); }

bool CatalogueStore::OpenLocked(const std::string& path, bool write) {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
  sqlite3* db = nullptr;
  const int flags = (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_FULLMUTEX;
  bool ok = sqlite3_open_v2(path.c_str(), &db, flags, nullptr) == SQLITE_OK;
  if (ok) sqlite3_busy_timeout(db, 2000);
  int version = -1;
  if (ok) {
    // Reading the version is the first read of the file: it fails for a file that is not a database.
    Statement s(db, "PRAGMA user_version");
    ok = s.stmt && sqlite3_step(s.stmt) == SQLITE_ROW;
    if (ok) version = sqlite3_column_int(s.stmt, 0);
  }
  if (ok && version == 0 && write) {
    // A new file (or an empty database): give it the current layout.
    Statement tables(db, "SELECT count(*) FROM sqlite_master");
    ok = tables.stmt && sqlite3_step(tables.stmt) == SQLITE_ROW && sqlite3_column_int(tables.stmt, 0) == 0 &&
         sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) version = kSchemaVersion;
  }
  if (ok && version == 1 && write) {
    ok = sqlite3_exec(db, kUpgradeFrom1, nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) version = kSchemaVersion;
  }
  // Finding a recording's tracks needs its index; a file made before it had
  // none is given one by the next writer (reading without it scans).
  if (ok && version == kSchemaVersion && write) {
    ok = sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS tracks_of_recording ON tracks(recording)", nullptr, nullptr,
                      nullptr) == SQLITE_OK;
  }
  if (ok && version == kSchemaVersion && !write) AddRecordingIndex(db, path);
  if (!ok || (version != kSchemaVersion && !(version == 1 && !write))) {
    sqlite3_close_v2(db);
    return false;
  }
  db_ = db;
  path_ = path;
  return true;
}

bool CatalogueStore::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

std::string CatalogueStore::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

bool CatalogueStore::Begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ && sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CatalogueStore::Commit() {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CatalogueStore::Add(const Release& release) {
  if (release.key.empty() || release.title.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  // One release is all or nothing, also inside a caller's group.
  if (sqlite3_exec(db_, "SAVEPOINT add_release", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  bool ok = true;
  {
    Statement old(db_, "SELECT id FROM releases WHERE key = ?1");
    old.Text(1, release.key);
    if (old.stmt && sqlite3_step(old.stmt) == SQLITE_ROW) {
      const sqlite3_int64 id = sqlite3_column_int64(old.stmt, 0);
      for (const char* sql : {"DELETE FROM track_index WHERE rowid IN (SELECT id FROM tracks WHERE release = ?1)",
                              "DELETE FROM tracks WHERE release = ?1", "DELETE FROM releases WHERE id = ?1"}) {
        Statement drop(db_, sql);
        sqlite3_bind_int64(drop.stmt, 1, id);
        ok = ok && drop.stmt && sqlite3_step(drop.stmt) == SQLITE_DONE;
      }
    }
  }
  sqlite3_int64 releaseId = 0;
  if (ok) {
    Statement add(db_,
                  "INSERT INTO releases(key, title, artist, genre, year, cover, original_date, release_group)"
                  " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    add.Text(1, release.key);
    add.Text(2, release.title);
    add.Text(3, release.artist);
    add.Text(4, release.genre);
    sqlite3_bind_int(add.stmt, 5, release.year);
    add.Text(6, release.coverUrl);
    add.Text(7, release.originalDate);
    add.Text(8, release.releaseGroupId);
    ok = add.stmt && sqlite3_step(add.stmt) == SQLITE_DONE;
    releaseId = sqlite3_last_insert_rowid(db_);
  }
  Statement track(db_,
                  "INSERT INTO tracks(release, medium, number, title, length_ms, recording) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  Statement index(db_, "INSERT INTO track_index(rowid, artist, title) VALUES(?1, ?2, ?3)");
  ok = ok && track.stmt && index.stmt;
  for (const Track& t : release.tracks) {
    if (!ok) break;
    sqlite3_reset(track.stmt);
    sqlite3_bind_int64(track.stmt, 1, releaseId);
    sqlite3_bind_int(track.stmt, 2, t.medium);
    sqlite3_bind_int(track.stmt, 3, t.number);
    track.Text(4, t.title);
    sqlite3_bind_int(track.stmt, 5, t.lengthMs);
    track.Text(6, t.recordingId);
    ok = sqlite3_step(track.stmt) == SQLITE_DONE;
    sqlite3_reset(index.stmt);
    sqlite3_bind_int64(index.stmt, 1, sqlite3_last_insert_rowid(db_));
    index.Text(2, release.artist);
    index.Text(3, t.title);
    ok = ok && sqlite3_step(index.stmt) == SQLITE_DONE;
  }
  if (!ok) sqlite3_exec(db_, "ROLLBACK TO add_release", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "RELEASE add_release", nullptr, nullptr, nullptr);
  return ok;
}

std::vector<Hit> CatalogueStore::SearchLocked(const std::string& match) {
  std::vector<Hit> hits;
  if (!db_) return hits;
  Statement s(db_,
              "SELECT DISTINCT r.key, t.medium, r.title, r.artist FROM track_index"
              " JOIN tracks t ON t.id = track_index.rowid JOIN releases r ON r.id = t.release"
              " WHERE track_index MATCH ?1 ORDER BY r.id, t.medium");
  if (!s.stmt) return hits;
  s.Text(1, match);
  while (sqlite3_step(s.stmt) == SQLITE_ROW) {
    hits.push_back({s.Column(0), sqlite3_column_int(s.stmt, 1), s.Column(2), s.Column(3)});
  }
  return hits;
}

std::vector<Hit> CatalogueStore::FindByTitle(const std::string& artist, const std::string& title) {
  const std::string who = Phrase(artist);
  std::string match;
  // Every word of the title, in any order: "Song (Live)" finds "Song" only when the catalogue has the live one.
  std::istringstream words(title);
  for (std::string word; words >> word;) {
    const std::string phrase = Phrase(word);
    if (!phrase.empty()) match += " AND title : " + phrase;
  }
  if (who.empty() || match.empty()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return SearchLocked("artist : " + who + match);
}

std::vector<Hit> CatalogueStore::FindByArtist(const std::string& artist) {
  const std::string who = Phrase(artist);
  if (who.empty()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  return SearchLocked("artist : " + who);
}

std::vector<Hit> CatalogueStore::FindById(const std::string& releaseKey, const std::string& recordingId) {
  std::vector<Hit> hits;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return hits;
  // The release by its unique key, then the recording by its index (a file
  // of layout 1 has no recordings: the statement does not prepare).
  const struct {
    const std::string& id;
    const char* sql;
  } queries[] = {{releaseKey,
                  "SELECT DISTINCT r.key, t.medium, r.title, r.artist FROM releases r JOIN tracks t ON t.release = r.id"
                  " WHERE r.key = ?1 ORDER BY t.medium"},
                 {recordingId,
                  "SELECT DISTINCT r.key, t.medium, r.title, r.artist FROM tracks t JOIN releases r ON r.id = t.release"
                  " WHERE t.recording = ?1 ORDER BY r.id, t.medium"}};
  for (const auto& query : queries) {
    if (query.id.empty()) continue;
    Statement s(db_, query.sql);
    if (!s.stmt) continue;
    s.Text(1, query.id);
    while (sqlite3_step(s.stmt) == SQLITE_ROW) {
      Hit hit{s.Column(0), sqlite3_column_int(s.stmt, 1), s.Column(2), s.Column(3)};
      const bool seen = std::any_of(hits.begin(), hits.end(),
                                    [&](const Hit& h) { return h.key == hit.key && h.medium == hit.medium; });
      if (!seen) hits.push_back(std::move(hit));
    }
  }
  return hits;
}

bool CatalogueStore::Details(const std::string& key, int medium, Release& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  // Asked each time: an import may bring the file up to date while it is open here.
  bool version1 = false;
  {
    Statement v(db_, "PRAGMA user_version");
    version1 = v.stmt && sqlite3_step(v.stmt) == SQLITE_ROW && sqlite3_column_int(v.stmt, 0) == 1;
  }
  Statement r(db_, version1 ? "SELECT id, title, artist, genre, year, cover, '', '' FROM releases WHERE key = ?1"
                             : "SELECT id, title, artist, genre, year, cover, original_date, release_group FROM releases"
                               " WHERE key = ?1");
  if (!r.stmt) return false;
  r.Text(1, key);
  if (sqlite3_step(r.stmt) != SQLITE_ROW) return false;
  Release release;
  release.key = key;
  release.title = r.Column(1);
  release.artist = r.Column(2);
  release.genre = r.Column(3);
  release.year = sqlite3_column_int(r.stmt, 4);
  release.coverUrl = r.Column(5);
  release.originalDate = r.Column(6);
  release.releaseGroupId = r.Column(7);
  Statement t(db_, version1 ? "SELECT medium, number, title, 0, '' FROM tracks WHERE release = ?1"
                               " AND (?2 = 0 OR medium = ?2) ORDER BY medium, number, id"
                             : "SELECT medium, number, title, length_ms, recording FROM tracks WHERE release = ?1"
                               " AND (?2 = 0 OR medium = ?2) ORDER BY medium, number, id");
  if (!t.stmt) return false;
  sqlite3_bind_int64(t.stmt, 1, sqlite3_column_int64(r.stmt, 0));
  sqlite3_bind_int(t.stmt, 2, medium);
  while (sqlite3_step(t.stmt) == SQLITE_ROW) {
    release.tracks.push_back({sqlite3_column_int(t.stmt, 0), sqlite3_column_int(t.stmt, 1), t.Column(2),
                              sqlite3_column_int(t.stmt, 3), t.Column(4)});
  }
  out = std::move(release);
  return true;
}

std::int64_t CatalogueStore::ReleaseCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return 0;
  Statement s(db_, "SELECT count(*) FROM releases");
  return s.stmt && sqlite3_step(s.stmt) == SQLITE_ROW ? sqlite3_column_int64(s.stmt, 0) : 0;
}

}  // namespace catalogue
