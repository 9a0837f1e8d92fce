#include "support/HttpTestServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/File.h"
#include "platform/TcpSocket.h"
#include "platform/TextCodec.h"

namespace testing_support {

namespace {

constexpr std::size_t kMaxHeadBytes = 1 << 20;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, word.size()), word)) return true;
  }
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

const std::string* FindHeader(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return &value;
  }
  return nullptr;
}

const char* ReasonFor(int status) {
  switch (status) {
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    default: return "Redirect";
  }
}

// Buffered reading of one connection.
class Reader {
 public:
  explicit Reader(platform::TcpSocket& socket) : socket_(socket) {}

  // The request line and headers up to the blank line (leading blank lines skipped).
  bool ReadHead(std::string& head) {
    for (;;) {
      while (buffer_.rfind("\r\n", 0) == 0) buffer_.erase(0, 2);
      const std::size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 4);
        return true;
      }
      if (buffer_.size() > kMaxHeadBytes || !Fill()) return false;
    }
  }

  bool ReadLine(std::string& line) {
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos) {
      if (buffer_.size() > kMaxHeadBytes || !Fill()) return false;
    }
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
  }

  bool ReadExact(std::size_t count, std::string& out) {
    while (buffer_.size() < count) {
      if (!Fill()) return false;
    }
    out.append(buffer_, 0, count);
    buffer_.erase(0, count);
    return true;
  }

 private:
  bool Fill() {
    char chunk[16384];
    const std::int64_t n = socket_.Receive(chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  platform::TcpSocket& socket_;
  std::string buffer_;
};

// Parses the request line and headers into `request`; false when malformed.
bool ParseHead(const std::string& head, RecordedRequest& request) {
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view line = std::string_view(head).substr(0, lineEnd);
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = line.rfind(' ');
  if (space1 == std::string_view::npos || space2 == space1) return false;
  request.method = std::string(line.substr(0, space1));
  request.target = std::string(line.substr(space1 + 1, space2 - space1 - 1));
  request.version = std::string(line.substr(space2 + 1));
  if (request.method.empty() || request.target.empty() || request.version.rfind("HTTP/", 0) != 0) return false;

  std::size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    lineEnd = head.find("\r\n", pos);
    const std::string_view header = std::string_view(head).substr(pos, lineEnd - pos);
    pos = lineEnd + 2;
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    request.headers.emplace_back(std::string(header.substr(0, colon)), std::string(Trim(header.substr(colon + 1))));
  }

  std::string_view path = request.target;
  if (path.front() != '/') {  // absolute form: drop "scheme://authority"
    const std::size_t scheme = path.find("://");
    if (scheme != std::string_view::npos) {
      const std::size_t slash = path.find('/', scheme + 3);
      path = slash == std::string_view::npos ? std::string_view("/") : path.substr(slash);
    }
  }
  request.path = std::string(path.substr(0, path.find('?')));
  return true;
}

// Reads a chunked body (extensions and trailers ignored).
bool ReadChunkedBody(Reader& reader, std::string& body) {
  for (;;) {
    std::string line;
    if (!reader.ReadLine(line)) return false;
    std::size_t size = 0;
    try {
      std::size_t used = 0;
      size = std::stoul(line.substr(0, line.find(';')), &used, 16);
      if (used == 0) return false;
    } catch (const std::exception&) {
      return false;
    }
    if (size == 0) break;
    std::string crlf;
    if (!reader.ReadExact(size, body) || !reader.ReadExact(2, crlf) || crlf != "\r\n") return false;
  }
  std::string trailer;
  do {
    if (!reader.ReadLine(trailer)) return false;
  } while (!trailer.empty());
  return true;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  const std::string* value = FindHeader(headers, name);
  return value ? *value : std::string();
}

bool RecordedRequest::HasHeader(const std::string& name) const { return FindHeader(headers, name) != nullptr; }

struct HttpTestServer::Impl {
  enum class Kind { kFixed, kFile, kHandler, kStall, kSlow, kDrop, kHuge };
  struct Route {
    Kind kind = Kind::kFixed;
    HttpResponse response;
    std::string filePath;
    std::function<HttpResponse(const RecordedRequest&)> handler;
    std::size_t chunkBytes = 0;
    int delayMs = 0;
    std::size_t declaredLength = 0;
    std::uint64_t hugeBytes = 0;
  };
  struct Connection {
    platform::TcpSocket client;
    std::thread thread;
    bool done = false;
  };

  platform::TcpSocket listener;
  std::uint16_t port = 0;
  std::thread acceptThread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a request arrived, or the server stops
  bool stopping = false;
  std::map<std::string, Route> routes;
  std::vector<RecordedRequest> requests;
  std::list<Connection> connections;

  void SetRoute(const std::string& path, Route route) {
    std::lock_guard lock(mutex);
    routes[path] = std::move(route);
  }

