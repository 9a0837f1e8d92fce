#include "server/CacheServer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <httplib.h>

#include "platform/Env.h"
#include "platform/SocketIo.h"
#include "server/ConnectionPool.h"
#include "server/ServerLog.h"

namespace cache_server {

namespace io = platform::socket_io;

namespace {

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A connection's byte stream with a deadline for each request: every read
// waits at most the read time-out and never past the deadline, so a client
// trickling its request a byte at a time is cut off when the deadline comes.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(int fd, int readTimeoutMs, int writeTimeoutMs)
      : fd_(fd), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

  void StartRequest(std::int64_t deadlineMs) { deadlineMs_ = deadlineMs; }
  bool HasBuffered() const { return begin_ < end_; }

  bool is_readable() const override { return HasBuffered() || WaitRead() == io::Wait::kReady; }
  bool is_writable() const override { return io::WaitWritable(fd_, writeTimeoutMs_) == io::Wait::kReady; }

  ssize_t read(char* ptr, size_t size) override {
    if (!HasBuffered()) {
      // Whatever the peer should see before it sends more ("100 Continue").
      if (!Flush()) return -1;
      // Mostly the bytes are already here: the wait only when they are not.
      std::int64_t n = io::ReceiveNow(fd_, buffer_, sizeof buffer_);
      if (n == io::kWouldBlock) {
        if (WaitRead() != io::Wait::kReady) return -1;
        n = io::Receive(fd_, buffer_, sizeof buffer_);
      }
      if (n <= 0) return n < 0 ? -1 : 0;
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    const std::size_t count = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
  }

  // Collected and sent by Flush: an answer's head and body then leave in one
  // segment instead of waking the client twice.
  ssize_t write(const char* ptr, size_t size) override {
    out_.append(ptr, size);
    if (out_.size() >= kFlushBytes && !Flush()) return -1;
    return static_cast<ssize_t>(size);
  }

  bool Flush() {
    std::size_t sent = 0;
    while (sent < out_.size()) {
      const std::int64_t n = io::SendNow(fd_, out_.data() + sent, out_.size() - sent);
      if (n == io::kWouldBlock) {
        if (!is_writable()) return false;
        continue;
      }
      if (n < 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    out_.clear();
    return true;
  }

  // Asked for every request; a connection's ends never change.
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    if (peerPort_ < 0) io::PeerAddress(fd_, peer_, peerPort_);
    ip = peer_;
    port = peerPort_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    if (localPort_ < 0) io::LocalAddress(fd_, local_, localPort_);
    ip = local_;
    port = localPort_;
  }
  socket_t socket() const override { return fd_; }

 private:
  io::Wait WaitRead() const {
    const std::int64_t left = deadlineMs_ - SteadyMs();
    if (left <= 0) return io::Wait::kTimedOut;
    return io::WaitReadable(fd_, static_cast<int>(std::min<std::int64_t>(left, readTimeoutMs_)));
  }

  const int fd_;
  const int readTimeoutMs_;
  const int writeTimeoutMs_;
  static constexpr std::size_t kFlushBytes = 64 * 1024;

  std::int64_t deadlineMs_ = 0;
  std::string out_;
  mutable std::string peer_, local_;
  mutable int peerPort_ = -1, localPort_ = -1;
  char buffer_[4096];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

// httplib's server with our own connection loop: keep-alive waits that end
// as soon as the server stops, a deadline per request, and the immediate
// refusal of connections beyond the limit.
class CacheServer::FrontEnd : public httplib::Server {
 public:
  explicit FrontEnd(const ServerOptions& options) : options_(options) {}

 private:
  bool process_and_close_socket(socket_t sock) override {
    const ConnectionPool::Treatment treatment = ConnectionPool::CurrentTreatment();
    if (treatment == ConnectionPool::Treatment::kDrop) {
      io::ShutdownAndClose(sock);
      return false;
    }
    if (treatment == ConnectionPool::Treatment::kAnswerBusy) {
      static const char kBusy[] =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\nConnection: close\r\nRetry-After: 1\r\n\r\nbusy";
      io::SendNow(sock, kBusy, sizeof kBusy - 1);  // a fresh connection's buffer has room
      // A short lingering close: the request read and dropped, so that the
      // close does not reset the connection before the client reads the answer.
      io::ShutdownSend(sock);
      const std::int64_t until = SteadyMs() + 200;
      char sink[4096];
      for (std::int64_t left; (left = until - SteadyMs()) > 0;) {
        if (io::WaitReadable(sock, static_cast<int>(left)) != io::Wait::kReady) break;
        if (io::Receive(sock, sink, sizeof sink) <= 0) break;
      }
      std::string address;
      int port = 0;
      io::PeerAddress(sock, address, port);
      ServerLog::Write(LogLevel::kWarning, "503 " + address + ": too many connections");
      io::ShutdownAndClose(sock);
      return false;
    }
    // Answers go out in several writes; without this each would wait for the
    // client's delayed acknowledgement.
    io::SetNoDelay(sock);
    DeadlineStream stream(sock, options_.readTimeoutMs, options_.writeTimeoutMs);
    bool ok = true;
    for (int served = 0; served < options_.keepAliveMaxRequests; ++served) {
      if (!WaitForRequest(sock, stream)) break;
      stream.StartRequest(SteadyMs() + options_.requestTimeoutMs);
      const bool last = served + 1 == options_.keepAliveMaxRequests || svr_sock_ == INVALID_SOCKET;
      bool closed = false;
      ok = process_request(stream, last, closed, nullptr);
      if (!stream.Flush()) ok = false;
      if (!ok || closed) break;
    }
    io::ShutdownAndClose(sock);
    return ok;
  }

  // Waits for the first byte of the next request, in short slices so that a
  // stopping server does not wait out idle connections.
  bool WaitForRequest(int sock, const DeadlineStream& stream) const {
    // Bytes already here are a request in flight: served even when stopping.
    if (stream.HasBuffered() || io::WaitReadable(sock, 0) == io::Wait::kReady) return true;
    constexpr int kSliceMs = 100;
    for (int waited = 0; waited < options_.keepAliveTimeoutMs; waited += kSliceMs) {
      if (svr_sock_ == INVALID_SOCKET) return false;
      switch (io::WaitReadable(sock, std::min(kSliceMs, options_.keepAliveTimeoutMs - waited))) {
        case io::Wait::kReady:
          return true;
        case io::Wait::kFailed:
          return false;
        case io::Wait::kTimedOut:
          break;
      }
    }
    return false;
  }

  const ServerOptions& options_;
};

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
      http_(std::make_unique<FrontEnd>(options_)) {
  const std::size_t workers = options_.maxConnections;
  const std::size_t waiting = options_.waitingConnections;
  http_->new_task_queue = [workers, waiting] { return new ConnectionPool(workers, waiting); };
  http_->set_payload_max_length(options_.maxBodyBytes);
  http_->set_write_timeout(options_.writeTimeoutMs / 1000, (options_.writeTimeoutMs % 1000) * 1000);
  // Bodies are read here rather than by httplib, which would also parse a
  // form body into its parameter map and refuse form bodies over 8 KiB: a
  // fill of long texts, every byte percent-encoded, can be longer.
  const auto serve = [this](const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader) {
    std::string body;
    const bool read = reader([&body](const char* data, std::size_t size) {
      body.append(data, size);
      return true;
    });
    if (!read) {
      if (response.status != 413) response.status = 400;  // broken off or malformed
      return;
    }
    int status = 200;
    std::string answer;
    Serve(request.path, body, request.remote_addr, status, answer);
    response.status = status;
    response.set_content(answer, "text/plain; charset=utf-8");
  };
  http_->Post("/lookup.php", serve);
  http_->Post("/fill.php", serve);
  http_->Post("/reportFail.php", serve);
  http_->set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                  std::exception_ptr) {
    ServerLog::Write(LogLevel::kError, "500 " + request.remote_addr + " " + request.path + ": unexpected failure");
    response.status = 500;
    response.set_content("failure", "text/plain");
  });
  // Every answer passes here, also those httplib makes itself (404 for other
  // paths and methods, 413 for a body over the limit, 400 for a broken request).
  http_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    Count(response.status);
    if (response.status == 413) {
      ServerLog::Write(LogLevel::kWarning, "413 " + request.remote_addr + " " + request.path + ": body over " +
                                               std::to_string(options_.maxBodyBytes) + " bytes");
    } else if (response.status == 400 && request.path.empty()) {
      ServerLog::Write(LogLevel::kWarning, "400 " + request.remote_addr + ": malformed HTTP request");
    }
  });
}

