// A per-client request budget: a token bucket per client address, refilled
// at `perSecond` up to `burst` tokens; a request without a token is refused
// (the server answers 429). Times in milliseconds of a monotonic clock handed
// in by the caller. Buckets left full for a minute are dropped when the table
// grows, so memory follows the number of active clients. Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace cache_server {

class ClientRateLimiter {
 public:
  // `perSecond` 0 switches the limit off.
  ClientRateLimiter(double perSecond, double burst);

  // Takes one token from `client`'s bucket; false when it has none.
  bool Allow(std::string_view client, std::int64_t nowMs);

 private:
  struct Bucket {
    double tokens = 0;
    std::int64_t updatedMs = 0;
  };
  void Prune(std::int64_t nowMs);

  const double perSecond_;
  const double burst_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
  std::size_t pruneAt_ = 4096;
};

}  // namespace cache_server
