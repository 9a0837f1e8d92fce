#include "server/CacheServer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/Env.h"
#include "platform/SocketIo.h"
#include "server/ServerLog.h"

namespace cache_server {

namespace io = platform::socket_io;

namespace {

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 207: return "Multi-Status";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 417: return "Expectation Failed";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
  }
  return "Unknown";
}

// An answer's bytes; `remaining`: how many more requests the connection
// will serve, 0 when it closes after this answer.
std::string FormatAnswer(int status, std::string_view body, int remaining, int keepAliveTimeoutMs) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) +
                    "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n";
  if (remaining > 0) {
    out += "Connection: keep-alive\r\nKeep-Alive: timeout=" + std::to_string(std::max(1, keepAliveTimeoutMs / 1000)) +
           ", max=" + std::to_string(remaining) + "\r\n";
  } else {
    out += "Connection: close\r\n";
  }
  if (status == 405) out += "Allow: POST\r\n";
  if (status == 503 || status == 429) out += "Retry-After: 1\r\n";
  out += "\r\n";
  out += body;
  return out;
}

bool SendAll(int fd, std::string_view bytes, int timeoutMs) {
  while (!bytes.empty()) {
    const std::int64_t n = io::SendNow(fd, bytes.data(), bytes.size());
    if (n == io::kWouldBlock) {
      if (io::WaitWritable(fd, timeoutMs) != io::Wait::kReady) return false;
      continue;
    }
    if (n < 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Closes after an answer to a request that may not have been read to its
// end: sending ends first and what the client still sends is read and
// dropped for a short while (at most a second, 4 MiB, or 200 ms of silence),
// so that the close does not reset the connection before a client that
// writes its whole request before reading has read the answer.
void LingeringClose(int fd) {
  io::ShutdownSend(fd);
  const std::int64_t until = SteadyMs() + 1000;
  char sink[16384];
  std::int64_t dropped = 0;
  for (std::int64_t left; dropped < 4 * 1024 * 1024 && (left = until - SteadyMs()) > 0;) {
    if (io::WaitReadable(fd, static_cast<int>(std::min<std::int64_t>(left, 200))) != io::Wait::kReady) break;
    const std::int64_t n = io::Receive(fd, sink, sizeof sink);
    if (n <= 0) break;
    dropped += n;
  }
  io::ShutdownAndClose(fd);
}

}  // namespace

bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) host = "127.0.0.1";
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  port = std::stoi(digits);
  return port <= 65535;
}

CacheServer::CacheServer(TagStore& store, ServerOptions options)
    : store_(store),
      options_(std::move(options)),
      authenticator_(options_.key, options_.clockSkewS),
      handler_(store_, authenticator_),
      limiter_(options_.ratePerSecond, options_.rateBurst),
      httpLimits_{options_.maxBodyBytes, std::min<std::size_t>(8 * 1024, options_.maxHeaderBytes),
                  options_.maxHeaderBytes, options_.maxHeaderCount, options_.readTimeoutMs,
                  options_.requestTimeoutMs},
      pool_(std::make_unique<ConnectionPool>(
          ConnectionPool::Limits{options_.maxConnections, options_.waitingConnections,
                                 options_.maxConnectionsPerAddress, options_.trustedProxy},
          [this](int fd, const std::string& address) { ServeConnection(fd, address); },
          [this](int fd, const std::string& address, ConnectionPool::Refusal why, bool answer) {
            RefuseConnection(fd, address, why, answer);
          })) {}

CacheServer::~CacheServer() {
  Stop();
  pool_->Shutdown();
  if (flusher_.joinable()) flusher_.join();
  if (listenFd_ >= 0) io::Close(listenFd_);
}

bool CacheServer::Start(std::string& error) {
  std::string why;
  listenFd_ = io::Listen(options_.host, options_.port, options_.backlog, port_, why);
  if (listenFd_ < 0) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " + why;
    return false;
  }
  flusher_ = std::thread([this] { FlushLoop(); });
  return true;
}

