#include "server/SqliteTagStore.h"

#include <sqlite3.h>

#include <vector>

#include "server/TagRules.h"

namespace cache_server {

namespace {

// Each entry brings the schema from version i to i + 1; entries are only ever
// appended, so that every older file can be brought up to date.
const char* const kMigrations[] = {
    // 1: songs, the records filled in per source, the failures reported, and
    // the per-status request counts.
    R"sql(
    CREATE TABLE songs(
      id INTEGER PRIMARY KEY,
      artist_key TEXT NOT NULL,
      title_key TEXT NOT NULL,
      searching_until INTEGER NOT NULL DEFAULT 0,
      skip_until INTEGER NOT NULL DEFAULT 0,
      UNIQUE(artist_key, title_key));
    CREATE TABLE records(
      song_id INTEGER NOT NULL REFERENCES songs(id),
      source TEXT NOT NULL,
      tags_hash INTEGER NOT NULL,
      artist TEXT NOT NULL, title TEXT NOT NULL, album TEXT NOT NULL, genre TEXT NOT NULL,
      year INTEGER NOT NULL, tracknr INTEGER NOT NULL, coverurl TEXT NOT NULL,
      cover_bytes INTEGER NOT NULL, cover_x INTEGER NOT NULL, cover_y INTEGER NOT NULL,
      first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, fills INTEGER NOT NULL,
      PRIMARY KEY(song_id, source, tags_hash)) WITHOUT ROWID;
    CREATE TABLE source_failures(
      song_id INTEGER NOT NULL REFERENCES songs(id),
      source TEXT NOT NULL,
      count INTEGER NOT NULL,
      last_seen INTEGER NOT NULL,
      PRIMARY KEY(song_id, source)) WITHOUT ROWID;
    CREATE TABLE client_failures(
      song_id INTEGER NOT NULL REFERENCES songs(id),
      client TEXT NOT NULL,
      last_seen INTEGER NOT NULL,
      PRIMARY KEY(song_id, client)) WITHOUT ROWID;
    CREATE TABLE request_counts(status INTEGER PRIMARY KEY, count INTEGER NOT NULL);
    )sql",
    // 2: votes, one per client address and tags of a song, counted per tags
    // for the look-up's index; records found by their tags. Records kept
    // from before count as one vote of an unknown client. The song keys are
    // then folded anew (RefoldKeys).
    R"sql(
    CREATE TABLE votes(
      song_id INTEGER NOT NULL REFERENCES songs(id),
      tags_hash INTEGER NOT NULL,
      client TEXT NOT NULL,
      PRIMARY KEY(song_id, tags_hash, client)) WITHOUT ROWID;
    CREATE TABLE tag_votes(
      song_id INTEGER NOT NULL REFERENCES songs(id),
      tags_hash INTEGER NOT NULL,
      voters INTEGER NOT NULL,
      last_seen INTEGER NOT NULL,
      PRIMARY KEY(song_id, tags_hash)) WITHOUT ROWID;
    CREATE INDEX tag_votes_rank ON tag_votes(song_id, voters, last_seen);
    CREATE INDEX records_by_tags ON records(song_id, tags_hash, fills, last_seen);
    INSERT INTO votes(song_id, tags_hash, client) SELECT DISTINCT song_id, tags_hash, '' FROM records;
    INSERT INTO tag_votes(song_id, tags_hash, voters, last_seen)
      SELECT song_id, tags_hash, 1, max(last_seen) FROM records GROUP BY song_id, tags_hash;
    )sql",
    // 3: the records' optional fields, as the look-up answer's lines (none
    // for the records kept from before).
    R"sql(
    ALTER TABLE records ADD COLUMN fields TEXT NOT NULL DEFAULT '';
    )sql",
};

// The cache's own tables: a file holding any other is not the cache's.
const char* const kTables[] = {"songs",           "records",        "source_failures", "client_failures",
                               "request_counts",  "votes",          "tag_votes"};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == SqliteTagStore::kSchemaVersion);

const char* const kFindSong =
    "SELECT id, searching_until, skip_until FROM songs WHERE artist_key=?1 AND title_key=?2";
// The tags most clients voted for (ties: the latest), then of those the
// record of the source with most fills (ties: the latest): two index probes.
const char* const kBestTags =
    "SELECT tags_hash FROM tag_votes WHERE song_id=?1 ORDER BY voters DESC, last_seen DESC LIMIT 1";
const char* const kBestRecord =
    "SELECT source, artist, title, album, genre, year, tracknr, coverurl, cover_bytes, cover_x, cover_y, fields"
    " FROM records WHERE song_id=?1 AND tags_hash=?2 ORDER BY fills DESC, last_seen DESC LIMIT 1";
const char* const kFailedSources = "SELECT source FROM source_failures WHERE song_id=?1 ORDER BY count DESC, source";

