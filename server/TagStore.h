// Where the tag-cache server keeps what it knows: the records that clients
// filled in, per song and source with their provenance, the failures they
// reported, the searches under way and the songs not to be searched.
//
// The protocol code speaks only to this interface. Each operation is one
// atomic step of the cache's rules (a look-up that starts a search, a failure
// report that may make a song skipped), so that a backend shared by several
// server instances (a database server) can carry each step out in one
// transaction without the protocol code knowing. Times are seconds since
// 1970 UTC, always handed in by the caller (the server's clock).
//
// Errors are results: false with a reason in `error`; a reason that starts
// with kNoSpaceError means the store cannot write now (its disk is full, or it
// was opened read-only), which a client may retry later; one that starts with
// kUnavailableError means the store cannot be reached now (a database server
// restarting or cut off), which is answered as busy too; one that starts with
// kReplayError refuses a request that another server sharing the store has
// accepted already. Implementations are safe to call from any number of
// threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "server/SongKey.h"
#include "servercache/RecordFields.h"

namespace cache_server {

inline constexpr std::string_view kNoSpaceError = "no space to store";
inline constexpr std::string_view kUnavailableError = "store unavailable";
inline constexpr std::string_view kReplayError = "replayed request";

// A state-changing request as the replay memory knows it: its signature, to
// be refused again until `until` (after which its timestamp is refused
// anyway). Empty: nothing to remember in the store.
struct RequestMark {
  std::string signature;
  std::int64_t until = 0;
};

// One song's tags as a client filled them in (texts UTF-8, as sent).
struct TagRecord {
  std::string artist;
  std::string title;
  std::string album;
  std::string genre;
  std::string coverUrl;
  std::string source;
  std::int32_t year = 0;
  std::int32_t trackNumber = 0;
  std::int32_t coverBytes = 0;
  std::int32_t coverWidth = 0;
  std::int32_t coverHeight = 0;
  // The optional fields (disc, length, identifiers, ...), valid or empty.
  // They describe the tags but do not tell one record from another: clients
  // that send them and clients that do not agree on the same tags. A fill
  // that carries any of them replaces the ones kept, as the cover's measures.
  nimbrel::RecordFieldValues fields;
  // Whether two records say the same (everything but the source, the cover
  // file's measures, which depend on the client's copy of the picture, and
  // the optional fields).
  bool SameTags(const TagRecord& other) const;
};

// A 64-bit hash of what SameTags compares; stores keep it, so it must never
// change.
std::int64_t TagsHash(const TagRecord& record);

// A record with its provenance: when it was first and last filled in, and by
// how many accepted fills.
struct StoredRecord {
  TagRecord record;
  std::int64_t firstSeen = 0;
  std::int64_t lastSeen = 0;
  std::int64_t fills = 0;
};

// The timings of the cache's rules.
struct CachePolicy {
  // A look-up by a searcher of an unknown song makes others wait this long.
  std::int64_t searchWindowS = 60;
  // How many distinct client addresses must report that nothing was found
  // (without a source) before the song is skipped, and for how long.
  int skipAfterClients = 3;
  std::int64_t skipForS = 30LL * 24 * 3600;
};

struct LookupOutcome {
  enum class Kind {
    kFound,          // `record` is the answer
    kSearching,      // somebody is searching it: ask again later
    kFailedSources,  // unknown; `sources` found nothing for it
    kSkipSearch,     // nobody could tag it: do not search
    kUnknown,
  };
  Kind kind = Kind::kUnknown;
  TagRecord record;
  std::vector<std::string> sources;
};

struct StoreStats {
  std::int64_t songs = 0;         // songs with at least one record
  std::int64_t records = 0;       // distinct records (per song, source and tags)
  std::int64_t fills = 0;         // accepted fills
  std::int64_t sources = 0;       // distinct source names among the records
  std::int64_t sourceFailures = 0;  // failure reports naming a source
  std::int64_t songFailures = 0;    // failure reports without a source (one per song and client)
  std::int64_t skippedSongs = 0;    // songs skipped now
  std::int64_t recordsWithFields = 0;  // records holding optional fields
  std::map<int, std::int64_t> requestsByStatus;
  std::string integrity;  // "ok", or the problems the quick check found (then nothing else is counted)
};

// One line of an export: a record, a source's failures, a client's failure
// report without a source, or a song's skip period.
struct ExportItem {
  enum class Kind { kRecord, kSourceFailure, kClientFailure, kSkip };
  Kind kind = Kind::kRecord;
  SongKey key;
  StoredRecord record;      // kRecord
  std::vector<std::string> clients;  // kRecord: the addresses that filled in these tags (from any source)
  std::string name;         // kSourceFailure: the source; kClientFailure: the address
  std::int64_t count = 0;   // kSourceFailure
  std::int64_t time = 0;    // last report (failures), end of the period (kSkip)
};

class TagStore {
 public:
  virtual ~TagStore() = default;

  // Counts one accepted fill of `record` for `key` by the client at `client`:
  // a new record, or one more agreeing fill of the same tags from the same
  // source; the client's vote for these tags. Ends a search under way.
  // A store shared by several servers refuses a `mark` it holds already
  // (kReplayError) and otherwise remembers it in the same transaction; the
  // store of one server may leave that to the server's own memory.
  virtual bool Fill(const SongKey& key, const TagRecord& record, const std::string& client, std::int64_t now,
                    const RequestMark& mark, std::string& error) = 0;
  // The answer for `key`: the tags that most clients (addresses) filled in,
  // from any source (ties: the most recently filled), as the record of the
  // source with most fills of them (ties: the latest); the key is public, so
  // requests are cheap and only distinct addresses count. Else a skip period
  // in force; else a search under way;
  // else the sources that found nothing; else unknown. A `searcher` asking
  // about a song without record, skip or search starts a search under way.
  virtual bool Lookup(const SongKey& key, bool searcher, std::int64_t now, LookupOutcome& outcome,
                      std::string& error) = 0;
  // Counts a failure: of `source` when it is not empty; otherwise of the whole
  // search by the client at `client`, which ends a search under way and may
  // start a skip period. `mark` as for Fill.
  virtual bool ReportFail(const SongKey& key, const std::string& source, const std::string& client,
                          std::int64_t now, const RequestMark& mark, std::string& error) = 0;

  // Adds to the persistent count of answers per HTTP status.
  virtual bool AddRequestCounts(const std::map<int, std::int64_t>& counts, std::string& error) = 0;
  virtual bool Stats(std::int64_t now, StoreStats& stats, std::string& error) = 0;

  // Hands every item to `sink` (false from it stops the export early).
  virtual bool Export(const std::function<bool(const ExportItem&)>& sink, std::string& error) = 0;
  // Merges items in one transaction: records add their fills (first and last
  // times widened), failures add their counts, skip periods keep the later end.
  virtual bool Import(const std::vector<ExportItem>& items, std::string& error) = 0;
};

}  // namespace cache_server
