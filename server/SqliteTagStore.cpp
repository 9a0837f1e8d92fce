#include "server/SqliteTagStore.h"

#include <sqlite3.h>

#include <vector>

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
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == SqliteTagStore::kSchemaVersion);

// A stable 64-bit FNV-1a over the tags that make two records agree; stored,
// so it must never change.
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

}  // namespace

bool TagRecord::SameTags(const TagRecord& o) const {
  return artist == o.artist && title == o.title && album == o.album && genre == o.genre && coverUrl == o.coverUrl &&
         year == o.year && trackNumber == o.trackNumber;
}

struct SqliteTagStore::Statements {
  SqliteStatement begin, commit, rollback;
  SqliteStatement findSong, insertSong, setSearching, extendSkip;
  SqliteStatement upsertRecord, songRecords, hasRecord;
  SqliteStatement failedSources, upsertSourceFailure, upsertClientFailure, countClients;
  SqliteStatement addCount;
};

SqliteTagStore::SqliteTagStore(CachePolicy policy) : policy_(policy) {}

SqliteTagStore::~SqliteTagStore() { statements_.reset(); }

bool SqliteTagStore::Open(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_.Open(path, error)) return false;
  // WAL: look-ups read while a fill writes; NORMAL: commits reach the file
  // system at once (safe when the process dies), the disk at checkpoints.
  // A 64 MiB page cache and the file mapped into memory: look-ups of random
  // songs then cost no read calls.
  if (!db_.Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;"
                   " PRAGMA cache_size=-65536; PRAGMA mmap_size=1073741824;",
                   error)) {
    error = path + ": " + error;
    return false;
  }
  if (!Migrate(error)) {
    error = path + ": " + error;
    return false;
  }
  return PrepareStatements(error);
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
    ok = db_.Execute(kMigrations[v], error) &&
         db_.Execute("PRAGMA user_version=" + std::to_string(v + 1), error);
  }
  std::string ignored;
  if (!ok) {
    db_.Execute("ROLLBACK", ignored);
    return false;
  }
  return db_.Execute("COMMIT", error);
}