// Whether a failure is one of a full disk (or of a file it cannot grow).
bool NoSpace(int code) { return code == SQLITE_FULL || code == SQLITE_IOERR; }

void ReadRecord(const SqliteStatement& q, int first, TagRecord& r) {
  r.source = q.Text(first);
  r.artist = q.Text(first + 1);
  r.title = q.Text(first + 2);
  r.album = q.Text(first + 3);
  r.genre = q.Text(first + 4);
  r.year = static_cast<std::int32_t>(q.Int(first + 5));
  r.trackNumber = static_cast<std::int32_t>(q.Int(first + 6));
  r.coverUrl = q.Text(first + 7);
  r.coverBytes = static_cast<std::int32_t>(q.Int(first + 8));
  r.coverWidth = static_cast<std::int32_t>(q.Int(first + 9));
  r.coverHeight = static_cast<std::int32_t>(q.Int(first + 10));
  // Only this server writes the column, after checking every value.
  std::string ignored;
  if (!ReadRecordFieldLines(q.Text(first + 11), r.fields, ignored)) r.fields = nimbrel::RecordFieldValues();
}

}  // namespace

// FNV-1a over each tag with its length in front.
std::int64_t TagsHash(const TagRecord& r) {
  std::uint64_t hash = 14695981039346656037ULL;
  auto add = [&hash](std::string_view bytes) {
    const std::string length = std::to_string(bytes.size()) + ":";
    for (const char c : length) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  };
  add(r.artist);
  add(r.title);
  add(r.album);
  add(r.genre);
  add(r.coverUrl);
  add(std::to_string(r.year));
  add(std::to_string(r.trackNumber));
  return static_cast<std::int64_t>(hash);
}

bool TagRecord::SameTags(const TagRecord& o) const {
  return artist == o.artist && title == o.title && album == o.album && genre == o.genre && coverUrl == o.coverUrl &&
         year == o.year && trackNumber == o.trackNumber;
}

struct SqliteTagStore::Statements {
  SqliteStatement begin, commit, rollback;
  SqliteStatement findSong, insertSong, setSearching, startSearch, extendSkip;
  SqliteStatement upsertRecord, hasRecord, insertVote, countVote;
  SqliteStatement upsertSourceFailure, upsertClientFailure, countClients;
  SqliteStatement addCount;
};

// A connection of its own for look-ups, with its statements.
struct SqliteTagStore::Reader {
  SqliteDatabase db;
  SqliteStatement findSong, bestTags, bestRecord, failedSources;
};

// A reader borrowed from the idle ones (or opened) and handed back.
class SqliteTagStore::ReaderLease {
 public:
  ReaderLease(SqliteTagStore& store, std::string& error) : store_(store) {
    {
      std::lock_guard<std::mutex> lock(store.readersMutex_);
      if (!store.idleReaders_.empty()) {
        reader_ = std::move(store.idleReaders_.back());
        store.idleReaders_.pop_back();
      }
    }
    if (!reader_ && !store.oneConnection_) reader_ = store.OpenReader(error);
  }
  ~ReaderLease() {
    if (!reader_) return;
    std::lock_guard<std::mutex> lock(store_.readersMutex_);
    store_.idleReaders_.push_back(std::move(reader_));
  }
  Reader* get() const { return reader_.get(); }

 private:
  SqliteTagStore& store_;
  std::unique_ptr<Reader> reader_;
};

SqliteTagStore::SqliteTagStore(CachePolicy policy) : policy_(policy) {}

SqliteTagStore::~SqliteTagStore() {
  idleReaders_.clear();
  memoryReader_.reset();
  statements_.reset();
}

bool SqliteTagStore::Open(const std::string& path, std::string& error, Mode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  readOnly_ = mode == Mode::kReadOnly;
  std::string why;
  bool full = false;
  if (readOnly_ ? OpenReadable(false, why) : OpenWritable(why, full)) return true;
  if (full) {
    // The disk is full: what is there is served, read-only, the log's index
    // kept in memory rather than in a -shm file that could not grow.
    readOnly_ = true;
    startedFull_ = true;
    statements_.reset();
    db_.Close();
    if (OpenReadable(true, why)) return true;
  }
  const bool damaged = db_.LastErrorCode() == SQLITE_CORRUPT && why.find("damaged") == std::string::npos;
  error = path + ": " + (damaged ? "the database is damaged: " : "") + why;
  statements_.reset();
  return false;
}