void CacheServer::Run() {
  if (!stopRequested_ && listenFd_ >= 0) {
    ServerLog::Write(LogLevel::kInfo, "listening on " + options_.host + ":" + std::to_string(port_));
    // Short waits, so that a stop is noticed soon; every waiting connection
    // is taken at each wake.
    while (!stopRequested_) {
      if (io::WaitReadable(listenFd_, 100) == io::Wait::kFailed) break;
      std::string address;
      for (int fd; !stopRequested_ && (fd = io::AcceptNow(listenFd_, address)) >= 0;) pool_->Admit(fd, address);
    }
    io::Close(listenFd_);
    listenFd_ = -1;
  }
  // The connections taken in are served to their end (idle ones close at once).
  pool_->Shutdown();
  {
    std::lock_guard<std::mutex> lock(flushMutex_);
    flushStop_ = true;
  }
  flushWake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  FlushCounts();
  refusals_.Flush(SteadyMs(), true);
  ServerLog::Write(LogLevel::kInfo, "stopped");
}

void CacheServer::Stop() {
  stopRequested_ = true;
  {
    std::lock_guard<std::mutex> lock(flushMutex_);
    flushStop_ = true;
  }
  flushWake_.notify_all();
}

void CacheServer::RefuseConnection(int fd, const std::string& address, ConnectionPool::Refusal why, bool answer) {
  const std::string reason = why == ConnectionPool::Refusal::kAddressFull
                                 ? "too many connections from this address"
                                 : "too many connections";
  if (answer) {
    // A fresh connection's buffer has room for the answer.
    const std::string busy = FormatAnswer(503, "busy", 0, options_.keepAliveTimeoutMs);
    io::SendNow(fd, busy.data(), busy.size());
    // Briefly: the refuser answers the refused one by one.
    io::ShutdownSend(fd);
    const std::int64_t until = SteadyMs() + 200;
    char sink[4096];
    for (std::int64_t left; (left = until - SteadyMs()) > 0;) {
      if (io::WaitReadable(fd, static_cast<int>(left)) != io::Wait::kReady) break;
      if (io::Receive(fd, sink, sizeof sink) <= 0) break;
    }
  }
  io::ShutdownAndClose(fd);
  Count(503);
  LogRefusal(503, address, "503 " + address + ": " + reason + (answer ? "" : ", closed unanswered"));
}

bool CacheServer::WaitForRequest(int fd, const HttpRequestReader& reader) const {
  // Bytes already here are a request in flight: served even when stopping.
  if (reader.HasBuffered() || io::WaitReadable(fd, 0) == io::Wait::kReady) return true;
  // Short slices: a stop, or connections waiting for a worker, end the wait early.
  constexpr int kSliceMs = 50;
  for (int waited = 0;; waited += kSliceMs) {
    if (stopRequested_ || waited >= options_.keepAliveTimeoutMs) return false;
    // Idle past the short time-out while connections wait: one idle
    // connection per waiting one makes room.
    if (waited >= options_.crowdedIdleTimeoutMs && pool_->Crowded() && pool_->GiveWay()) return false;
    switch (io::WaitReadable(fd, std::min(kSliceMs, options_.keepAliveTimeoutMs - waited))) {
      case io::Wait::kReady:
        return true;
      case io::Wait::kFailed:
        return false;
      case io::Wait::kTimedOut:
        break;
    }
  }
}

std::string CacheServer::ClientOf(const std::string& address, const HttpRequest& request) const {
  if (options_.trustedProxy.empty() || address != options_.trustedProxy) return address;
  // Only the last entry is the proxy's own: those before it are whatever
  // the client sent. Anything but an address counts as the proxy.
  const std::size_t comma = request.forwardedFor.rfind(',');
  std::string last = request.forwardedFor.substr(comma == std::string::npos ? 0 : comma + 1);
  last.erase(0, last.find_first_not_of(" \t"));
  last.erase(last.find_last_not_of(" \t") + 1);
  unsigned char bytes[16];
  const bool valid = inet_pton(AF_INET, last.c_str(), bytes) == 1 || inet_pton(AF_INET6, last.c_str(), bytes) == 1;
  return valid ? last : address;
}

