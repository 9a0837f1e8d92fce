#include "server/PostgresTagStore.h"

#include <algorithm>
#include <chrono>

#include "server/TagRules.h"

namespace cache_server {

namespace {

// Each entry brings the schema from version i to i + 1; entries are only ever
// appended.
const char* const kMigrations[] = {
    // 1: songs, the records filled in per source, the votes of client
    // addresses per tags, the failures reported, the per-status request
    // counts and the replay memory shared by the servers.
    R"sql(
    CREATE TABLE songs(
      id bigserial PRIMARY KEY,
      artist_key text NOT NULL,
      title_key text NOT NULL,
      searching_until bigint NOT NULL DEFAULT 0,
      skip_until bigint NOT NULL DEFAULT 0,
      UNIQUE(artist_key, title_key));
    CREATE TABLE records(
      song_id bigint NOT NULL REFERENCES songs(id),
      source text NOT NULL,
      tags_hash bigint NOT NULL,
      artist text NOT NULL, title text NOT NULL, album text NOT NULL, genre text NOT NULL,
      year integer NOT NULL, tracknr integer NOT NULL, coverurl text NOT NULL,
      cover_bytes integer NOT NULL, cover_x integer NOT NULL, cover_y integer NOT NULL,
      first_seen bigint NOT NULL, last_seen bigint NOT NULL, fills bigint NOT NULL,
      PRIMARY KEY(song_id, source, tags_hash));
    CREATE INDEX records_by_tags ON records(song_id, tags_hash, fills, last_seen);
    CREATE TABLE source_failures(
      song_id bigint NOT NULL REFERENCES songs(id),
      source text NOT NULL,
      count bigint NOT NULL,
      last_seen bigint NOT NULL,
      PRIMARY KEY(song_id, source));
    CREATE TABLE client_failures(
      song_id bigint NOT NULL REFERENCES songs(id),
      client text NOT NULL,
      last_seen bigint NOT NULL,
      PRIMARY KEY(song_id, client));
    CREATE TABLE votes(
      song_id bigint NOT NULL REFERENCES songs(id),
      tags_hash bigint NOT NULL,
      client text NOT NULL,
      PRIMARY KEY(song_id, tags_hash, client));
    CREATE TABLE tag_votes(
      song_id bigint NOT NULL REFERENCES songs(id),
      tags_hash bigint NOT NULL,
      voters bigint NOT NULL,
      last_seen bigint NOT NULL,
      PRIMARY KEY(song_id, tags_hash));
    CREATE INDEX tag_votes_rank ON tag_votes(song_id, voters, last_seen);
    CREATE TABLE request_counts(status integer PRIMARY KEY, count bigint NOT NULL);
    CREATE TABLE replays(signature text PRIMARY KEY, until bigint NOT NULL);
    CREATE INDEX replays_by_time ON replays(until);
    )sql",
    // 2: the records' optional fields, as the look-up answer's lines (none
    // for the records kept from before).
    R"sql(
    ALTER TABLE records ADD COLUMN fields text NOT NULL DEFAULT '';
    )sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == PostgresTagStore::kSchemaVersion);

const char* const kTables[] = {"client_failures", "records",   "replays", "request_counts", "schema_version",
                               "songs",           "source_failures", "tag_votes", "votes"};

// Taken by the servers that open the store to migrate it, one at a time.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(7275616)";

// The song, and when it has records, the one of the tags most clients voted
// for (ties: the latest) from the source with most fills (ties: the latest);
// without records, the sources that found nothing (most failures first),
// joined by a control character that no source name holds.
const char* const kLookup =
    "SELECT s.id, s.searching_until, s.skip_until, r.source, r.artist, r.title, r.album, r.genre, r.year,"
    " r.tracknr, r.coverurl, r.cover_bytes, r.cover_x, r.cover_y, r.fields,"
    " CASE WHEN r.source IS NULL THEN (SELECT string_agg(f.source, chr(31) ORDER BY f.count DESC, f.source"
    " COLLATE \"C\") FROM source_failures f WHERE f.song_id=s.id) END"
    " FROM songs s"
    " LEFT JOIN LATERAL (SELECT tags_hash FROM tag_votes WHERE song_id=s.id"
    "  ORDER BY voters DESC, last_seen DESC LIMIT 1) t ON true"
    " LEFT JOIN LATERAL (SELECT * FROM records WHERE song_id=s.id AND tags_hash=t.tags_hash"
    "  ORDER BY fills DESC, last_seen DESC LIMIT 1) r ON true"
    " WHERE s.artist_key=$1 AND s.title_key=$2";