bool SqliteTagStore::OpenWritable(std::string& error, bool& full) {
  const auto failed = [&] {
    full = NoSpace(db_.LastErrorCode());
    return false;
  };
  if (!db_.Open(path_, error, Mode::kReadWrite)) return false;
  // WAL: look-ups read while a fill writes; NORMAL: commits reach the file
  // system at once (safe when the process dies), the disk at checkpoints.
  // Checkpoints every 256 pages (1 MiB) and a log cut back to 4 MiB after
  // them keep the log small. A 64 MiB page cache and the file mapped into
  // memory: look-ups of random songs then cost no read calls.
  if (!db_.Execute("PRAGMA cache_size=-65536; PRAGMA mmap_size=1073741824;", error) || !CheckTables(error) ||
      !db_.Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;"
                   " PRAGMA wal_autocheckpoint=256; PRAGMA journal_size_limit=4194304;",
                   error) ||
      !Migrate(error)) {
    return failed();
  }
  std::string problems;
  if (!QuickCheck(db_, problems, error)) return failed();
  if (problems != "ok") {
    error = "the database is damaged: " + problems;
    return false;
  }
  return PrepareStatements(error) || failed();
}

bool SqliteTagStore::OpenReadable(bool oneConnection, std::string& error) {
  // One connection in exclusive locking mode keeps the log's index in its
  // own memory; it must be able to open the log file (SQLite does not let a
  // read-only connection make it), and this store then writes nothing.
  if (!db_.Open(path_, error, oneConnection ? Mode::kReadWrite : Mode::kReadOnly)) return false;
  if (oneConnection && !db_.Execute("PRAGMA locking_mode=EXCLUSIVE", error)) return false;
  if (!db_.Execute("PRAGMA cache_size=-65536; PRAGMA mmap_size=1073741824;", error) || !CheckTables(error)) {
    return false;
  }
  SqliteStatement version;
  if (!version.Prepare(db_.handle(), "PRAGMA user_version", error)) return false;
  const std::int64_t current = version.Step() ? version.Int(0) : -1;
  if (current != kSchemaVersion) {
    error = current > kSchemaVersion
                ? "schema version " + std::to_string(current) + " is newer than this server's (" +
                      std::to_string(kSchemaVersion) + ")"
                : "schema version " + std::to_string(current) +
                      " is older than this server's: serve it once to bring it up to date";
    return false;
  }
  // A damaged file may still be exported: Stats tells.
  if (!oneConnection) return true;
  oneConnection_ = true;
  memoryReader_ = std::make_unique<Reader>();
  return PrepareReader(*memoryReader_, db_.handle(), error);
}

bool SqliteTagStore::CheckTables(std::string& error) {
  SqliteStatement tables;
  if (!tables.Prepare(db_.handle(),
                      "SELECT name FROM sqlite_schema WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite\\_%'"
                      " ESCAPE '\\' ORDER BY name",
                      error)) {
    return false;
  }
  std::string foreign;
  while (tables.Step()) {
    const std::string name = tables.Text(0);
    bool ours = false;
    for (const char* table : kTables) ours = ours || name == table;
    if (!ours) foreign += (foreign.empty() ? "" : ", ") + name;
  }
  if (!tables.Ok()) {
    error = tables.LastError();
    return false;
  }
  if (!foreign.empty()) {
    error = "not a tag cache: it holds other tables (" + foreign + ")";
    return false;
  }
  return true;
}

bool SqliteTagStore::QuickCheck(SqliteDatabase& db, std::string& result, std::string& error) {
  SqliteStatement check;
  if (!check.Prepare(db.handle(), "PRAGMA quick_check(10)", error)) return false;
  result.clear();
  while (check.Step()) result += (result.empty() ? "" : "; ") + check.Text(0);
  if (check.Ok()) return true;
  // Damage that stops the check itself is its finding.
  if (check.LastErrorCode() == SQLITE_CORRUPT) {
    result += (result.empty() ? "" : "; ") + check.LastError();
    return true;
  }
  error = check.LastError();
  return false;
}

bool SqliteTagStore::Migrate(std::string& error) {
  if (!db_.Execute("BEGIN IMMEDIATE", error)) return false;
  SqliteStatement version;
  if (!version.Prepare(db_.handle(), "PRAGMA user_version", error)) return false;
  const std::int64_t current = version.Step() ? version.Int(0) : -1;
  version.Reset();
  bool ok = current >= 0;
  if (!ok) error = "cannot read the schema version";
  if (ok && current > kSchemaVersion) {
    error = "schema version " + std::to_string(current) + " is newer than this server's (" +
            std::to_string(kSchemaVersion) + ")";
    ok = false;
  }
  for (std::int64_t v = current; ok && v < kSchemaVersion; ++v) {
    ok = db_.Execute(kMigrations[v], error) && (v + 1 != 2 || RefoldKeys(error)) &&
         db_.Execute("PRAGMA user_version=" + std::to_string(v + 1), error);
  }
  std::string ignored;
  if (!ok) {
    db_.Execute("ROLLBACK", ignored);
    return false;
  }
  return db_.Execute("COMMIT", error);
}

