#include "engines/ArtistLyricsMemory.h"

#include <algorithm>
#include <iterator>

#include "engines/SearchSongs.h"

CLyricsCandidates::CLyricsCandidates(const std::list<Nimbrel::LyricsInfo>& candidates,
                                     const nimbrel::StringComparer& comparer)
    : candidates_(candidates.begin(), candidates.end()) {
  titles_.reserve(candidates_.size());
  units_.reserve(candidates_.size());
  exact_.reserve(candidates_.size());
  for (std::size_t i = 0; i < candidates_.size(); ++i) {
    titles_.push_back(comparer.Prepare(candidates_[i].title.c_str()));
    units_.push_back(engines::Utf16Units(titles_.back().Normalised()));
    exact_.emplace(titles_.back().Normalised(), i);  // the first of equal titles stays
  }
}

std::size_t CLyricsCandidates::Exact(const std::wstring& normalised) const {
  const auto found = exact_.find(normalised);
  return found == exact_.end() ? candidates_.size() : found->second;
}

CArtistLyricsMemory::CArtistLyricsMemory(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

CArtistLyricsMemory& CArtistLyricsMemory::Instance() {
  static CArtistLyricsMemory memory;
  return memory;
}

std::shared_ptr<const CLyricsCandidates> CArtistLyricsMemory::Find(const std::wstring& source,
                                                                   const std::wstring& artist) const {
  CSingleLock lock(&lock_);
  const auto found = index_.find(Key{source, artist});
  return found == index_.end() ? nullptr : found->second->second;
}

void CArtistLyricsMemory::Keep(const std::wstring& source, const std::wstring& artist,
                               std::shared_ptr<const CLyricsCandidates> candidates) {
  if (!candidates) return;
  Key key{source, artist};
  CSingleLock lock(&lock_);
  if (const auto found = index_.find(key); found != index_.end()) {
    order_.erase(found->second);
    index_.erase(found);
  }
  if (order_.size() >= limit_) {
    index_.erase(order_.front().first);
    order_.pop_front();
  }
  order_.emplace_back(key, std::move(candidates));
  index_.emplace(std::move(key), std::prev(order_.end()));
}
