// A small HTTP/1.1 server for tests, on 127.0.0.1 with an ephemeral port.
// It answers from routes set by the test, records every request it receives,
// and can misbehave on purpose (stall, trickle, drop the connection, send a
// huge body). It also answers requests in absolute form ("GET
// http://host/path HTTP/1.1") by their path, so it can stand in for a proxy
// whose records show that it was used.
//
// Routes match the path of the request target without its query, for any
// method (an absolute-form target is matched by its path). An unknown path answers 404 with the body "not found". Every answer
// carries Content-Length unless a behaviour below says otherwise, or the
// route's own headers carry Content-Length or Transfer-Encoding (then the body
// is sent exactly as given), or the status is 1xx, 204 or 304 (no body). HEAD
// gets the headers only. The server keeps connections alive as HTTP/1.1
// allows: until the client sends "Connection: close" (answered with
// "Connection: close"), or after an HTTP/1.0 request without
// "Connection: keep-alive". "Expect: 100-continue" is answered with
// "100 Continue" before the body is read. Request bodies are read by
// Content-Length or chunked transfer coding. A malformed request gets 400 and
// the connection ends.
//
// Thread-safe: routes may be changed and requests read while clients talk to
// the server. A thread serves each connection. The destructor stops the
// server, ends stalled and slow answers, closes every connection and joins
// every thread it started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string target;  // as on the request line, query included
  std::string path;    // target without the query (for absolute-form targets: the path part)
  std::string version;
  HttpHeaders headers;  // in arrival order, names as sent
  std::string body;

  // The first value of a header, name compared ignoring case; empty when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct HttpResponse {
  int status = 200;
  std::string reason = "OK";
  HttpHeaders headers;  // sent in this order after the status line
  std::string body;
};

class HttpTestServer {
 public:
  HttpTestServer();  // listening when constructed; throws std::runtime_error when it cannot listen
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::uint16_t port() const;
  // "127.0.0.1:<port>"
  std::string HostPort() const;
  // "http://127.0.0.1:<port>" followed by `path` (which should start with "/").
  std::string Url(const std::string& path) const;

  // Fixed answer.
  void Serve(const std::string& path, HttpResponse response);
  // 200 with the body and Content-Type.
  void ServeText(const std::string& path, std::string body, std::string contentType = "text/plain");
  // 200 with the bytes of a file read when the request comes (404 when it
  // cannot be read). `filePath` is UTF-8.
  void ServeFile(const std::string& path, std::string filePath);
  // A redirect (301, 302, 303, 307 or 308) to `location`.
  void Redirect(const std::string& path, std::string location, int status = 302);
  // Answer computed per request, on the connection's thread, without any
  // lock of the server held. An exception gives 500 with its text as body.
  void Handle(const std::string& path, std::function<HttpResponse(const RecordedRequest&)> handler);

  // Reads the request, then sends nothing until the server is destroyed,
  // which closes the connection.
  void Stall(const std::string& path);
  // Sends the headers at once, then the body in pieces of `chunkBytes`
  // with `delayMs` between them (cut short when the server is destroyed).
  void SendSlowly(const std::string& path, std::string body, std::size_t chunkBytes, int delayMs);
  // 200 declaring Content-Length `declaredLength`, sends `sentBody` (shorter),
  // then closes the connection.
  void DropMidBody(const std::string& path, std::size_t declaredLength, std::string sentBody);
  // 200 with a generated body of `bytes` bytes (a repeating pattern, see
  // HugeBodyByte), streamed without holding it in memory.
  void ServeHuge(const std::string& path, std::uint64_t bytes);
  static char HugeBodyByte(std::uint64_t offset);


  // Every request received so far, in arrival order.
  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;
  // Blocks until at least `count` requests have arrived or `timeoutMs`
  // passed; true when they arrived.
  bool WaitForRequests(std::size_t count, int timeoutMs) const;
  void ClearRequests();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