// Keys written before version 2 were folded character by character (simple
// case folding, white space trimmed): folding them again the current way
// gives the key that their song's texts fold to now (see SongKey.h). Songs
// whose keys meet are merged: fills and failure counts add up, votes unite,
// skip and search periods keep the later end.
bool SqliteTagStore::RefoldKeys(std::string& error) {
  struct Moved {
    std::int64_t id;
    SongKey key;
  };
  std::vector<Moved> moved;
  {
    SqliteStatement all;
    if (!all.Prepare(db_.handle(), "SELECT id, artist_key, title_key FROM songs ORDER BY id", error)) return false;
    while (all.Step()) {
      const std::string artist = all.Text(1), title = all.Text(2);
      SongKey key = MakeSongKey(artist, title);
      if (key.artist != artist || key.title != title) moved.push_back(Moved{all.Int(0), std::move(key)});
    }
    if (!all.Ok()) {
      error = all.LastError();
      return false;
    }
  }
  SqliteStatement find, rename;
  if (!find.Prepare(db_.handle(), "SELECT id FROM songs WHERE artist_key=?1 AND title_key=?2", error) ||
      !rename.Prepare(db_.handle(), "UPDATE songs SET artist_key=?2, title_key=?3 WHERE id=?1", error)) {
    return false;
  }
  for (const Moved& m : moved) {
    find.Bind(1, m.key.artist);
    find.Bind(2, m.key.title);
    const std::int64_t into = find.Step() ? find.Int(0) : 0;
    find.Reset();
    if (into != 0) {
      if (!MergeSong(m.id, into, error)) return false;
      continue;
    }
    rename.Bind(1, m.id);
    rename.Bind(2, m.key.artist);
    rename.Bind(3, m.key.title);
    if (!rename.Run(error)) return false;
  }
  return true;
}

bool SqliteTagStore::MergeSong(std::int64_t from, std::int64_t into, std::string& error) {
  const std::string f = std::to_string(from), t = std::to_string(into);
  return db_.Execute(
      "INSERT INTO records SELECT " + t +
          ", source, tags_hash, artist, title, album, genre, year, tracknr, coverurl, cover_bytes, cover_x, cover_y,"
          " first_seen, last_seen, fills FROM records WHERE song_id=" + f +
          " ON CONFLICT(song_id, source, tags_hash) DO UPDATE SET fills=fills+excluded.fills,"
          " first_seen=min(first_seen, excluded.first_seen), last_seen=max(last_seen, excluded.last_seen);"
          "INSERT INTO source_failures SELECT " + t + ", source, count, last_seen FROM source_failures WHERE song_id=" +
          f +
          " ON CONFLICT(song_id, source) DO UPDATE SET count=count+excluded.count,"
          " last_seen=max(last_seen, excluded.last_seen);"
          "INSERT INTO client_failures SELECT " + t + ", client, last_seen FROM client_failures WHERE song_id=" + f +
          " ON CONFLICT(song_id, client) DO UPDATE SET last_seen=max(last_seen, excluded.last_seen);"
          "INSERT INTO votes SELECT " + t + ", tags_hash, client FROM votes WHERE song_id=" + f +
          " ON CONFLICT DO NOTHING;"
          "DELETE FROM tag_votes WHERE song_id IN (" + f + ", " + t + ");"
          "INSERT INTO tag_votes SELECT " + t + ", v.tags_hash, count(*),"
          " (SELECT max(r.last_seen) FROM records r WHERE r.song_id=" + t + " AND r.tags_hash=v.tags_hash)"
          " FROM votes v WHERE v.song_id=" + t + " GROUP BY v.tags_hash;"
          "UPDATE songs SET skip_until=max(skip_until, (SELECT skip_until FROM songs WHERE id=" + f + ")),"
          " searching_until=max(searching_until, (SELECT searching_until FROM songs WHERE id=" + f + "))"
          " WHERE id=" + t + ";"
          "DELETE FROM records WHERE song_id=" + f + "; DELETE FROM source_failures WHERE song_id=" + f +
          "; DELETE FROM client_failures WHERE song_id=" + f + "; DELETE FROM votes WHERE song_id=" + f +
          "; DELETE FROM songs WHERE id=" + f + ";",
      error);
}

std::unique_ptr<SqliteTagStore::Reader> SqliteTagStore::OpenReader(std::string& error) {
  auto reader = std::make_unique<Reader>();
  Reader& r = *reader;
  if (!r.db.Open(path_, error, Mode::kReadOnly) ||
      !r.db.Execute("PRAGMA cache_size=-8192; PRAGMA mmap_size=1073741824;", error) ||
      !PrepareReader(r, r.db.handle(), error)) {
    return nullptr;
  }
  return reader;
}

bool SqliteTagStore::PrepareReader(Reader& r, sqlite3* handle, std::string& error) {
  return r.findSong.Prepare(handle, kFindSong, error) && r.bestTags.Prepare(handle, kBestTags, error) &&
         r.bestRecord.Prepare(handle, kBestRecord, error) && r.failedSources.Prepare(handle, kFailedSources, error);
}

