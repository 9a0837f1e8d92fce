// The process-wide memory of the answers sources gave in this process, per
// artist and title: the records they found and the sources that were asked
// and found nothing. Searches ask it first, so that an artist and title that
// were already searched (for instance the same song on another file) are not
// searched again.
//
// An answer is reused only for the same artist and the same title: both are
// compared by their keys (see Key), never by nearness, because near titles
// are often different songs ("Angel" and "Angels", "Part I" and "Part II").
// A source counts as asked only for the titles it was asked about.
//
// Two sections, basic results and lyrics, each under its own lock, each a
// hash table of artist-and-title keys holding at most `limit` titles: adding
// a new title to a full section drops the oldest one.
//
// Thread-safe: every operation holds its section's lock for its whole length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engines/StringComparer.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongInfo.h"
#include "platform/CriticalSection.h"

class CLocalTagsCache {
 public:
  // Titles per section in the process's cache: about 3 KB each.
  static constexpr std::size_t kDefaultLimit = 16384;

  explicit CLocalTagsCache(std::size_t limit = kDefaultLimit);
  CLocalTagsCache(const CLocalTagsCache&) = delete;
  CLocalTagsCache& operator=(const CLocalTagsCache&) = delete;

  // The one cache of the process, shared by every tagging object.
  static CLocalTagsCache& Instance();

  // The text under which an artist or a title is stored: trimmed, case-folded,
  // apostrophes dropped, other punctuation and runs of blanks made one blank.
  // Accents stay: a miss costs one search, a wrong hit writes another song's tags.
  // A text of punctuation only keeps its case-folded form.
  std::wstring Key(const std::wstring& text) const;

  // Records the answer of `sourceName` for `artist` and `title`. With `found`,
  // `record` is stored unless the source already gave a record of the same
  // album here (then only a missing cover file is taken from `record`).
  // Without `found`, the source is only marked as having answered, and an
  // earlier found answer of it stays untouched. An empty artist, title or
  // source name stores nothing.
  //
  // With `album`, the answer is kept apart from the title's own: it answers
  // a search that named the album, whose source may have stopped at that
  // album without looking for the title on the artist's other albums.
  void AddBasicResult(const std::wstring& artist, const std::wstring& title, const std::wstring& sourceName,
                      const Nimbrel::SongInfo& record, bool found, const std::wstring& album = std::wstring());

  // Adds every source that answered for the same artist and title to
  // `coveredSources` and appends their found records to `records`. Returns 1
  // when records were returned, 0 when the title is known only as not found,
  // -1 when it is not known.
  std::int32_t FindBasicResults(const std::wstring& artist, const std::wstring& title,
                                std::vector<Nimbrel::SongInfo>& records, std::set<std::wstring>& coveredSources,
                                const std::wstring& album = std::wstring()) const;

  // The same two operations for lyrics. A found lyrics record is stored
  // unless the source already gave one with the same text here.
  void AddLyricsResult(const std::wstring& artist, const std::wstring& title, const std::wstring& sourceName,
                       const Nimbrel::LyricsInfo& record, bool found);
  std::int32_t FindLyricsResults(const std::wstring& artist, const std::wstring& title,
                                 std::vector<Nimbrel::LyricsInfo>& records,
                                 std::set<std::wstring>& coveredSources) const;

 private:
  template <typename Record>
  struct SourceEntry {
    std::wstring source;
    std::vector<Record> records;
    bool found = false;
  };

  // Per artist-and-title key, the sources that answered, in the order of
  // their first answer; the list runs from the oldest title to the newest.
  template <typename Record>
  struct Section {
    using Entry = std::pair<std::wstring, std::vector<SourceEntry<Record>>>;
    mutable CCriticalSection lock;
    std::list<Entry> order;
    std::unordered_map<std::wstring, typename std::list<Entry>::iterator> index;
  };

  // The key of an artist, a title and, when not empty, an album together.
  std::wstring SongKey(const std::wstring& artist, const std::wstring& title, const std::wstring& album) const;

  template <typename Record>
  void Add(Section<Record>& section, const std::wstring& artist, const std::wstring& title,
           const std::wstring& sourceName, const Record& record, bool found, const std::wstring& album);
  template <typename Record>
  std::int32_t Find(const Section<Record>& section, const std::wstring& artist, const std::wstring& title,
                    std::vector<Record>& records, std::set<std::wstring>& coveredSources,
                    const std::wstring& album) const;

  const nimbrel::StringComparer comparer_;
  const std::size_t limit_;
  Section<Nimbrel::SongInfo> basic_;
  Section<Nimbrel::LyricsInfo> lyrics_;
};
