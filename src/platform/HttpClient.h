// A blocking HTTP client in steps, in the shape of the Windows HTTP services:
// a session (user agent, proxy) opens connections (host, port), a connection
// opens requests (verb, path, referrer, TLS), and a request is configured,
// sent, answered and read chunk by chunk.
//
// Built over libcurl; no libcurl type appears here. A session owns one libcurl
// handle and serves one request at a time; requests made from different
// sessions may run on any number of threads at once.
//
// Behaviour the callers rely on:
//  - GET and POST follow redirects (at most 10; POST becomes GET after 301,
//    302 and 303 as browsers do); a request may disable them. Everything read
//    from a response (status, headers, body) is that of the final response.
//  - ReceiveResponse returns once the final response's headers are in; the
//    body is then read as it arrives, so a body cut short fails while reading.
//  - Time-outs: connecting (name resolution included) is limited, and so is
//    any stretch without data moving in either direction once connected.
//    Defaults: 60 s to connect, 30 s without data; never unlimited.
//  - TLS peers and host names are verified. HTTP/1.1 only.
//  - An empty proxy means a direct connection: the environment's proxy
//    variables are not read. A named proxy is never used for loopback
//    addresses nor for the hosts the environment's no_proxy names.
//  - A redirect never goes from https to http: the request fails.
//  - A connection ends with its request, unless the session was opened to
//    keep connections alive: the keep-alive sessions of one thread, one after
//    the other, use that thread's own handles, so a later request of the
//    thread to the same host, port, scheme and proxy may travel over a
//    connection (and resume a TLS session) that an earlier one opened. What
//    is sent and received is the same either way; a kept connection that the
//    server closed meanwhile is replaced by a fresh one. Kept connections
//    close when their thread ends. A keep-alive session must be used and
//    destroyed on the thread that opened it; a second one opened on a thread
//    while the first is alive gets handles of its own and keeps nothing.
//
// Text: host names, proxy, user agent, referrer and path are UTF-8 (a
// referrer with a line break is refused); header
// lines and bodies are bytes as on the wire. Unsafe characters of a path
// (blanks, controls, bytes above 0x7F, " < > \ ^ ` { | }) are percent-escaped;
// "%" is kept, so an already escaped path passes unchanged.
//
// Errors: a failed call returns false (or null) and leaves an error code,
// which is a libcurl result code (never 0 after a failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The message for an HTTP client error code: libcurl's text, or the system's
// for a code libcurl does not know.
std::wstring HttpErrorText(int code);

// The redirect rule: whether an address fetched over https (`fromSecure`) or
// http may be redirected to `location` (absolute, scheme-relative or
// relative); `toSecure` receives whether the new address is https.
bool RedirectKeepsTls(bool fromSecure, std::string_view location, bool& toSecure);

// The client's error code for a time-out (no data, or connecting too long).
int HttpTimeoutError();
// The client's error code for a call on a session that could not be opened.
int HttpNotOpenError();

// Trusts the certificates in the PEM file `path` (UTF-8) in place of the
// system's certificate store, for every request started afterwards; empty
// restores the system's store. Meant for tests and benchmarks that talk TLS to
// a loopback server with a certificate of their own; call it while no request
// runs.
void SetHttpTrustedCertificatesFile(const std::string& path);

class HttpConnection;
class HttpRequest;

// Parts of the final response that can be queried one by one.
enum class HttpQuery {
  kStatusCode,     // numeric
  kStatusText,     // the reason phrase of the status line
  kContentLength,  // numeric
  kContentType,
};

class HttpSession {
 public:
  // Opens a session; null with `error` set when the client cannot start.
  // `proxy` is "host:port" of an HTTP proxy, empty for a direct connection.
  // `keepAlive` leaves connections open for the thread's later requests.
  static std::unique_ptr<HttpSession> Open(const std::string& userAgent, const std::string& proxy, int& error,
                                           bool keepAlive = false);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // A connection to `host` on `port` (0: the scheme's default port). Nothing
  // is contacted yet. Fails for a host that cannot be part of an address
  // (empty, blanks, controls, "/", "?", "#", "@"). The session must outlive it.
  std::unique_ptr<HttpConnection> Connect(const std::string& host, int port, int& error);

  struct Impl;

 private:
  explicit HttpSession(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class HttpConnection {
 public:
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Opens a request for `path` (without its leading "/"; query included).
  // `referrer` may be empty. `secure` asks for TLS. `bypassCaches` adds
  // "Pragma: no-cache" and "Cache-Control: no-cache". Fails while another
  // request of the same session is open.
  std::unique_ptr<HttpRequest> OpenRequest(const std::string& verb, const std::string& path,
                                           const std::string& referrer, bool secure, bool bypassCaches,
                                           int& error);

 private:
  friend class HttpSession;
  HttpConnection(HttpSession::Impl* session, std::string host, int port);
  HttpSession::Impl* session_;
  std::string host_;
  int port_;
};

class HttpRequest {
 public:
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Limits in milliseconds; 0 keeps the default of that phase. Sending and
  // receiving share one limit for "no data moving", the larger of the two.
  bool SetTimeouts(std::uint32_t connectMs, std::uint32_t sendMs, std::uint32_t receiveMs);
  // Adds "Name: value", or replaces the value of a header of that name
  // (compared ignoring case). Fails for a line without a name before ":" or
  // with a line break or NUL in it. An empty value sends the header empty.
  bool AddOrReplaceHeader(std::string_view line);
  bool DisableRedirects();

  // Connects and sends the request with `body` as its whole content. Returns
  // once the connection stands and the request is on its way, or failed.
  bool Send(std::string_view body);
  // Waits for the final response's status line and headers.
  bool ReceiveResponse();

  // Queries of the final response; false when the part is missing or (for
  // numbers) not a decimal number of 32 bits.
  bool QueryNumber(HttpQuery query, std::uint32_t& value);
  bool QueryText(HttpQuery query, std::string& text);
  // The final response's status line followed by its header lines, as received.
  bool RawHeaders(std::vector<std::string>& lines);
  // TLS only: the server certificate's subject, one attribute value per line,
  // lines separated by "\r\n", in the order of the certificate.
  bool CertificateSubject(std::string& subject);

  // Waits until body bytes are buffered or the body ended; `available` is the
  // count buffered, 0 at the end of the body. Fails when the transfer failed
  // (connection dropped, time-out) before the end.
  bool QueryDataAvailable(std::size_t& available);
  // Takes up to `size` buffered bytes; `read` is the count taken.
  bool ReadData(void* buffer, std::size_t size, std::size_t& read);

  // The error code of the last failed call; 0 before.
  int LastError() const { return lastError_; }

  struct State;

 private:
  friend class HttpConnection;
  explicit HttpRequest(std::unique_ptr<State> state);
  bool Fail(int code);
  std::unique_ptr<State> state_;
  int lastError_ = 0;
};

}  // namespace platform