// Starts a search unless one (or a skip) is in force, re-checked under the
// row's lock.
const char* const kStartSearch =
    "INSERT INTO songs(artist_key, title_key, searching_until) VALUES($1, $2, $3)"
    " ON CONFLICT(artist_key, title_key) DO UPDATE SET searching_until=excluded.searching_until"
    " WHERE songs.searching_until<=$4::bigint AND songs.skip_until<=$4::bigint RETURNING id";
// The song's row, created when missing and locked until the transaction
// ends; the first ends a search under way.
const char* const kLockSongEndSearch =
    "INSERT INTO songs(artist_key, title_key) VALUES($1, $2) ON CONFLICT(artist_key, title_key)"
    " DO UPDATE SET searching_until=0 RETURNING id, skip_until";
const char* const kLockSong =
    "INSERT INTO songs(artist_key, title_key) VALUES($1, $2) ON CONFLICT(artist_key, title_key)"
    " DO UPDATE SET artist_key=excluded.artist_key RETURNING id, skip_until";
const char* const kUpsertRecord =
    "INSERT INTO records(song_id, source, tags_hash, artist, title, album, genre, year, tracknr, coverurl,"
    " cover_bytes, cover_x, cover_y, first_seen, last_seen, fills, fields)"
    " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17)"
    " ON CONFLICT(song_id, source, tags_hash) DO UPDATE SET fills=records.fills+excluded.fills,"
    " first_seen=LEAST(records.first_seen, excluded.first_seen),"
    " last_seen=GREATEST(records.last_seen, excluded.last_seen),"
    " cover_bytes=CASE WHEN excluded.last_seen>=records.last_seen THEN excluded.cover_bytes"
    "  ELSE records.cover_bytes END,"
    " cover_x=CASE WHEN excluded.last_seen>=records.last_seen THEN excluded.cover_x ELSE records.cover_x END,"
    " cover_y=CASE WHEN excluded.last_seen>=records.last_seen THEN excluded.cover_y ELSE records.cover_y END,"
    // A fill without optional fields leaves those kept.
    " fields=CASE WHEN excluded.fields<>'' AND (records.fields='' OR excluded.last_seen>=records.last_seen)"
    "  THEN excluded.fields ELSE records.fields END";
// A client's vote; its second for the same tags only makes them more recent.
const char* const kVote =
    "WITH v AS (INSERT INTO votes(song_id, tags_hash, client) VALUES($1::bigint, $2::bigint, $3)"
    " ON CONFLICT DO NOTHING RETURNING 1)"
    " INSERT INTO tag_votes(song_id, tags_hash, voters, last_seen) SELECT $1::bigint, $2::bigint, count(*),"
    " $4::bigint FROM v ON CONFLICT(song_id, tags_hash) DO UPDATE SET voters=tag_votes.voters+excluded.voters,"
    " last_seen=GREATEST(tag_votes.last_seen, excluded.last_seen)";
const char* const kSourceFailure =
    "INSERT INTO source_failures(song_id, source, count, last_seen) VALUES($1, $2, $3, $4)"
    " ON CONFLICT(song_id, source) DO UPDATE SET count=source_failures.count+excluded.count,"
    " last_seen=GREATEST(source_failures.last_seen, excluded.last_seen)";
const char* const kClientFailure =
    "INSERT INTO client_failures(song_id, client, last_seen) VALUES($1, $2, $3)"
    " ON CONFLICT(song_id, client) DO UPDATE SET last_seen=GREATEST(client_failures.last_seen, excluded.last_seen)";
