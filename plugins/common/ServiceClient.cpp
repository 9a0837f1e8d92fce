#include "ServiceClient.h"

#include <chrono>
#include <cstdio>

#include "HttpClient.h"
#include "SearchStop.h"
#include "Text.h"

namespace {

using plugin_text::HostOf;

bool IsJson(const std::string& body) {
  plugin_json::Value value;
  return plugin_json::Parse(body, value).ok;
}

}  // namespace

ServiceClient::ServiceClient(std::string source, ResponseCache& cache, plugin_stats::DownloadStatistics& statistics,
                             ServicePolicy policy)
    : source_(std::move(source)),
      cache_(cache),
      statistics_(statistics),
      policy_(policy),
      limiter_(policy.intervalMs, policy.maxWaitMs) {}

void ServiceClient::Say(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& said : said_) {
      if (said == text) return;
    }
    said_.push_back(text);
  }
  std::fprintf(stderr, "%s\n", text.c_str());
}

std::string ServiceClient::Notices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto& said : said_) text += said + "\n";
  return text;
}

std::optional<std::string> ServiceClient::Cached(const std::string& url, std::int64_t lifetimeMs) {
  if (lifetimeMs <= 0) return std::nullopt;
  const PluginClock& clock = limiter_.Clock();
  return cache_.Find(url, clock.nowMs(clock.context), lifetimeMs);
}

void ServiceClient::Store(const std::string& url, const std::string& body, std::int64_t lifetimeMs) {
  const PluginClock& clock = limiter_.Clock();
  const std::int64_t now = clock.nowMs(clock.context);
  cache_.Store(url, body, now);
  bool prune = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The first answer a process stores, then every hundredth.
    prune = stores_++ % 100 == 0;
  }
  if (prune) cache_.Prune(now, lifetimeMs, policy_.cacheMaxBytes);
}

std::optional<plugin_json::Value> ServiceClient::GetJson(const std::string& url, const ServiceRequest& request) {
  if (url.empty()) return std::nullopt;
  std::optional<std::string> body = Cached(url, request.lifetimeMs);
  if (!body) {
    std::shared_ptr<Pending> pending;
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unreachable_.count(HostOf(url))) return std::nullopt;
      auto& slot = inFlight_[url];
      first = !slot;
      if (first) slot = std::make_shared<Pending>();
      pending = slot;
    }
    if (first) {
      body = Fetch(url, request);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pending->done = true;
        pending->body = body;
        inFlight_.erase(url);
      }
      answered_.notify_all();
    } else {
      body = AwaitShared(pending);
    }
  }
  plugin_json::Value value;
  if (!body || !plugin_json::Parse(*body, value).ok) return std::nullopt;
  return value;
}

std::optional<std::string> ServiceClient::AwaitShared(const std::shared_ptr<Pending>& pending) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!pending->done) {
    answered_.wait_for(lock, std::chrono::milliseconds(200));
    if (pending->done) break;
    lock.unlock();
    const bool stopped = plugin_stop::Stopped();
    lock.lock();
    if (stopped) return std::nullopt;
  }
  return pending->body;
}

std::optional<std::string> ServiceClient::Fetch(const std::string& url, const ServiceRequest& request) {
  plugin_http::Options options;
  options.userAgent = request.userAgent;
  options.proxy = request.proxy;
  options.stallTimeoutSeconds = request.stallTimeoutSeconds;
  options.totalTimeoutSeconds = request.totalTimeoutSeconds;
  options.stopped = [] { return plugin_stop::Stopped(); };
  for (int attempt = 0; attempt < policy_.maxTries; ++attempt) {
    const RateLimiter::Result slot = limiter_.Acquire(options.stopped);
    if (slot != RateLimiter::Result::kGo) return std::nullopt;
    // Another thread or process may have stored the answer during the wait.
    if (auto body = Cached(url, request.lifetimeMs)) return body;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unreachable_.count(HostOf(url))) return std::nullopt;
    }
    if (!request.contactHint.empty()) Say(source_ + ": " + request.contactHint);
    statistics_.Requested();
    const plugin_http::Response response = plugin_http::Get(url, options);
    statistics_.Took(response.elapsedMs);
    if (response.unreachable) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        unreachable_.insert(HostOf(url));
      }
      Say(source_ + ": cannot reach " + HostOf(url) + " (" + response.error + "); skipped for this run");
      return std::nullopt;
    }
    if (response.transferred && response.status == 503) {
      const long retryAfter = plugin_http::RetryAfterSeconds(response.Header("retry-after"));
      // The service's wish; without one, longer each time.
      const std::int64_t waitMs = static_cast<std::int64_t>(retryAfter >= 0 ? retryAfter : (1L << attempt)) * 1000;
      limiter_.BackOff(waitMs);
      if (waitMs > policy_.maxWaitMs) {
        // Longer than a search may wait: the service's requests are skipped until then.
        Say(source_ + ": " + HostOf(url) + " asks for a pause of " + std::to_string(waitMs / 1000) +
            " s; its requests are skipped until then");
        return std::nullopt;
      }
      continue;
    }
    if (!response.transferred || response.status != 200 || !IsJson(response.body)) return std::nullopt;
    statistics_.Succeeded();
    Store(url, response.body, request.lifetimeMs);
    return response.body;
  }
  return std::nullopt;
}
