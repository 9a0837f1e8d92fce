// The plug-ins' own HTTP client over libcurl: one GET at a time per call,
// safe to call from several threads at once.
//
// Bounded in every way a web service can misbehave: a connect time-out, a
// stall time-out (no byte for that long ends the transfer), a total time-out,
// a cap on the body (the transfer fails once the body would grow past it), at
// most five redirects, and no redirect from https to plain http. The proxy is
// the plug-in's setting only; an empty one means a direct connection, whatever
// the environment says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plugin_http {

struct Options {
  std::string userAgent;
  std::string proxy;  // "host:port" or a URL; empty: direct
  long connectTimeoutMs = 10000;
  long stallTimeoutSeconds = 20;
  long totalTimeoutSeconds = 60;
  std::size_t maxBodyBytes = 64u * 1024 * 1024;
  bool followRedirects = true;
  // Asked several times a second while the transfer runs; true ends it.
  std::function<bool()> stopped;
};

struct Response {
  // True when an HTTP answer arrived completely (whatever its status).
  bool transferred = false;
  long status = 0;
  std::string body;
  // Header names in lower case, values trimmed; of the last answer when redirected.
  std::vector<std::pair<std::string, std::string>> headers;
  // Why the transfer failed (time-out, too large, refused redirect...).
  std::string error;
  bool tooLarge = false;
  // Ended because `stopped` said so.
  bool stopped = false;
  // No connection to the service (or its proxy) could be made: the name did
  // not resolve, the connection was refused or timed out.
  bool unreachable = false;
  std::int64_t elapsedMs = 0;

  // The first value of a header (name in lower case), or empty.
  std::string Header(const std::string& lowerName) const;
};

Response Get(const std::string& url, const Options& options);

// Seconds to wait from a Retry-After value: delta seconds only (a date is
// not trusted); -1 when absent or not a number.
long RetryAfterSeconds(const std::string& value);

}  // namespace plugin_http