const char* const kSkipCheck =
    "SELECT EXISTS(SELECT 1 FROM records WHERE song_id=$1::bigint),"
    " (SELECT count(*) FROM client_failures WHERE song_id=$1::bigint AND last_seen>=$2::bigint)";
const char* const kExtendSkip = "UPDATE songs SET skip_until=GREATEST(skip_until, $2::bigint) WHERE id=$1";
const char* const kRemember = "INSERT INTO replays(signature, until) VALUES($1, $2) ON CONFLICT DO NOTHING";
// Forgets marks past their time; one server at a time does it.
const char* const kForget =
    "DELETE FROM replays WHERE until<$1::bigint AND (SELECT pg_try_advisory_xact_lock(7275617))";
const char* const kAddCount =
    "INSERT INTO request_counts(status, count) VALUES($1, $2)"
    " ON CONFLICT(status) DO UPDATE SET count=request_counts.count+excluded.count";

constexpr char kJoin = '\x1f';

std::vector<std::string> Split(const std::string& joined) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = joined.find(kJoin, from);
    parts.push_back(joined.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

void ReadRecord(const PgResult& q, int row, int first, TagRecord& r) {
  r.source = q.Text(row, first);
  r.artist = q.Text(row, first + 1);
  r.title = q.Text(row, first + 2);
  r.album = q.Text(row, first + 3);
  r.genre = q.Text(row, first + 4);
  r.year = static_cast<std::int32_t>(q.Int(row, first + 5));
  r.trackNumber = static_cast<std::int32_t>(q.Int(row, first + 6));
  r.coverUrl = q.Text(row, first + 7);
  r.coverBytes = static_cast<std::int32_t>(q.Int(row, first + 8));
  r.coverWidth = static_cast<std::int32_t>(q.Int(row, first + 9));
  r.coverHeight = static_cast<std::int32_t>(q.Int(row, first + 10));
  // Only the servers write the column, after checking every value.
  std::string ignored;
  if (!ReadRecordFieldLines(q.Text(row, first + 11), r.fields, ignored)) r.fields = nimbrel::RecordFieldValues();
}

std::string N(std::int64_t value) { return std::to_string(value); }

bool AddRecord(PgConnection& db, const std::string& songId, const StoredRecord& stored, std::string& error) {
  const TagRecord& r = stored.record;
  return db.Run("record", kUpsertRecord,
                {songId, r.source, N(TagsHash(r)), r.artist, r.title, r.album, r.genre, N(r.year), N(r.trackNumber),
                 r.coverUrl, N(r.coverBytes), N(r.coverWidth), N(r.coverHeight), N(stored.firstSeen),
                 N(stored.lastSeen), N(stored.fills), RecordFieldLines(r.fields)},
                nullptr, error);
}

bool AddVote(PgConnection& db, const std::string& songId, std::int64_t hash, const std::string& client,
             std::int64_t at, std::string& error) {
  return db.Run("vote", kVote, {songId, N(hash), client, N(at)}, nullptr, error);
}

}  // namespace

// A connection of the pool for one step, handed back (or dropped when
// broken) at the end.
class PostgresTagStore::Lease {
 public:
  Lease(PostgresTagStore& store, std::string& error) : store_(store), connection_(store.Acquire(error)) {}
  ~Lease() {
    if (connection_) store_.Release(std::move(connection_));
  }
  PgConnection* get() const { return connection_.get(); }
  // Drops the connection (when broken) and takes another one.
  bool Renew(std::string& error) {
    store_.Release(std::move(connection_));
    connection_ = store_.Acquire(error);
    return connection_ != nullptr;
  }

 private:
  PostgresTagStore& store_;
  std::unique_ptr<PgConnection> connection_;
};

PostgresTagStore::PostgresTagStore(CachePolicy policy, std::size_t maxConnections, std::uint64_t forgetEvery)
    : policy_(policy),
      maxConnections_(std::max<std::size_t>(1, maxConnections)),
      forgetEvery_(std::max<std::uint64_t>(1, forgetEvery)) {}

PostgresTagStore::~PostgresTagStore() = default;

