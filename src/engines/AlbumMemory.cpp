#include "engines/AlbumMemory.h"

#include <algorithm>
#include <iterator>

CAlbumMemory::CAlbumMemory(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

CAlbumMemory& CAlbumMemory::Instance() {
  static CAlbumMemory memory;
  return memory;
}

std::shared_ptr<const Nimbrel::AlbumResult> CAlbumMemory::Find(const std::wstring& source,
                                                               const std::wstring& albumKey,
                                                               std::int32_t albumNumber) const {
  if (albumKey.empty()) return nullptr;
  const Key key{source, albumKey, albumNumber};
  CSingleLock lock(&lock_);
  const auto found = index_.find(key);
  return found == index_.end() ? nullptr : found->second->second;
}

void CAlbumMemory::Keep(const std::wstring& source, const Nimbrel::AlbumResult& details) {
  if (details.albumInfo.albumKey.empty()) return;
  Key key{source, details.albumInfo.albumKey, details.albumInfo.albumNumber};
  auto kept = std::make_shared<const Nimbrel::AlbumResult>(details);  // copied outside the lock
  CSingleLock lock(&lock_);
  if (index_.count(key)) return;
  if (order_.size() >= limit_) {
    index_.erase(order_.front().first);
    order_.pop_front();
  }
  order_.emplace_back(key, std::move(kept));
  index_.emplace(std::move(key), std::prev(order_.end()));
}