bool SqliteTagStore::PrepareStatements(std::string& error) {
  statements_ = std::make_unique<Statements>();
  Statements& s = *statements_;
  sqlite3* h = db_.handle();
  oneConnection_ = path_.empty() || path_ == ":memory:" || path_.rfind("file::memory:", 0) == 0;
  if (oneConnection_) {
    memoryReader_ = std::make_unique<Reader>();
    if (!PrepareReader(*memoryReader_, h, error)) return false;
  }
  return s.begin.Prepare(h, "BEGIN IMMEDIATE", error) && s.commit.Prepare(h, "COMMIT", error) &&
         s.rollback.Prepare(h, "ROLLBACK", error) && s.findSong.Prepare(h, kFindSong, error) &&
         s.insertSong.Prepare(h, "INSERT INTO songs(artist_key, title_key) VALUES(?1, ?2)", error) &&
         s.setSearching.Prepare(h, "UPDATE songs SET searching_until=?2 WHERE id=?1", error) &&
         // Only when nobody else began a search (nor a skip) since the look-up read.
         s.startSearch.Prepare(h,
                               "UPDATE songs SET searching_until=?3 WHERE id=?1 AND searching_until<=?2"
                               " AND skip_until<=?2",
                               error) &&
         s.extendSkip.Prepare(h, "UPDATE songs SET skip_until=max(skip_until, ?2) WHERE id=?1", error) &&
         s.upsertRecord.Prepare(
             h,
             "INSERT INTO records(song_id, source, tags_hash, artist, title, album, genre, year, tracknr, coverurl,"
             " cover_bytes, cover_x, cover_y, first_seen, last_seen, fills, fields)"
             " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)"
             " ON CONFLICT(song_id, source, tags_hash) DO UPDATE SET fills=fills+excluded.fills,"
             " first_seen=min(first_seen, excluded.first_seen), last_seen=max(last_seen, excluded.last_seen),"
             " cover_bytes=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_bytes ELSE cover_bytes END,"
             " cover_x=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_x ELSE cover_x END,"
             " cover_y=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_y ELSE cover_y END,"
             // A fill without optional fields leaves those kept.
             " fields=CASE WHEN excluded.fields<>'' AND (fields='' OR excluded.last_seen>=last_seen)"
             " THEN excluded.fields ELSE fields END",
             error) &&
         s.hasRecord.Prepare(h, "SELECT 1 FROM records WHERE song_id=?1 LIMIT 1", error) &&
         s.insertVote.Prepare(h, "INSERT INTO votes(song_id, tags_hash, client) VALUES(?1, ?2, ?3) ON CONFLICT DO NOTHING",
                              error) &&
         s.countVote.Prepare(h,
                             "INSERT INTO tag_votes(song_id, tags_hash, voters, last_seen) VALUES(?1, ?2, ?3, ?4)"
                             " ON CONFLICT(song_id, tags_hash) DO UPDATE SET voters=voters+excluded.voters,"
                             " last_seen=max(last_seen, excluded.last_seen)",
                             error) &&
         s.upsertSourceFailure.Prepare(h,
                                       "INSERT INTO source_failures(song_id, source, count, last_seen)"
                                       " VALUES(?1, ?2, ?3, ?4) ON CONFLICT(song_id, source) DO UPDATE SET"
                                       " count=count+excluded.count, last_seen=max(last_seen, excluded.last_seen)",
                                       error) &&
         s.upsertClientFailure.Prepare(h,
                                       "INSERT INTO client_failures(song_id, client, last_seen) VALUES(?1, ?2, ?3)"
                                       " ON CONFLICT(song_id, client) DO UPDATE SET"
                                       " last_seen=max(last_seen, excluded.last_seen)",
                                       error) &&
         s.countClients.Prepare(h, "SELECT count(*) FROM client_failures WHERE song_id=?1 AND last_seen>=?2",
                                error) &&
         s.addCount.Prepare(h,
                            "INSERT INTO request_counts(status, count) VALUES(?1, ?2)"
                            " ON CONFLICT(status) DO UPDATE SET count=count+excluded.count",
                            error);
}

bool SqliteTagStore::InTransaction(const std::function<bool(std::string&)>& body, std::string& error) {
  if (readOnly_) {
    error = std::string(kNoSpaceError) + ": the store is read-only";
    return false;
  }
  if (!statements_) {
    error = "store not open";
    return false;
  }
  Statements& s = *statements_;
  if (s.begin.Run(error) && body(error) && s.commit.Run(error)) return true;
  const bool full = NoSpace(db_.LastErrorCode());
  std::string ignored;
  if (!sqlite3_get_autocommit(db_.handle())) s.rollback.Run(ignored);
  if (full) error = std::string(kNoSpaceError) + ": " + error;
  return false;
}