bool SqliteTagStore::PrepareStatements(std::string& error) {
  statements_ = std::make_unique<Statements>();
  Statements& s = *statements_;
  sqlite3* h = db_.handle();
  return s.begin.Prepare(h, "BEGIN IMMEDIATE", error) && s.commit.Prepare(h, "COMMIT", error) &&
         s.rollback.Prepare(h, "ROLLBACK", error) &&
         s.findSong.Prepare(h,
                            "SELECT id, searching_until, skip_until FROM songs WHERE artist_key=?1 AND title_key=?2",
                            error) &&
         s.insertSong.Prepare(h, "INSERT INTO songs(artist_key, title_key) VALUES(?1, ?2)", error) &&
         s.setSearching.Prepare(h, "UPDATE songs SET searching_until=?2 WHERE id=?1", error) &&
         s.extendSkip.Prepare(h, "UPDATE songs SET skip_until=max(skip_until, ?2) WHERE id=?1", error) &&
         s.upsertRecord.Prepare(
             h,
             "INSERT INTO records(song_id, source, tags_hash, artist, title, album, genre, year, tracknr, coverurl,"
             " cover_bytes, cover_x, cover_y, first_seen, last_seen, fills)"
             " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)"
             " ON CONFLICT(song_id, source, tags_hash) DO UPDATE SET fills=fills+excluded.fills,"
             " first_seen=min(first_seen, excluded.first_seen), last_seen=max(last_seen, excluded.last_seen),"
             " cover_bytes=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_bytes ELSE cover_bytes END,"
             " cover_x=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_x ELSE cover_x END,"
             " cover_y=CASE WHEN excluded.last_seen>=last_seen THEN excluded.cover_y ELSE cover_y END",
             error) &&
         s.songRecords.Prepare(h,
                               "SELECT source, artist, title, album, genre, year, tracknr, coverurl, cover_bytes,"
                               " cover_x, cover_y, first_seen, last_seen, fills FROM records WHERE song_id=?1",
                               error) &&
         s.hasRecord.Prepare(h, "SELECT 1 FROM records WHERE song_id=?1 LIMIT 1", error) &&
         s.failedSources.Prepare(h, "SELECT source FROM source_failures WHERE song_id=?1 ORDER BY count DESC, source",
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
  if (!statements_) {
    error = "store not open";
    return false;
  }
  Statements& s = *statements_;
  if (!s.begin.Run(error)) return false;
  if (body(error) && s.commit.Run(error)) return true;
  std::string ignored;
  s.rollback.Run(ignored);
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
  return u.Run(error);
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

bool SqliteTagStore::Fill(const SongKey& key, const TagRecord& record, std::int64_t now, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  return InTransaction(
      [&](std::string& e) {
        const std::int64_t id = SongId(key, true, e);
        if (id == 0) return false;
        StoredRecord stored{record, now, now, 1};
        if (!AddRecord(id, stored, e)) return false;
        SqliteStatement& end = statements_->setSearching;
        end.Bind(1, id);
        end.Bind(2, std::int64_t{0});
        return end.Run(e);
      },
      error);
}

bool SqliteTagStore::Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
                            std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!statements_) {
    error = "store not open";
    return false;
  }
  Statements& s = *statements_;
  outcome = LookupOutcome();
  s.findSong.Bind(1, key.artist);
  s.findSong.Bind(2, key.title);
  std::int64_t id = 0, searchingUntil = 0, skipUntil = 0;
  if (s.findSong.Step()) {
    id = s.findSong.Int(0);
    searchingUntil = s.findSong.Int(1);
    skipUntil = s.findSong.Int(2);
  }
  const bool found = s.findSong.Ok();
  if (!found) error = s.findSong.LastError();
  s.findSong.Reset();
  if (!found) return false;

  auto startSearch = [&]() {
    return InTransaction(
        [&](std::string& e) {
          if (id == 0) id = SongId(key, true, e);
          if (id == 0) return false;
          s.setSearching.Bind(1, id);
          s.setSearching.Bind(2, now + policy_.searchWindowS);
          return s.setSearching.Run(e);
        },
        error);
  };
  if (id == 0) {
    outcome.kind = LookupOutcome::Kind::kUnknown;
    return !searcher || startSearch();
  }

  // The record most fills agree on: records with the same tags (from any
  // source) pool their fills; ties go to the most recently filled.
  struct Group {
    StoredRecord best;  // the member answered: most fills, then the latest
    std::int64_t fills = 0;
    std::int64_t lastSeen = 0;
  };
  std::vector<Group> groups;
  s.songRecords.Bind(1, id);
  while (s.songRecords.Step()) {
    StoredRecord r;
    r.record.source = s.songRecords.Text(0);
    r.record.artist = s.songRecords.Text(1);
    r.record.title = s.songRecords.Text(2);
    r.record.album = s.songRecords.Text(3);
    r.record.genre = s.songRecords.Text(4);
    r.record.year = static_cast<std::int32_t>(s.songRecords.Int(5));
    r.record.trackNumber = static_cast<std::int32_t>(s.songRecords.Int(6));
    r.record.coverUrl = s.songRecords.Text(7);
    r.record.coverBytes = static_cast<std::int32_t>(s.songRecords.Int(8));
    r.record.coverWidth = static_cast<std::int32_t>(s.songRecords.Int(9));
    r.record.coverHeight = static_cast<std::int32_t>(s.songRecords.Int(10));
    r.firstSeen = s.songRecords.Int(11);
    r.lastSeen = s.songRecords.Int(12);
    r.fills = s.songRecords.Int(13);
    Group* group = nullptr;
    for (Group& g : groups) {
      if (g.best.record.SameTags(r.record)) group = &g;
    }
    if (!group) {
      groups.push_back(Group{r, 0, 0});
      group = &groups.back();
    } else if (r.fills > group->best.fills || (r.fills == group->best.fills && r.lastSeen > group->best.lastSeen)) {
      group->best = r;
    }
    group->fills += r.fills;
    group->lastSeen = std::max(group->lastSeen, r.lastSeen);
  }
  const bool read = s.songRecords.Ok();
  if (!read) error = s.songRecords.LastError();
  s.songRecords.Reset();
  if (!read) return false;
  const Group* winner = nullptr;
  for (const Group& g : groups) {
    if (!winner || g.fills > winner->fills || (g.fills == winner->fills && g.lastSeen > winner->lastSeen)) {
      winner = &g;
    }
  }
  if (winner) {
    outcome.kind = LookupOutcome::Kind::kFound;
    outcome.record = winner->best.record;
    return true;
  }
  if (skipUntil > now) {
    outcome.kind = LookupOutcome::Kind::kSkipSearch;
    return true;
  }
  if (searchingUntil > now) {
    outcome.kind = LookupOutcome::Kind::kSearching;
    return true;
  }
  s.failedSources.Bind(1, id);
  while (s.failedSources.Step()) outcome.sources.push_back(s.failedSources.Text(0));
  const bool listed = s.failedSources.Ok();
  if (!listed) error = s.failedSources.LastError();
  s.failedSources.Reset();
  if (!listed) return false;
  outcome.kind = outcome.sources.empty() ? LookupOutcome::Kind::kUnknown : LookupOutcome::Kind::kFailedSources;
  return !searcher || startSearch();
}