bool PostgresTagStore::IsConnectionString(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<PgConnection> PostgresTagStore::Acquire(std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!returned_.wait_for(lock, std::chrono::seconds(10),
                          [this] { return !idle_.empty() || open_ < maxConnections_; })) {
    error = std::string(kUnavailableError) + ": every connection to the database is busy";
    return nullptr;
  }
  if (!idle_.empty()) {
    std::unique_ptr<PgConnection> connection = std::move(idle_.back());
    idle_.pop_back();
    return connection;
  }
  ++open_;
  lock.unlock();
  auto connection = std::make_unique<PgConnection>();
  std::string why;
  if (connection->Open(conninfo_, why)) return connection;
  error = std::string(kUnavailableError) + ": " + why;
  lock.lock();
  --open_;
  returned_.notify_one();
  return nullptr;
}

void PostgresTagStore::Release(std::unique_ptr<PgConnection> connection) {
  if (!connection) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (connection->broken()) {
    --open_;
  } else {
    idle_.push_back(std::move(connection));
  }
  returned_.notify_one();
}

bool PostgresTagStore::Open(const std::string& conninfo, std::string& error, bool readOnly) {
  conninfo_ = conninfo;
  description_ = PgConnection::Describe(conninfo);
  readOnly_ = readOnly;
  Lease lease(*this, error);
  PgConnection* db = lease.get();
  if (!db) return false;
  const auto failed = [&](const std::string& why) {
    std::string ignored;
    db->Execute("ROLLBACK", ignored);
    error = description_ + ": " + why;
    return false;
  };
  std::string why;
  PgResult tables;
  if (!db->Execute(readOnly ? "BEGIN READ ONLY" : "BEGIN", why) || (!readOnly && !db->Execute(kMigrationLock, why)) ||
      !db->Execute("SELECT tablename FROM pg_tables WHERE schemaname=current_schema() ORDER BY 1", why, &tables)) {
    return failed(why);
  }
  std::string foreign;
  bool versioned = false;
  for (int i = 0; i < tables.rows(); ++i) {
    const std::string name = tables.Text(i, 0);
    bool ours = false;
    for (const char* table : kTables) ours = ours || name == table;
    if (!ours) foreign += (foreign.empty() ? "" : ", ") + name;
    versioned = versioned || name == "schema_version";
  }
  if (!foreign.empty()) return failed("not a tag cache: it holds other tables (" + foreign + ")");
  if (tables.rows() > 0 && !versioned) return failed("not a tag cache: it has no schema version");
  std::int64_t current = 0;
  if (versioned) {
    PgResult version;
    if (!db->Execute("SELECT version FROM schema_version", why, &version)) return failed(why);
    current = version.rows() == 1 ? version.Int(0, 0) : -1;
  }
  if (current < 0) return failed("cannot read the schema version");
  if (current > kSchemaVersion) {
    return failed("schema version " + N(current) + " is newer than this server's (" + N(kSchemaVersion) + ")");
  }
  if (readOnly) {
    if (current != kSchemaVersion) {
      return failed("schema version " + N(current) + " is older than this server's: serve it once to bring it up"
                    " to date");
    }
    return db->Execute("COMMIT", why) || failed(why);
  }
  if (!versioned && !db->Execute("CREATE TABLE schema_version(version integer NOT NULL);"
                                 " INSERT INTO schema_version VALUES(0)",
                                 why)) {
    return failed(why);
  }
  for (std::int64_t v = current; v < kSchemaVersion; ++v) {
    if (!db->Execute(kMigrations[v], why) || !db->Execute("UPDATE schema_version SET version=" + N(v + 1), why)) {
      return failed(why);
    }
  }
  return db->Execute("COMMIT", why) || failed(why);
}

