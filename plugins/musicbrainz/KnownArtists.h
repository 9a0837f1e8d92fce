// What the plug-in has learnt of each artist during the run: its id and how
// its releases page, so that the artist's later titles are answered from its
// browsed releases instead of a search each.
//
// The first title asked of an artist learns it (its search's credits name
// the artist's id, and the first page of its releases is browsed); other
// threads asking of the same artist meanwhile wait for that, rather than
// each sending a search of its own. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace musicbrainz {

class KnownArtists {
 public:
  struct Artist {
    std::string id;              // empty while unknown
    bool browsable = true;       // false once browsing its releases failed
    std::int64_t releases = -1;  // as the service counts them; -1 while unknown
    std::int64_t pageSize = 0;   // releases on the first page
    std::size_t titles = 0;      // distinct titles asked of it
  };
  enum class Turn { kLearn, kKnown, kStopped };

  // Notes that `title` is asked of the artist `key` (both normalised). The
  // caller is to learn the artist (kLearn, then Learned) when nobody has;
  // waits while another thread learns it. kStopped when `stopped` answered
  // true while waiting. An empty key is never learnt.
  template <class Stopped>
  Turn Ask(const std::wstring& key, const std::wstring& title, Stopped stopped);
  // Ends the learning begun by kLearn: with `done` false the next asker learns.
  void Learned(const std::wstring& key, bool done);
  void SetId(const std::wstring& key, const std::string& id);
  void SetPaging(const std::wstring& key, bool browsable, std::int64_t releases, std::int64_t pageSize);
  Artist Get(const std::wstring& key) const;

 private:
  // Beyond these, artists learnt are forgotten (to be learnt again, from
  // the answer cache); a title count beyond the pages worth browsing
  // changes nothing.
  static constexpr std::size_t kMaxArtists = 4096;
  static constexpr std::size_t kMaxTitles = 64;

  // The entry of `key`, made when new. Called with mutex_ held.
  struct Entry;
  Entry& EntryOf(const std::wstring& key);

  struct Entry {
    Artist artist;
    std::set<std::wstring> titles;
    bool learning = false;
    bool learnt = false;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::wstring, Entry> artists_;
};

template <class Stopped>
KnownArtists::Turn KnownArtists::Ask(const std::wstring& key, const std::wstring& title, Stopped stopped) {
  if (key.empty()) return Turn::kKnown;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Entry& entry = EntryOf(key);
    if (!title.empty() && entry.titles.size() < kMaxTitles && entry.titles.insert(title).second) {
      entry.artist.titles = entry.titles.size();
    }
    if (entry.learnt) return Turn::kKnown;
    if (!entry.learning) {
      entry.learning = true;
      return Turn::kLearn;
    }
    // A stop is asked from this thread, outside the lock.
    changed_.wait_for(lock, std::chrono::milliseconds(200));
    lock.unlock();
    const bool stop = stopped();
    lock.lock();
    if (stop) return Turn::kStopped;
  }
}

}  // namespace musicbrainz