  void AcceptLoop();
  void Serve(Connection& connection);
  // Answers one request; false when the connection must end afterwards.
  bool Answer(Connection& connection, const RecordedRequest& request, bool keepAlive);
  bool SendResponse(platform::TcpSocket& socket, const RecordedRequest& request, const HttpResponse& response,
                    bool keepAlive);
  // Waits `ms` or until the server stops; false when it stops.
  bool Pause(int ms) {
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
  }
};

void HttpTestServer::Impl::AcceptLoop() {
  for (;;) {
    platform::TcpSocket socket = listener.Accept();
    std::list<Connection> finished;
    std::unique_lock lock(mutex);
    if (stopping || !socket.IsValid()) break;
    for (auto it = connections.begin(); it != connections.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections, it);
      it = next;
    }
    Connection& connection = connections.emplace_back();
    connection.client = std::move(socket);
    connection.thread = std::thread([this, &connection] { Serve(connection); });
    lock.unlock();
    for (Connection& old : finished) old.thread.join();
  }
}

void HttpTestServer::Impl::Serve(Connection& connection) {
  Reader reader(connection.client);
  for (;;) {
    RecordedRequest request;
    std::string head;
    if (!reader.ReadHead(head)) break;
    if (!ParseHead(head, request)) {
      SendResponse(connection.client, request, {400, "Bad Request", {}, "bad request"}, false);
      break;
    }
    if (EqualsNoCase(request.Header("Expect"), "100-continue")) {
      if (!connection.client.SendAll(std::string_view("HTTP/1.1 100 Continue\r\n\r\n"))) break;
    }
    bool bodyRead = true;
    if (ContainsNoCase(request.Header("Transfer-Encoding"), "chunked")) {
      bodyRead = ReadChunkedBody(reader, request.body);
    } else if (request.HasHeader("Content-Length")) {
      try {
        bodyRead = reader.ReadExact(std::stoull(request.Header("Content-Length")), request.body);
      } catch (const std::exception&) {
        bodyRead = false;
      }
    }
    if (!bodyRead) break;

    const std::string connectionHeader = request.Header("Connection");
    const bool keepAlive = request.version == "HTTP/1.1" ? !ContainsNoCase(connectionHeader, "close")
                                                         : ContainsNoCase(connectionHeader, "keep-alive");
    {
      std::lock_guard lock(mutex);
      requests.push_back(request);
    }
    changed.notify_all();
    if (!Answer(connection, request, keepAlive) || !keepAlive) break;
  }
  std::lock_guard lock(mutex);
  connection.client.Close();
  connection.done = true;
}

bool HttpTestServer::Impl::Answer(Connection& connection, const RecordedRequest& request, bool keepAlive) {
  platform::TcpSocket& socket = connection.client;
  Route route;
  bool known;
  {
    std::lock_guard lock(mutex);
    const auto it = routes.find(request.path);
    known = it != routes.end();
    if (known) route = it->second;
  }
  if (!known) return SendResponse(socket, request, {404, "Not Found", {}, "not found"}, keepAlive);

  const bool head = request.method == "HEAD";
  switch (route.kind) {
    case Kind::kFixed:
      return SendResponse(socket, request, route.response, keepAlive);
    case Kind::kHandler: {
      HttpResponse response;
      try {
        response = route.handler(request);
      } catch (const std::exception& e) {
        response = {500, "Internal Server Error", {}, e.what()};
      } catch (...) {
        response = {500, "Internal Server Error", {}, "handler failed"};
      }
      return SendResponse(socket, request, response, keepAlive);
    }
    case Kind::kFile: {
      std::string bytes;
      if (!platform::File::ReadAll(platform::FromUtf8(route.filePath), bytes))
        return SendResponse(socket, request, {404, "Not Found", {}, "not found"}, keepAlive);
      route.response.body = std::move(bytes);
      return SendResponse(socket, request, route.response, keepAlive);
    }
    case Kind::kStall: {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return stopping; });
      return false;
    }
    case Kind::kSlow: {
      HttpResponse headers = route.response;
      headers.headers.emplace_back("Content-Length", std::to_string(headers.body.size()));
      const std::string body = std::move(headers.body);
      headers.body.clear();
      if (!SendResponse(socket, request, headers, keepAlive)) return false;
      if (head) return true;
      const std::size_t step = std::max<std::size_t>(route.chunkBytes, 1);
      for (std::size_t sent = 0; sent < body.size(); sent += step) {
        if (sent > 0 && !Pause(route.delayMs)) return false;
        if (!socket.SendAll(std::string_view(body).substr(sent, step))) return false;
      }
      return true;
    }
    case Kind::kDrop: {
      std::string text = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(route.declaredLength) + "\r\n\r\n";
      if (!head) text += route.response.body;
      socket.SendAll(text);
      socket.ShutdownSend();
      return false;
    }
    case Kind::kHuge: {
      std::string text = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                         std::to_string(route.hugeBytes) + "\r\n" + (keepAlive ? "" : "Connection: close\r\n") +
                         "\r\n";
      if (!socket.SendAll(text)) return false;
      if (head) return true;
      std::string block;
      for (std::uint64_t offset = 0; offset < route.hugeBytes;) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(route.hugeBytes - offset, 1 << 16));
        block.resize(size);
        for (std::size_t i = 0; i < size; ++i) block[i] = HttpTestServer::HugeBodyByte(offset + i);
        if (!socket.SendAll(block)) return false;
        offset += size;
      }
      return true;
    }
  }
  return false;
}