bool PostgresTagStore::InTransaction(const char* begin,
                                     const std::function<bool(PgConnection&, std::string&)>& body,
                                     std::string& error) {
  if (readOnly_ && begin && std::string_view(begin) == "BEGIN") {
    error = std::string(kNoSpaceError) + ": the store is read-only";
    return false;
  }
  Lease lease(*this, error);
  // Idle connections that a database restart broke are found at their
  // first statement: nothing was done on them, so another one is taken. A
  // conflict with another transaction is tried again.
  for (std::size_t attempt = 0; lease.get(); ++attempt) {
    PgConnection& db = *lease.get();
    std::string why;
    const bool begun = !begin || db.Execute(begin, why);
    if (begun && body(db, why) && (!begin || db.Execute("COMMIT", why))) return true;
    if (db.broken() && (!begin || !begun) && attempt < maxConnections_) {
      if (!lease.Renew(error)) return false;
      continue;
    }
    const PgConnection::Failure failure = db.failure();
    std::string ignored;
    if (begin && !db.broken()) db.Execute("ROLLBACK", ignored);
    if (failure == PgConnection::Failure::kConflict && attempt < 3) continue;
    switch (failure) {
      case PgConnection::Failure::kUnavailable:
        error = std::string(kUnavailableError) + ": " + description_ + ": " + why;
        break;
      case PgConnection::Failure::kNoSpace:
        error = std::string(kNoSpaceError) + ": " + why;
        break;
      default:
        error = why;
    }
    return false;
  }
  return false;
}

bool PostgresTagStore::Remember(PgConnection& db, const RequestMark& mark, std::string& error) {
  if (mark.signature.empty()) return true;
  if (!db.Run("remember", kRemember, {mark.signature, N(mark.until)}, nullptr, error)) return false;
  if (db.changes() == 1) return true;
  error = std::string(kReplayError);
  return false;
}

bool PostgresTagStore::Fill(const SongKey& key, const TagRecord& record, const std::string& client,
                            std::int64_t now, const RequestMark& mark, std::string& error) {
  const bool ok = InTransaction(
      "BEGIN",
      [&](PgConnection& db, std::string& e) {
        PgResult song;
        if (!Remember(db, mark, e) ||
            !db.Run("lock_song_end_search", kLockSongEndSearch, {key.artist, key.title}, &song, e)) {
          return false;
        }
        const std::string id = song.Text(0, 0);
        return AddRecord(db, id, StoredRecord{record, now, now, 1}, e) &&
               AddVote(db, id, TagsHash(record), client, now, e);
      },
      error);
  if (ok) ForgetNowAndThen(mark, now);
  return ok;
}

void PostgresTagStore::ForgetNowAndThen(const RequestMark& mark, std::int64_t now) {
  if (mark.signature.empty() || ++marks_ % forgetEvery_ != 0) return;
  std::string ignored;
  InTransaction(
      "BEGIN", [&](PgConnection& db, std::string& e) { return db.Run("forget", kForget, {N(now)}, nullptr, e); },
      ignored);
}

bool PostgresTagStore::Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
                              std::string& error) {
  outcome = LookupOutcome();
  PgResult q;
  // One statement: one snapshot, its own transaction.
  if (!InTransaction(
          nullptr,
          [&](PgConnection& db, std::string& e) { return db.Run("lookup", kLookup, {key.artist, key.title}, &q, e); },
          error)) {
    return false;
  }
  if (q.rows() == 1) {
    if (!q.IsNull(0, 3)) {
      ReadRecord(q, 0, 3, outcome.record);
      outcome.kind = LookupOutcome::Kind::kFound;
      return true;
    }
    if (q.Int(0, 2) > now) {
      outcome.kind = LookupOutcome::Kind::kSkipSearch;
      return true;
    }
    if (q.Int(0, 1) > now) {
      outcome.kind = LookupOutcome::Kind::kSearching;
      return true;
    }
    if (!q.IsNull(0, 15)) outcome.sources = Split(q.Text(0, 15));
  }
  outcome.kind = outcome.sources.empty() ? LookupOutcome::Kind::kUnknown : LookupOutcome::Kind::kFailedSources;
  if (!searcher || readOnly_) return true;

  // This searcher starts the search, unless another one did since the read.
  bool started = false;
  if (!InTransaction(
          nullptr,
          [&](PgConnection& db, std::string& e) {
            PgResult r;
            if (!db.Run("start_search", kStartSearch,
                        {key.artist, key.title, N(now + policy_.searchWindowS), N(now)}, &r, e)) {
              return false;
            }
            started = r.rows() == 1;
            return true;
          },
          error)) {
    return false;
  }
  if (!started) {
    outcome = LookupOutcome();
    outcome.kind = LookupOutcome::Kind::kSearching;
  }
  return true;
}

