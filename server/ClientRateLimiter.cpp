#include "server/ClientRateLimiter.h"

#include <algorithm>

namespace cache_server {

ClientRateLimiter::ClientRateLimiter(double perSecond, double burst)
    : perSecond_(perSecond), burst_(std::max(burst, 1.0)) {}

bool ClientRateLimiter::Allow(std::string_view client, std::int64_t nowMs) {
  if (perSecond_ <= 0) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, added] = buckets_.try_emplace(std::string(client));
  Bucket& bucket = it->second;
  if (added) {
    bucket.tokens = burst_;
  } else if (nowMs > bucket.updatedMs) {
    bucket.tokens = std::min(burst_, bucket.tokens + (nowMs - bucket.updatedMs) * perSecond_ / 1000.0);
  }
  bucket.updatedMs = std::max(bucket.updatedMs, nowMs);
  if (buckets_.size() > pruneAt_) Prune(nowMs);
  if (bucket.tokens < 1.0) return false;
  bucket.tokens -= 1.0;
  return true;
}

void ClientRateLimiter::Prune(std::int64_t nowMs) {
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    const double refilled = it->second.tokens + (nowMs - it->second.updatedMs) * perSecond_ / 1000.0;
    if (refilled >= burst_ && nowMs - it->second.updatedMs > 60000) {
      it = buckets_.erase(it);
    } else {
      ++it;
    }
  }
  pruneAt_ = std::max<std::size_t>(4096, buckets_.size() * 2);
}

}  // namespace cache_server
