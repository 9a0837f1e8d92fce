// The tag-cache server's HTTP side: listens, serves each connection on a
// worker of its ConnectionPool, reads requests strictly (HttpRequestReader),
// enforces the limits (body and header sizes, connections in all and per
// address, per-client rate, a deadline for reading each request so that a
// slow client cannot hold a worker), hands each request to the
// RequestHandler and logs refusals with their reasons (RefusalLog: a flood
// is summarised). Any error answer closes its connection, so that a request
// the server did not understand cannot leave bytes that would be read as
// another. Counts the answers per status and adds them to the store every
// ten seconds and when it stops.
//
// Start binds (port 0: any free port), Run serves until Stop, which may be
// called from any thread (a signal waiter): it stops accepting, lets the
// requests in flight finish and their answers go out, then Run returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/ClientRateLimiter.h"
#include "server/ConnectionPool.h"
#include "server/HttpRequestReader.h"
#include "server/RefusalLog.h"
#include "server/RequestAuthenticator.h"
#include "server/RequestHandler.h"
#include "server/TagStore.h"

namespace cache_server {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8377;
  std::string key;                    // the signing key's bytes
  std::int64_t clockSkewS = 600;      // how far a request's timestamp may stray
  std::size_t maxBodyBytes = 16 * 1024;
  std::size_t maxConnections = 64;
  std::size_t waitingConnections = 64;  // beyond maxConnections, before 503
  std::size_t maxConnectionsPerAddress = 16;
  int backlog = 0;                      // pending connections; 0: the system's maximum
  std::size_t maxHeaderBytes = 32 * 1024;
  std::size_t maxHeaderCount = 64;
  double ratePerSecond = 50;           // per client address; 0: no limit
  double rateBurst = 200;
  int readTimeoutMs = 5000;            // longest silence within a request
  int requestTimeoutMs = 10000;        // longest time to receive one request
  int keepAliveTimeoutMs = 5000;       // longest wait for the next request
  int crowdedIdleTimeoutMs = 200;      // the same while connections wait for a worker
  int keepAliveMaxRequests = 1000;
  int writeTimeoutMs = 5000;
  // The address of a reverse proxy in front: its requests are counted (votes,
  // failure reports, rate) by the last address of their X-Forwarded-For
  // header, which that proxy appends, and its connections are not limited
  // per address. Empty: every client is its connection's address.
  std::string trustedProxy;
};

// "host:port", "[v6]:port" or ":port" (host 127.0.0.1) into its parts.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

class CacheServer {
 public:
  // `store` must outlive the server.
  CacheServer(TagStore& store, ServerOptions options);
  ~CacheServer();
  CacheServer(const CacheServer&) = delete;
  CacheServer& operator=(const CacheServer&) = delete;

  // Binds and listens; false with `error` when the address cannot be used.
  bool Start(std::string& error);
  // The port listened on (after Start).
  int port() const { return port_; }
  // Serves until Stop; flushes the status counts before returning.
  void Run();
  void Stop();

 private:
  void ServeConnection(int fd, const std::string& address);
  // The client a request is counted as (see trustedProxy).
  std::string ClientOf(const std::string& address, const HttpRequest& request) const;
  void RefuseConnection(int fd, const std::string& address, ConnectionPool::Refusal why, bool answer);
  bool WaitForRequest(int fd, const HttpRequestReader& reader) const;
  // `reason` is set for a refusal or failure.
  void Serve(const std::string& path, const std::string& body, const std::string& client, int& status,
             std::string& answer, std::string& reason);
  void LogRefusal(int status, const std::string& address, const std::string& text);
  void Count(int status);
  void FlushCounts();
  void FlushLoop();

  TagStore& store_;
  const ServerOptions options_;
  RequestAuthenticator authenticator_;
  RequestHandler handler_;
  ClientRateLimiter limiter_;
  const HttpLimits httpLimits_;
  RefusalLog refusals_;
  std::unique_ptr<ConnectionPool> pool_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopRequested_{false};

  std::mutex countsMutex_;
  std::map<int, std::int64_t> counts_;
  std::mutex flushMutex_;
  std::condition_variable flushWake_;
  bool flushStop_ = false;
  std::thread flusher_;
};

}  // namespace cache_server