bool PostgresTagStore::ReportFail(const SongKey& key, const std::string& source, const std::string& client,
                                  std::int64_t now, const RequestMark& mark, std::string& error) {
  const bool ok = InTransaction(
      "BEGIN",
      [&](PgConnection& db, std::string& e) {
        PgResult song;
        if (!Remember(db, mark, e)) return false;
        if (!source.empty()) {
          return db.Run("lock_song", kLockSong, {key.artist, key.title}, &song, e) &&
                 db.Run("source_failure", kSourceFailure, {song.Text(0, 0), source, "1", N(now)}, nullptr, e);
        }
        // The search that this report concludes is over.
        if (!db.Run("lock_song_end_search", kLockSongEndSearch, {key.artist, key.title}, &song, e)) return false;
        const std::string id = song.Text(0, 0);
        const std::int64_t skipUntil = song.Int(0, 1);
        if (!db.Run("client_failure", kClientFailure, {id, client, N(now)}, nullptr, e)) return false;
        // Skip periods count from the end of the previous one, as the
        // embedded store's do.
        if (skipUntil > now) return true;
        PgResult check;
        if (!db.Run("skip_check", kSkipCheck, {id, N(skipUntil)}, &check, e)) return false;
        if (check.Text(0, 0) == "t" || check.Int(0, 1) < policy_.skipAfterClients) return true;
        return db.Run("extend_skip", kExtendSkip, {id, N(now + policy_.skipForS)}, nullptr, e);
      },
      error);
  if (ok) ForgetNowAndThen(mark, now);
  return ok;
}

bool PostgresTagStore::AddRequestCounts(const std::map<int, std::int64_t>& counts, std::string& error) {
  return InTransaction(
      "BEGIN",
      [&](PgConnection& db, std::string& e) {
        for (const auto& [status, count] : counts) {
          if (!db.Run("add_count", kAddCount, {N(status), N(count)}, nullptr, e)) return false;
        }
        return true;
      },
      error);
}

bool PostgresTagStore::Stats(std::int64_t now, StoreStats& stats, std::string& error) {
  stats = StoreStats();
  return InTransaction(
      "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY",
      [&](PgConnection& db, std::string& e) {
        PgResult q;
        if (!db.Execute("SELECT (SELECT count(DISTINCT song_id) FROM records), (SELECT count(*) FROM records),"
                        " (SELECT coalesce(sum(fills), 0) FROM records),"
                        " (SELECT count(DISTINCT source) FROM records),"
                        " (SELECT coalesce(sum(count), 0) FROM source_failures),"
                        " (SELECT count(*) FROM client_failures),"
                        " (SELECT count(*) FROM songs WHERE skip_until>" + N(now) + "),"
                        " (SELECT count(*) FROM records WHERE fields<>'')",
                        e, &q)) {
          return false;
        }
        stats.songs = q.Int(0, 0);
        stats.records = q.Int(0, 1);
        stats.fills = q.Int(0, 2);
        stats.sources = q.Int(0, 3);
        stats.sourceFailures = q.Int(0, 4);
        stats.songFailures = q.Int(0, 5);
        stats.skippedSongs = q.Int(0, 6);
        stats.recordsWithFields = q.Int(0, 7);
        if (!db.Execute("SELECT status, count FROM request_counts ORDER BY status", e, &q)) return false;
        for (int i = 0; i < q.rows(); ++i) stats.requestsByStatus[static_cast<int>(q.Int(i, 0))] = q.Int(i, 1);
        // The database server keeps its own files whole (checksums, its
        // log); there is no check of the cache's to run.
        stats.integrity = "ok";
        return true;
      },
      error);
}