std::int64_t SqliteTagStore::SongId(const SongKey& key, bool create, std::string& error) {
  Statements& s = *statements_;
  s.findSong.Bind(1, key.artist);
  s.findSong.Bind(2, key.title);
  std::int64_t id = s.findSong.Step() ? s.findSong.Int(0) : 0;
  const bool ok = s.findSong.Ok();
  if (!ok) error = s.findSong.LastError();
  s.findSong.Reset();
  if (id != 0 || !create || !ok) return id;
  s.insertSong.Bind(1, key.artist);
  s.insertSong.Bind(2, key.title);
  if (!s.insertSong.Run(error)) return 0;
  return sqlite3_last_insert_rowid(db_.handle());
}

bool SqliteTagStore::AddRecord(std::int64_t songId, const StoredRecord& stored, std::string& error) {
  SqliteStatement& u = statements_->upsertRecord;
  const TagRecord& r = stored.record;
  u.Bind(1, songId);
  u.Bind(2, r.source);
  u.Bind(3, TagsHash(r));
  u.Bind(4, r.artist);
  u.Bind(5, r.title);
  u.Bind(6, r.album);
  u.Bind(7, r.genre);
  u.Bind(8, std::int64_t{r.year});
  u.Bind(9, std::int64_t{r.trackNumber});
  u.Bind(10, r.coverUrl);
  u.Bind(11, std::int64_t{r.coverBytes});
  u.Bind(12, std::int64_t{r.coverWidth});
  u.Bind(13, std::int64_t{r.coverHeight});
  u.Bind(14, stored.firstSeen);
  u.Bind(15, stored.lastSeen);
  u.Bind(16, stored.fills);
  u.Bind(17, RecordFieldLines(r.fields));
  return u.Run(error);
}

bool SqliteTagStore::AddVote(std::int64_t songId, std::int64_t tagsHash, const std::string& client, std::int64_t at,
                             std::string& error) {
  Statements& s = *statements_;
  s.insertVote.Bind(1, songId);
  s.insertVote.Bind(2, tagsHash);
  s.insertVote.Bind(3, client);
  if (!s.insertVote.Run(error)) return false;
  // A client's second fill of the same tags only makes them more recent.
  s.countVote.Bind(1, songId);
  s.countVote.Bind(2, tagsHash);
  s.countVote.Bind(3, db_.Changes());
  s.countVote.Bind(4, at);
  return s.countVote.Run(error);
}

bool SqliteTagStore::AddSourceFailure(std::int64_t songId, const std::string& source, std::int64_t count,
                                      std::int64_t at, std::string& error) {
  SqliteStatement& u = statements_->upsertSourceFailure;
  u.Bind(1, songId);
  u.Bind(2, source);
  u.Bind(3, count);
  u.Bind(4, at);
  return u.Run(error);
}

bool SqliteTagStore::AddClientFailure(std::int64_t songId, const std::string& client, std::int64_t at,
                                      std::string& error) {
  SqliteStatement& u = statements_->upsertClientFailure;
  u.Bind(1, songId);
  u.Bind(2, client);
  u.Bind(3, at);
  return u.Run(error);
}

bool SqliteTagStore::ExtendSkip(std::int64_t songId, std::int64_t until, std::string& error) {
  SqliteStatement& u = statements_->extendSkip;
  u.Bind(1, songId);
  u.Bind(2, until);
  return u.Run(error);
}

bool SqliteTagStore::Fill(const SongKey& key, const TagRecord& record, const std::string& client, std::int64_t now,
                          const RequestMark& /*mark*/, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return InTransaction(
      [&](std::string& e) {
        const std::int64_t id = SongId(key, true, e);
        if (id == 0) return false;
        StoredRecord stored{record, now, now, 1};
        if (!AddRecord(id, stored, e) || !AddVote(id, TagsHash(record), client, now, e)) return false;
        SqliteStatement& end = statements_->setSearching;
        end.Bind(1, id);
        end.Bind(2, std::int64_t{0});
        return end.Run(e);
      },
      error);
}