void CacheServer::ServeConnection(int fd, const std::string& address) {
  // Answers go out in several writes; without this each would wait for the
  // client's delayed acknowledgement.
  io::SetNoDelay(fd);
  HttpRequestReader reader(fd, httpLimits_);
  bool linger = false;
  for (int served = 0; served < options_.keepAliveMaxRequests; ++served) {
    if (!WaitForRequest(fd, reader)) break;
    HttpRequest request;
    int status = 0;
    std::string reason, answer;
    const HttpRequestReader::Result result = reader.Read(request, status, reason);
    if (result == HttpRequestReader::Result::kBroken) break;
    bool close = true;
    if (result == HttpRequestReader::Result::kRefused) {
      answer = StatusText(status);
      LogRefusal(status, address, std::to_string(status) + " " + address + " " + request.path + ": " + reason);
      linger = true;
    } else {
      Serve(request.path, request.body, ClientOf(address, request), status, answer, reason);
      // An answer with a reason is a refusal or a failure: the connection
      // ends with it, as after the HTTP layer's own refusals.
      close = !request.keepAlive || !reason.empty() || served + 1 >= options_.keepAliveMaxRequests ||
              stopRequested_;
    }
    Count(status);
    const int remaining = close ? 0 : options_.keepAliveMaxRequests - served - 1;
    if (!SendAll(fd, FormatAnswer(status, answer, remaining, options_.keepAliveTimeoutMs), options_.writeTimeoutMs)) {
      linger = false;
      break;
    }
    if (close) break;
  }
  if (linger) {
    LingeringClose(fd);
  } else {
    io::ShutdownAndClose(fd);
  }
}

void CacheServer::LogRefusal(int status, const std::string& address, const std::string& text) {
  refusals_.Note(SteadyMs(), status == 500 ? LogLevel::kError : LogLevel::kWarning, status,
                 address, text);
}

void CacheServer::Serve(const std::string& path, const std::string& body, const std::string& client, int& status,
                        std::string& answer, std::string& reason) {
  if (!limiter_.Allow(client, SteadyMs())) {
    status = 429;
    answer = "too many requests";
    reason = "rate limit";
    LogRefusal(status, client, "429 " + client + " " + path + ": rate limit");
    return;
  }
  HandlerResponse response;
  try {
    response = handler_.Handle(path, body, client, platform::Env::Current()->UnixTime());
  } catch (const std::exception& e) {
    response.status = 500;
    response.body = "failure";
    response.reason = std::string("unexpected failure: ") + e.what();
  }
  status = response.status;
  answer = response.body;
  reason = response.reason;
  if (!response.reason.empty()) {
    LogRefusal(status, client, std::to_string(status) + " " + client + " " + path + ": " + response.reason);
  } else if (ServerLog::Enabled(LogLevel::kDebug)) {
    ServerLog::Write(LogLevel::kDebug, std::to_string(status) + " " + client + " " + path);
  }
}

void CacheServer::Count(int status) {
  std::lock_guard<std::mutex> lock(countsMutex_);
  ++counts_[status];
}

void CacheServer::FlushCounts() {
  std::map<int, std::int64_t> counts;
  {
    std::lock_guard<std::mutex> lock(countsMutex_);
    counts.swap(counts_);
  }
  if (counts.empty()) return;
  std::string error;
  if (!store_.AddRequestCounts(counts, error)) {
    ServerLog::Write(LogLevel::kError, "cannot store the request counts: " + error);
  }
}

void CacheServer::FlushLoop() {
  std::unique_lock<std::mutex> lock(flushMutex_);
  while (!flushStop_) {
    flushWake_.wait_for(lock, std::chrono::seconds(10), [this] { return flushStop_; });
    lock.unlock();
    FlushCounts();
    refusals_.Flush(SteadyMs());
    lock.lock();
  }
}

}  // namespace cache_server