bool PostgresTagStore::Export(const std::function<bool(const ExportItem&)>& sink, std::string& error) {
  // One snapshot, so that the export is one consistent picture.
  return InTransaction(
      "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY",
      [&](PgConnection& db, std::string& e) {
        bool more = true;
        auto run = [&](const char* sql, const std::function<void(const PgResult&, ExportItem&)>& read) {
          return !more || db.Stream(
                              sql,
                              [&](const PgResult& q) {
                                ExportItem item;
                                item.key.artist = q.Text(0, 0);
                                item.key.title = q.Text(0, 1);
                                read(q, item);
                                more = sink(item);
                                return more;
                              },
                              e);
        };
        return run("SELECT s.artist_key, s.title_key, r.source, r.artist, r.title, r.album, r.genre, r.year,"
                   " r.tracknr, r.coverurl, r.cover_bytes, r.cover_x, r.cover_y, r.fields, r.first_seen, r.last_seen,"
                   " r.fills,"
                   " (SELECT string_agg(v.client, chr(31) ORDER BY v.client COLLATE \"C\") FROM votes v"
                   "  WHERE v.song_id=r.song_id AND v.tags_hash=r.tags_hash)"
                   " FROM records r JOIN songs s ON s.id=r.song_id ORDER BY r.song_id",
                   [](const PgResult& q, ExportItem& item) {
                     item.kind = ExportItem::Kind::kRecord;
                     ReadRecord(q, 0, 2, item.record.record);
                     item.record.firstSeen = q.Int(0, 14);
                     item.record.lastSeen = q.Int(0, 15);
                     item.record.fills = q.Int(0, 16);
                     if (!q.IsNull(0, 17)) item.clients = Split(q.Text(0, 17));
                   }) &&
               run("SELECT s.artist_key, s.title_key, f.source, f.count, f.last_seen"
                   " FROM source_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
                   [](const PgResult& q, ExportItem& item) {
                     item.kind = ExportItem::Kind::kSourceFailure;
                     item.name = q.Text(0, 2);
                     item.count = q.Int(0, 3);
                     item.time = q.Int(0, 4);
                   }) &&
               run("SELECT s.artist_key, s.title_key, f.client, f.last_seen"
                   " FROM client_failures f JOIN songs s ON s.id=f.song_id ORDER BY f.song_id",
                   [](const PgResult& q, ExportItem& item) {
                     item.kind = ExportItem::Kind::kClientFailure;
                     item.name = q.Text(0, 2);
                     item.time = q.Int(0, 3);
                   }) &&
               run("SELECT artist_key, title_key, skip_until FROM songs WHERE skip_until>0 ORDER BY id",
                   [](const PgResult& q, ExportItem& item) {
                     item.kind = ExportItem::Kind::kSkip;
                     item.time = q.Int(0, 2);
                   });
      },
      error);
}

bool PostgresTagStore::Import(const std::vector<ExportItem>& items, std::string& error) {
  return InTransaction(
      "BEGIN",
      [&](PgConnection& db, std::string& e) {
        for (const ExportItem& item : items) {
          PgResult song;
          if (!db.Run("lock_song", kLockSong, {item.key.artist, item.key.title}, &song, e)) return false;
          const std::string id = song.Text(0, 0);
          bool ok = true;
          switch (item.kind) {
            case ExportItem::Kind::kRecord: {
              ok = AddRecord(db, id, item.record, e);
              // Records of an export without votes count as one unknown client's.
              const std::int64_t hash = TagsHash(item.record.record);
              if (item.clients.empty()) ok = ok && AddVote(db, id, hash, "", item.record.lastSeen, e);
              for (const std::string& client : item.clients) {
                ok = ok && AddVote(db, id, hash, client, item.record.lastSeen, e);
              }
              break;
            }
            case ExportItem::Kind::kSourceFailure:
              ok = db.Run("source_failure", kSourceFailure, {id, item.name, N(item.count), N(item.time)}, nullptr, e);
              break;
            case ExportItem::Kind::kClientFailure:
              ok = db.Run("client_failure", kClientFailure, {id, item.name, N(item.time)}, nullptr, e);
              break;
            case ExportItem::Kind::kSkip:
              ok = db.Run("extend_skip", kExtendSkip, {id, N(item.time)}, nullptr, e);
              break;
          }
          if (!ok) return false;
        }
        return true;
      },
      error);
}

}  // namespace cache_server