CacheServer::~CacheServer() {
  Stop();
  if (flusher_.joinable()) flusher_.join();
}

bool CacheServer::Start(std::string& error) {
  if (options_.port == 0) {
    port_ = http_->bind_to_any_port(options_.host);
  } else {
    port_ = http_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
    return false;
  }
  flusher_ = std::thread([this] { FlushLoop(); });
  return true;
}

void CacheServer::Run() {
  runEntered_ = true;
  if (!stopRequested_) {
    ServerLog::Write(LogLevel::kInfo, "listening on " + options_.host + ":" + std::to_string(port_));
    http_->listen_after_bind();
  }
  runLeft_ = true;
  {
    std::lock_guard<std::mutex> lock(flushMutex_);
    flushStop_ = true;
  }
  flushWake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  FlushCounts();
  ServerLog::Write(LogLevel::kInfo, "stopped");
}

void CacheServer::Stop() {
  stopRequested_ = true;
  // A Run that has begun but not yet started listening would miss the stop.
  if (runEntered_) {
    while (!runLeft_ && !http_->is_running()) std::this_thread::yield();
  }
  http_->stop();
  {
    std::lock_guard<std::mutex> lock(flushMutex_);
    flushStop_ = true;
  }
  flushWake_.notify_all();
}

void CacheServer::Serve(const std::string& path, const std::string& body, const std::string& client, int& status,
                        std::string& answer) {
  if (!limiter_.Allow(client, SteadyMs())) {
    status = 429;
    answer = "too many requests";
    ServerLog::Write(LogLevel::kWarning, "429 " + client + " " + path + ": rate limit");
    return;
  }
  const HandlerResponse response = handler_.Handle(path, body, client, platform::Env::Current()->UnixTime());
  status = response.status;
  answer = response.body;
  if (!response.reason.empty()) {
    ServerLog::Write(status >= 500 ? LogLevel::kError : LogLevel::kWarning,
                     std::to_string(status) + " " + client + " " + path + ": " + response.reason);
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
    lock.lock();
  }
}

}  // namespace cache_server
