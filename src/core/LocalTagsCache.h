// The process-wide memory of every answer a source has given in this process,
// per artist and title: the records it found and the sources that were asked
// and found nothing. Searches ask it first, so that an artist and title that
// were already searched (for instance the same song on another file) are not
// searched again. It is also the basic-tags engines' album memory: the
// details of albums that matched, so an album is fetched once per process.
//
// Three sections, each under its own lock: basic results, lyrics results and
// album keys. Artists and titles are found again by the nearest stored key
// under the string difference (query first, stored key second), so that
// "song a " by "artist" finds what was stored for "Song A" by "Artist".
// Nothing is ever removed.
//
// Thread-safe: every operation holds its section's lock for its whole length.
// Only AddBasicResult holds two locks (album keys inside basic results).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engines/AlbumMemory.h"
#include "engines/StringComparer.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongInfo.h"
#include "platform/CriticalSection.h"

class CLocalTagsCache : public IAlbumMemory {
 public:
  CLocalTagsCache() = default;
  CLocalTagsCache(const CLocalTagsCache&) = delete;
  CLocalTagsCache& operator=(const CLocalTagsCache&) = delete;

  // The one cache of the process, shared by every tagging object.
  static CLocalTagsCache& Instance();

  // Records the answer of `sourceName` for `artist` and `title` (exact texts).
  // With `byArtist`, the source is remembered as having searched the whole
  // artist. With `found`, `record` is stored unless the source already gave a
  // record of the same album here (then only a missing cover file is taken
  // from `record`). Without `found`, the source is only marked as having
  // answered, and an earlier found answer of it stays untouched. An empty
  // artist, title or source name stores nothing; the record's non-empty
  // album key is remembered in every case.
  void AddBasicResult(const std::wstring& artist, const std::wstring& title, const std::wstring& sourceName,
                      const Nimbrel::SongInfo& record, bool found, bool byArtist);

  // Looks up the stored artist nearest to `artist` and, within it, the title
  // nearest to `title` (a difference below 100; an exact match wins at once,
  // equal differences go to the first key in key order). Adds the sources
  // that searched that whole artist and every source that answered for that
  // title to `coveredSources`, and appends the found records to `records`.
  // Returns 1 when records were returned, 0 when the title is known only as
  // not found, -1 when no artist or no title is near enough (the artist's
  // covered sources are still added).
  std::int32_t FindBasicResults(const std::wstring& artist, const std::wstring& title,
                                std::vector<Nimbrel::SongInfo>& records,
                                std::set<std::wstring>& coveredSources) const;

  // The same two operations for lyrics. A found lyrics record is stored
  // unless the source already gave one with the same text here. They do not
  // touch the album keys.
  void AddLyricsResult(const std::wstring& artist, const std::wstring& title, const std::wstring& sourceName,
                       const Nimbrel::LyricsInfo& record, bool found, bool byArtist);
  std::int32_t FindLyricsResults(const std::wstring& artist, const std::wstring& title,
                                 std::vector<Nimbrel::LyricsInfo>& records,
                                 std::set<std::wstring>& coveredSources) const;

  // Whether a basic record with this album key was added. Never for "".
  bool IsAlbumKnown(const std::wstring& albumKey) const;

  // The album memory, under the album keys' lock. Keeping details does not
  // make the key known to IsAlbumKnown (only a basic record does).
  std::shared_ptr<const Nimbrel::AlbumResult> FindAlbumDetails(const std::wstring& albumKey) const override;
  void KeepAlbumDetails(const Nimbrel::AlbumResult& details) override;

 private:
  // What the nearest-key scan needs to rule a key out without comparing it:
  // see ScanBound in the implementation.
  struct KeySummary {
    // How often each ASCII letter (A-Z, then a-z) and each digit 0-8 occurs
    // in the normalised text, capped at 255; sized for vector instructions.
    std::array<std::uint8_t, 64> letters{};
    std::array<std::uint8_t, 16> digits{};
    // Length of the normalised text in UTF-16 code units, the units the
    // difference works on.
    std::uint32_t units = 0;
    // Whether the normalised text holds an opening bracket, i.e. may have a
    // bracketed part whose edits are discounted.
    bool mayHaveBrackets = false;
    // A hash of the numbers outside brackets, in order and without leading
    // zeros: keys whose numbers differ name different songs ("Part 1" and
    // "Part 2"), however near their texts are.
    std::uint64_t numbers = 0;
  };