bool SqliteTagStore::Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
                            std::string& error) {
  outcome = LookupOutcome();
  std::int64_t id = 0, searchingUntil = 0, skipUntil = 0;
  {
    // A database in memory, or one opened on a full disk, has one
    // connection: its look-ups take the writer's turn.
    std::unique_lock<std::mutex> writerTurn(mutex_, std::defer_lock);
    if (oneConnection_) writerTurn.lock();
    ReaderLease lease(*this, error);
    Reader* r = oneConnection_ ? memoryReader_.get() : lease.get();
    if (!r) return false;
    auto failed = [&](SqliteStatement& q) {
      error = q.LastError();
      q.Reset();
      return false;
    };
    r->findSong.Bind(1, key.artist);
    r->findSong.Bind(2, key.title);
    if (r->findSong.Step()) {
      id = r->findSong.Int(0);
      searchingUntil = r->findSong.Int(1);
      skipUntil = r->findSong.Int(2);
    }
    if (!r->findSong.Ok()) return failed(r->findSong);
    r->findSong.Reset();
    if (id != 0) {
      r->bestTags.Bind(1, id);
      const bool tagged = r->bestTags.Step();
      const std::int64_t tagsHash = tagged ? r->bestTags.Int(0) : 0;
      if (!r->bestTags.Ok()) return failed(r->bestTags);
      r->bestTags.Reset();
      if (tagged) {
        r->bestRecord.Bind(1, id);
        r->bestRecord.Bind(2, tagsHash);
        if (r->bestRecord.Step()) {
          ReadRecord(r->bestRecord, 0, outcome.record);
          r->bestRecord.Reset();
          outcome.kind = LookupOutcome::Kind::kFound;
          return true;
        }
        if (!r->bestRecord.Ok()) return failed(r->bestRecord);
        r->bestRecord.Reset();
      }
      if (skipUntil > now) {
        outcome.kind = LookupOutcome::Kind::kSkipSearch;
        return true;
      }
      if (searchingUntil > now) {
        outcome.kind = LookupOutcome::Kind::kSearching;
        return true;
      }
      r->failedSources.Bind(1, id);
      while (r->failedSources.Step()) outcome.sources.push_back(r->failedSources.Text(0));
      if (!r->failedSources.Ok()) return failed(r->failedSources);
      r->failedSources.Reset();
    }
  }
  outcome.kind = outcome.sources.empty() ? LookupOutcome::Kind::kUnknown : LookupOutcome::Kind::kFailedSources;
  if (!searcher) return true;

  // This searcher starts the search, unless another one did since the read.
  std::lock_guard<std::mutex> lock(mutex_);
  bool started = false;
  std::string why;
  const bool written = InTransaction(
      [&](std::string& e) {
        if (id == 0) id = SongId(key, true, e);
        if (id == 0) return false;
        Statements& s = *statements_;
        s.startSearch.Bind(1, id);
        s.startSearch.Bind(2, now);
        s.startSearch.Bind(3, now + policy_.searchWindowS);
        if (!s.startSearch.Run(e)) return false;
        started = db_.Changes() > 0;
        return true;
      },
      why);
  if (!written) {
    // A store that cannot write still answers: the search goes unrecorded.
    if (why.rfind(kNoSpaceError, 0) == 0) return true;
    error = why;
    return false;
  }
  if (!started) {
    outcome = LookupOutcome();
    outcome.kind = LookupOutcome::Kind::kSearching;
  }
  return true;
}

bool SqliteTagStore::ReportFail(const SongKey& key, const std::string& source, const std::string& client,
                                std::int64_t now, const RequestMark& /*mark*/, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return InTransaction(
      [&](std::string& e) {
        Statements& s = *statements_;
        const std::int64_t id = SongId(key, true, e);
        if (id == 0) return false;
        if (!source.empty()) return AddSourceFailure(id, source, 1, now, e);
        if (!AddClientFailure(id, client, now, e)) return false;
        // The search that this report concludes is over.
        s.setSearching.Bind(1, id);
        s.setSearching.Bind(2, std::int64_t{0});
        if (!s.setSearching.Run(e)) return false;
        // Skip periods: counted from the end of the previous one, so that a
        // song is searched again once a period is over until three clients
        // report anew.
        s.findSong.Bind(1, key.artist);
        s.findSong.Bind(2, key.title);
        const std::int64_t skipUntil = s.findSong.Step() ? s.findSong.Int(2) : 0;
        s.findSong.Reset();
        if (skipUntil > now) return true;
        s.hasRecord.Bind(1, id);
        const bool hasRecord = s.hasRecord.Step();
        s.hasRecord.Reset();
        if (hasRecord) return true;
        s.countClients.Bind(1, id);
        s.countClients.Bind(2, skipUntil);
        const std::int64_t clients = s.countClients.Step() ? s.countClients.Int(0) : 0;
        s.countClients.Reset();
        if (clients < policy_.skipAfterClients) return true;
        return ExtendSkip(id, now + policy_.skipForS, e);
      },
      error);
}

bool SqliteTagStore::AddRequestCounts(const std::map<int, std::int64_t>& counts, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return InTransaction(
      [&](std::string& e) {
        for (const auto& [status, count] : counts) {
          statements_->addCount.Bind(1, std::int64_t{status});
          statements_->addCount.Bind(2, count);
          if (!statements_->addCount.Run(e)) return false;
        }
        return true;
      },
      error);
}

