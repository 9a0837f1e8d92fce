// The lyrics candidates a lyrics plug-in gave for a whole artist, kept per
// source and artist with their titles prepared and indexed, so that the
// artist's later songs are matched against them without asking the plug-in
// for the artist again and without preparing every title again: one song
// then costs a hash look-up when its title is there exactly.
//
// Holds at most `limit` artists; keeping one more drops the oldest.
// Thread-safe; what Find returns is immutable and may outlive its removal.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engines/StringComparer.h"
#include "nimbrel/LyricsInfo.h"
#include "platform/CriticalSection.h"

// Candidates with their titles prepared once and an index of their exact
// (normalised) titles.
class CLyricsCandidates {
 public:
  CLyricsCandidates(const std::list<Nimbrel::LyricsInfo>& candidates, const nimbrel::StringComparer& comparer);

  std::size_t Size() const { return candidates_.size(); }
  const Nimbrel::LyricsInfo& At(std::size_t i) const { return candidates_[i]; }
  const nimbrel::StringComparer::Prepared& Title(std::size_t i) const { return titles_[i]; }
  std::size_t Units(std::size_t i) const { return units_[i]; }
  // The first candidate whose normalised title is `normalised`, or Size().
  std::size_t Exact(const std::wstring& normalised) const;

 private:
  std::vector<Nimbrel::LyricsInfo> candidates_;
  std::vector<nimbrel::StringComparer::Prepared> titles_;
  std::vector<std::size_t> units_;
  std::unordered_map<std::wstring, std::size_t> exact_;
};

class CArtistLyricsMemory {
 public:
  static constexpr std::size_t kDefaultLimit = 64;

  explicit CArtistLyricsMemory(std::size_t limit = kDefaultLimit);
  CArtistLyricsMemory(const CArtistLyricsMemory&) = delete;
  CArtistLyricsMemory& operator=(const CArtistLyricsMemory&) = delete;

  // The one memory of the process, shared by every lyrics engine.
  static CArtistLyricsMemory& Instance();

  // What `source` gave for the whole of `artist` (a normalised name), or null.
  std::shared_ptr<const CLyricsCandidates> Find(const std::wstring& source, const std::wstring& artist) const;
  // Keeps `candidates` as the whole-artist answer of `source`, replacing an
  // older one.
  void Keep(const std::wstring& source, const std::wstring& artist, std::shared_ptr<const CLyricsCandidates> candidates);

 private:
  using Key = std::pair<std::wstring, std::wstring>;
  using Entry = std::pair<Key, std::shared_ptr<const CLyricsCandidates>>;

  const std::size_t limit_;
  mutable CCriticalSection lock_;
  std::list<Entry> order_;  // oldest first
  std::map<Key, std::list<Entry>::iterator> index_;
};
