#include "KnownArtists.h"

#include <iterator>

namespace musicbrainz {

KnownArtists::Entry& KnownArtists::EntryOf(const std::wstring& key) {
  if (artists_.size() >= kMaxArtists && !artists_.count(key)) {
    for (auto it = artists_.begin(); it != artists_.end();) {
      it = it->second.learning ? std::next(it) : artists_.erase(it);
    }
  }
  return artists_[key];
}

void KnownArtists::Learned(const std::wstring& key, bool done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = EntryOf(key);
    entry.learning = false;
    entry.learnt = done;
  }
  changed_.notify_all();
}

void KnownArtists::SetId(const std::wstring& key, const std::string& id) {
  if (key.empty() || id.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  EntryOf(key).artist.id = id;
}

void KnownArtists::SetPaging(const std::wstring& key, bool browsable, std::int64_t releases, std::int64_t pageSize) {
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Artist& artist = EntryOf(key).artist;
  artist.browsable = browsable;
  if (browsable) {
    artist.releases = releases;
    artist.pageSize = pageSize;
  }
}

KnownArtists::Artist KnownArtists::Get(const std::wstring& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = artists_.find(key);
  return found == artists_.end() ? Artist() : found->second.artist;
}

}  // namespace musicbrainz