bool SqliteTagStore::ReportFail(const SongKey& key, const std::string& source, const std::string& client,
                                std::int64_t now, std::string& error) {
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
  if (!number("SELECT count(DISTINCT song_id) FROM records", stats.songs) ||
      !number("SELECT count(*) FROM records", stats.records) ||
      !number("SELECT coalesce(sum(fills), 0) FROM records", stats.fills) ||
      !number("SELECT count(DISTINCT source) FROM records", stats.sources) ||
      !number("SELECT coalesce(sum(count), 0) FROM source_failures", stats.sourceFailures) ||
      !number("SELECT count(*) FROM client_failures", stats.songFailures) ||
      !number("SELECT count(*) FROM songs WHERE skip_until>" + std::to_string(now), stats.skippedSongs)) {
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
  auto run = [&](const char* sql, const std::function<void(SqliteStatement&, ExportItem&)>& read) {
    SqliteStatement q;
    if (!q.Prepare(db_.handle(), sql, error)) return false;
    bool more = true;
    while (more && q.Step()) {
      ExportItem item;
      item.key.artist = q.Text(0);
      item.key.title = q.Text(1);
      read(q, item);
      more = sink(item);
    }
    if (!q.Ok()) error = q.LastError();
    return q.Ok();
  };
  const bool ok =
      run("SELECT s.artist_key, s.title_key, r.source, r.artist, r.title, r.album, r.genre, r.year, r.tracknr,"
          " r.coverurl, r.cover_bytes, r.cover_x, r.cover_y, r.first_seen, r.last_seen, r.fills"
          " FROM records r JOIN songs s ON s.id=r.song_id ORDER BY r.song_id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kRecord;
            TagRecord& r = item.record.record;
            r.source = q.Text(2);
            r.artist = q.Text(3);
            r.title = q.Text(4);
            r.album = q.Text(5);
            r.genre = q.Text(6);
            r.year = static_cast<std::int32_t>(q.Int(7));
            r.trackNumber = static_cast<std::int32_t>(q.Int(8));
            r.coverUrl = q.Text(9);
            r.coverBytes = static_cast<std::int32_t>(q.Int(10));
            r.coverWidth = static_cast<std::int32_t>(q.Int(11));
            r.coverHeight = static_cast<std::int32_t>(q.Int(12));
            item.record.firstSeen = q.Int(13);
            item.record.lastSeen = q.Int(14);
            item.record.fills = q.Int(15);
          }) &&
      run("SELECT s.artist_key, s.title_key, f.source, f.count, f.last_seen"
          " FROM source_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kSourceFailure;
            item.name = q.Text(2);
            item.count = q.Int(3);
            item.time = q.Int(4);
          }) &&
      run("SELECT s.artist_key, s.title_key, f.client, f.last_seen"
          " FROM client_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kClientFailure;
            item.name = q.Text(2);
            item.time = q.Int(3);
          }) &&
      run("SELECT artist_key, title_key, skip_until FROM songs WHERE skip_until>0 ORDER BY id",
          [](SqliteStatement& q, ExportItem& item) {
            item.kind = ExportItem::Kind::kSkip;
            item.time = q.Int(2);
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
            case ExportItem::Kind::kRecord:
              ok = AddRecord(id, item.record, e);
              break;
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