bool HttpTestServer::Impl::SendResponse(platform::TcpSocket& socket, const RecordedRequest& request,
                                        const HttpResponse& response, bool keepAlive) {
  const bool bodiless = response.status < 200 || response.status == 204 || response.status == 304;
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + response.reason + "\r\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
  if (!bodiless && !FindHeader(response.headers, "Content-Length") &&
      !FindHeader(response.headers, "Transfer-Encoding"))
    text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  if (!keepAlive && !FindHeader(response.headers, "Connection")) text += "Connection: close\r\n";
  text += "\r\n";
  if (request.method != "HEAD" && !bodiless) text += response.body;
  return socket.SendAll(text);
}

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {
  if (!impl_->listener.Listen()) throw std::runtime_error("HttpTestServer: cannot listen on 127.0.0.1");
  impl_->port = impl_->listener.LocalPort();
  impl_->acceptThread = std::thread([impl = impl_.get()] { impl->AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->listener.Shutdown();
    for (Impl::Connection& connection : impl_->connections) {
      connection.client.Shutdown();
    }
  }
  impl_->changed.notify_all();
  impl_->acceptThread.join();
  // No connection is added once the accept thread has ended.
  for (Impl::Connection& connection : impl_->connections) connection.thread.join();
}

std::uint16_t HttpTestServer::port() const { return impl_->port; }

std::string HttpTestServer::HostPort() const { return "127.0.0.1:" + std::to_string(impl_->port); }

std::string HttpTestServer::Url(const std::string& path) const { return "http://" + HostPort() + path; }

void HttpTestServer::Serve(const std::string& path, HttpResponse response) {
  Impl::Route route;
  route.response = std::move(response);
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::ServeText(const std::string& path, std::string body, std::string contentType) {
  Serve(path, {200, "OK", {{"Content-Type", std::move(contentType)}}, std::move(body)});
}

void HttpTestServer::ServeFile(const std::string& path, std::string filePath) {
  Impl::Route route;
  route.kind = Impl::Kind::kFile;
  route.response = {200, "OK", {{"Content-Type", "application/octet-stream"}}, {}};
  route.filePath = std::move(filePath);
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::Redirect(const std::string& path, std::string location, int status) {
  Serve(path, {status, ReasonFor(status), {{"Location", std::move(location)}}, {}});
}

void HttpTestServer::Handle(const std::string& path, std::function<HttpResponse(const RecordedRequest&)> handler) {
  Impl::Route route;
  route.kind = Impl::Kind::kHandler;
  route.handler = std::move(handler);
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::Stall(const std::string& path) {
  Impl::Route route;
  route.kind = Impl::Kind::kStall;
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::SendSlowly(const std::string& path, std::string body, std::size_t chunkBytes, int delayMs) {
  Impl::Route route;
  route.kind = Impl::Kind::kSlow;
  route.response = {200, "OK", {{"Content-Type", "application/octet-stream"}}, std::move(body)};
  route.chunkBytes = chunkBytes;
  route.delayMs = delayMs;
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::DropMidBody(const std::string& path, std::size_t declaredLength, std::string sentBody) {
  Impl::Route route;
  route.kind = Impl::Kind::kDrop;
  route.response.body = std::move(sentBody);
  route.declaredLength = declaredLength;
  impl_->SetRoute(path, std::move(route));
}

void HttpTestServer::ServeHuge(const std::string& path, std::uint64_t bytes) {
  Impl::Route route;
  route.kind = Impl::Kind::kHuge;
  route.hugeBytes = bytes;
  impl_->SetRoute(path, std::move(route));
}

char HttpTestServer::HugeBodyByte(std::uint64_t offset) {
  // Printable, with a prime period so that a misplaced block shows.
  return static_cast<char>('0' + offset % 251 % 75);
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::size_t HttpTestServer::RequestCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests.size();
}

bool HttpTestServer::WaitForRequests(std::size_t count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return impl_->requests.size() >= count; });
}

void HttpTestServer::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

}  // namespace testing_support
