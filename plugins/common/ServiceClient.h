// The way a plug-in asks its web service, politely:
// - an answer still fresh in the answer cache costs no request, also when
//   another thread or process stored it while this one waited for its slot;
// - identical requests in flight at the same time share one answer;
// - requests keep the service's spacing (RateLimiter), 503 answers back off
//   for everyone, and a Retry-After longer than the plug-in honours gives the
//   request up and skips the service's requests until then;
// - a host that cannot be reached is said once and skipped for the rest of
//   the run, so that a machine without network tags at full speed (another
//   address set for the service is tried afresh);
// - a stop of the calling search ends a wait or a transfer within a second;
// - a missing contact address is pointed out once, at the first request.
// What the client says is written to standard error once per text and kept
// for the plug-in's property "Notices".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DownloadStatistics.h"
#include "Json.h"
#include "RateLimiter.h"
#include "ResponseCache.h"

struct ServicePolicy {
  std::int64_t intervalMs = 1000;
  // The longest back-off a request waits for.
  std::int64_t maxWaitMs = 60000;
  int maxTries = 4;
  // The answer cache's size limit.
  std::int64_t cacheMaxBytes = 256LL * 1024 * 1024;
};

struct ServiceRequest {
  std::string userAgent;
  std::string proxy;
  long stallTimeoutSeconds = 20;
  long totalTimeoutSeconds = 60;
  // How long a stored answer serves; 0 asks the service every time.
  std::int64_t lifetimeMs = 0;
  // How the user sets a contact address; empty when one is set.
  std::string contactHint;
};

class ServiceClient {
 public:
  // `source` names the plug-in in what is said; the cache and the statistics
  // belong to the plug-in and must outlive the client.
  ServiceClient(std::string source, ResponseCache& cache, plugin_stats::DownloadStatistics& statistics,
                ServicePolicy policy = {});

  RateLimiter& Limiter() { return limiter_; }
  // The answer to `url` as JSON, or nothing (failure, stop, service skipped).
  std::optional<plugin_json::Value> GetJson(const std::string& url, const ServiceRequest& request);

  // Says `text` once in this process's life of the client.
  void Say(const std::string& text);
  // Everything said so far, a line each.
  std::string Notices() const;

 private:
  struct Pending {
    bool done = false;
    std::optional<std::string> body;
  };
  std::optional<std::string> Cached(const std::string& url, std::int64_t lifetimeMs);
  std::optional<std::string> Fetch(const std::string& url, const ServiceRequest& request);
  std::optional<std::string> AwaitShared(const std::shared_ptr<Pending>& pending);
  void Store(const std::string& url, const std::string& body, std::int64_t lifetimeMs);

  const std::string source_;
  ResponseCache& cache_;
  plugin_stats::DownloadStatistics& statistics_;
  const ServicePolicy policy_;
  RateLimiter limiter_;

  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, std::shared_ptr<Pending>> inFlight_;
  std::set<std::string> unreachable_;  // hosts, as "name:port"
  std::uint64_t stores_ = 0;
  std::vector<std::string> said_;
};