bool SqliteTagStore::Stats(std::int64_t now, StoreStats& stats, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto number = [&](const std::string& sql, std::int64_t& out) {
    SqliteStatement q;
    if (!q.Prepare(db_.handle(), sql, error)) return false;
    out = q.Step() ? q.Int(0) : 0;
    if (!q.Ok()) error = q.LastError();
    return q.Ok();
  };
  stats = StoreStats();
  // The counts of a damaged file would be no more than guesses.
  if (!QuickCheck(db_, stats.integrity, error) || stats.integrity != "ok") return !stats.integrity.empty();
  if (!number("SELECT count(DISTINCT song_id) FROM records", stats.songs) ||
      !number("SELECT count(*) FROM records", stats.records) ||
      !number("SELECT coalesce(sum(fills), 0) FROM records", stats.fills) ||
      !number("SELECT count(DISTINCT source) FROM records", stats.sources) ||
      !number("SELECT coalesce(sum(count), 0) FROM source_failures", stats.sourceFailures) ||
      !number("SELECT count(*) FROM client_failures", stats.songFailures) ||
      !number("SELECT count(*) FROM songs WHERE skip_until>" + std::to_string(now), stats.skippedSongs) ||
      !number("SELECT count(*) FROM records WHERE fields<>''", stats.recordsWithFields)) {
    return false;
  }
  SqliteStatement q;
  if (!q.Prepare(db_.handle(), "SELECT status, count FROM request_counts ORDER BY status", error)) return false;
  while (q.Step()) stats.requestsByStatus[static_cast<int>(q.Int(0))] = q.Int(1);
  if (!q.Ok()) error = q.LastError();
  return q.Ok();
}

bool SqliteTagStore::Export(const std::function<bool(const ExportItem&)>& sink, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  // One read transaction, so that the export is one consistent picture.
  if (!db_.Execute("BEGIN", error)) return false;
  SqliteStatement voters;
  if (!voters.Prepare(db_.handle(), "SELECT client FROM votes WHERE song_id=?1 AND tags_hash=?2 ORDER BY client",
                      error)) {
    return false;
  }
  auto run = [&](const char* sql, const std::function<bool(SqliteStatement&, ExportItem&)>& read) {
    SqliteStatement q;
    if (!q.Prepare(db_.handle(), sql, error)) return false;
    bool more = true;
    while (more && q.Step()) {
      ExportItem item;
      item.key.artist = q.Text(0);
      item.key.title = q.Text(1);
      if (!read(q, item)) return false;
      more = sink(item);
    }
    if (!q.Ok()) error = q.LastError();
    return q.Ok();
  };
  const bool ok =
      run("SELECT s.artist_key, s.title_key, r.source, r.artist, r.title, r.album, r.genre, r.year, r.tracknr,"
          " r.coverurl, r.cover_bytes, r.cover_x, r.cover_y, r.fields, r.first_seen, r.last_seen, r.fills,"
          " r.song_id, r.tags_hash FROM records r JOIN songs s ON s.id=r.song_id ORDER BY r.song_id",
          [&](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kRecord;
            ReadRecord(q, 2, item.record.record);
            item.record.firstSeen = q.Int(14);
            item.record.lastSeen = q.Int(15);
            item.record.fills = q.Int(16);
            voters.Bind(1, q.Int(17));
            voters.Bind(2, q.Int(18));
            while (voters.Step()) item.clients.push_back(voters.Text(0));
            const bool read = voters.Ok();
            if (!read) error = voters.LastError();
            voters.Reset();
            return read;
          }) &&
      run("SELECT s.artist_key, s.title_key, f.source, f.count, f.last_seen"
          " FROM source_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kSourceFailure;
            item.name = q.Text(2);
            item.count = q.Int(3);
            item.time = q.Int(4);
            return true;
          }) &&
      run("SELECT s.artist_key, s.title_key, f.client, f.last_seen"
          " FROM client_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kClientFailure;
            item.name = q.Text(2);
            item.time = q.Int(3);
            return true;
          }) &&
      run("SELECT artist_key, title_key, skip_until FROM songs WHERE skip_until>0 ORDER BY id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kSkip;
            item.time = q.Int(2);
            return true;
          });
  std::string ignored;
  db_.Execute("COMMIT", ignored);
  return ok;
}

bool SqliteTagStore::Import(const std::vector<ExportItem>& items, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return InTransaction(
      [&](std::string& e) {
        for (const ExportItem& item : items) {
          const std::int64_t id = SongId(item.key, true, e);
          if (id == 0) return false;
          bool ok = true;
          switch (item.kind) {
            case ExportItem::Kind::kRecord: {
              ok = AddRecord(id, item.record, e);
              // Records of an export without votes count as one unknown client's.
              const std::int64_t hash = TagsHash(item.record.record);
              if (item.clients.empty()) ok = ok && AddVote(id, hash, "", item.record.lastSeen, e);
              for (const std::string& client : item.clients) {
                ok = ok && AddVote(id, hash, client, item.record.lastSeen, e);
              }
              break;
            }
            case ExportItem::Kind::kSourceFailure:
              ok = AddSourceFailure(id, item.name, item.count, item.time, e);
              break;
            case ExportItem::Kind::kClientFailure:
              ok = AddClientFailure(id, item.name, item.time, e);
              break;
            case ExportItem::Kind::kSkip:
              ok = ExtendSkip(id, item.time, e);
              break;
          }
          if (!ok) return false;
        }
        return true;
      },
      error);
}

}  // namespace cache_server
