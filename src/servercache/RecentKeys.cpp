#include "servercache/RecentKeys.h"

bool CRecentKeys::Insert(const std::wstring& key) {
  const auto [at, added] = keys_.insert(key);
  if (!added) return false;
  order_.push_back(&*at);
  if (order_.size() > limit_) {
    keys_.erase(keys_.find(*order_.front()));
    order_.pop_front();
  }
  return true;
}