  // A key prepared once for comparing with many.
  struct PreparedKey {
    PreparedKey(const nimbrel::StringComparer& comparer, const std::wstring& text);
    nimbrel::StringComparer::Prepared prepared;
    KeySummary summary;
  };

  // Values under exact text keys, found again by the nearest key.
  //
  // Keeps an index of normalised texts (difference 0) to the first key in key
  // order with that normalisation, so an exact look-up costs no scan. When
  // no key is exact, the nearest is the first key in key order of those with
  // the smallest difference, so the scan may visit keys in any order: it runs
  // over compact summaries in the order keys were added, and compares only
  // the keys that the summaries do not rule out.
  template <typename Value>
  class NearestKeyMap {
   public:
    NearestKeyMap() = default;
    // The index and the scan order point into the map's nodes: movable, not copyable.
    NearestKeyMap(NearestKeyMap&&) = default;
    NearestKeyMap(const NearestKeyMap&) = delete;
    NearestKeyMap& operator=(const NearestKeyMap&) = delete;

    Value& GetOrAdd(const nimbrel::StringComparer& comparer, const std::wstring& key);
    // The value of the nearest key whose difference is below the threshold,
    // or null.
    const Value* FindNearest(const nimbrel::StringComparer& comparer, const PreparedKey& query) const;

   private:
    struct Slot {
      nimbrel::StringComparer::Prepared prepared;
      Value value;
    };
    using Map = std::map<std::wstring, Slot>;
    struct ScanEntry {
      KeySummary summary;
      const typename Map::value_type* entry;
    };
    struct ExactEntry {
      std::size_t hash = 0;  // of the normalised text
      const typename Map::value_type* entry = nullptr;  // null: an empty place
    };

    // The position in exactIndex_ that holds `normalised`, or the empty one
    // where it belongs. The index must not be empty.
    std::size_t ExactPosition(const std::wstring& normalised, std::size_t hash) const;
    // Makes room in the index for one more key.
    void GrowExactIndex();

    Map entries_;
    std::vector<ScanEntry> scanOrder_;
    // Per normalised text, the first key in key order with it. Open
    // addressing with linear probing; the size is a power of two at least
    // twice the number of keys.
    std::vector<ExactEntry> exactIndex_;
  };

  template <typename Record>
  struct SourceEntry {
    std::wstring source;
    std::vector<Record> records;
    bool found = false;
  };

  template <typename Record>
  struct ArtistEntry {
    // Sources that searched the whole artist, without duplicates.
    std::vector<std::wstring> artistSources;
    // Per title, the sources that answered, in the order of their first answer.
    NearestKeyMap<std::vector<SourceEntry<Record>>> titles;
  };

  template <typename Record>
  struct Section {
    mutable CCriticalSection lock;
    NearestKeyMap<ArtistEntry<Record>> artists;
  };

  // The shared steps of both result sections; the caller holds the lock.
  template <typename Record>
  void AddLocked(Section<Record>& section, const std::wstring& artist, const std::wstring& title,
                 const std::wstring& sourceName, const Record& record, bool found, bool byArtist);
  template <typename Record>
  std::int32_t FindLocked(const Section<Record>& section, const PreparedKey& artist, const PreparedKey& title,
                          std::vector<Record>& records, std::set<std::wstring>& coveredSources) const;

  const nimbrel::StringComparer comparer_;
  Section<Nimbrel::SongInfo> basic_;
  Section<Nimbrel::LyricsInfo> lyrics_;
  mutable CCriticalSection albumKeysLock_;
  std::unordered_set<std::wstring> albumKeys_;
  std::unordered_map<std::wstring, std::shared_ptr<const Nimbrel::AlbumResult>> albumDetails_;
};
