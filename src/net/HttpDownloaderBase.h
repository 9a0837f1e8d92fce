// One HTTP exchange: a downloader object opens its own session when
// constructed, performs one GET, POST or HEAD, and closes everything when
// destroyed. Every HTTP request of the library goes through it (usually
// through the free functions of Downloads.h).
//
// Texts held here are narrow: bytes in the ANSI code page (Windows-1252) as
// the callers give them, and header texts as received.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class HttpSession;
class HttpConnection;
class HttpRequest;
enum class HttpQuery;
}  // namespace platform

// The subject of a server certificate, from the lines of its subject text;
// missing lines leave the later fields empty.
struct certificateSubject {
  std::wstring lines[7];
};

// Told after every chunk of a body that arrives.
class IHttpProgressObserver {
 public:
  virtual ~IHttpProgressObserver() = default;
  virtual void OnProgress(std::uint32_t bytesReceived, std::uint32_t contentLength) = 0;
};

// Decides whether a TLS server's certificate is acceptable (GET only).
class ICertificateVerifier {
 public:
  virtual ~ICertificateVerifier() = default;
  virtual bool Verify(const certificateSubject& subject) = 0;
};

class CHttpDownloaderBase {
 public:
  // The user agent of the session; downloads usually replace it with a
  // "User-Agent" header of their own.
  static const char kSessionUserAgent[];
  // Largest body kept in memory; a larger one fails the request.
  static constexpr std::uint64_t kDefaultMaxBodyBytes = 64ull * 1024 * 1024;
  // The file being written is flushed after at least this many new bytes.
  static constexpr std::uint32_t kFlushBytes = 102400;

  // Opens the session: `proxy` is "host:port", empty for a direct
  // connection (loopback is always reached directly). A non-empty `localFile` makes DownloadData
  // write the body into that file. A failure to open is logged; every request
  // then fails. `keepAlive` leaves the connection open for later downloaders
  // of the same thread to the same host (see platform::HttpSession::Open); such
  // a downloader must be used and destroyed on the thread that made it.
  CHttpDownloaderBase(const std::string& proxy, const std::wstring& localFile, bool keepAlive = false);
  virtual ~CHttpDownloaderBase();
  CHttpDownloaderBase(const CHttpDownloaderBase&) = delete;
  CHttpDownloaderBase& operator=(const CHttpDownloaderBase&) = delete;

  // A request header for the next request; a name that reads "cookie" once
  // trimmed and lower-cased sets `cookie` instead.
  virtual void SetHeader(const std::string& name, const std::string& value);
  // Reads the body of the current response into `body` (when `keepBody`)
  // and into `localFile` (when set), chunk by chunk.
  virtual bool DownloadData();

  // GET requiring a 2xx status, then the certificate check, then the body.
  bool RequestGet(const std::string& url);
  // GET accepting any status, then the body.
  bool RequestGetAnyStatus(const std::string& url);
  // POST of `data` accepting any status, then the body.
  bool RequestPost(const std::string& url, const std::string& data);
  // HEAD without redirects accepting any status; no body is read.
  bool RequestHead(const std::string& url);

  // Splits a URL, with or without scheme, into host, port and path (without
  // the slash after the host). A missing or out-of-range port gives 443 for
  // URLs beginning with "https", else 80.
  static void CrackUrl(const std::string& url, std::string& host, int& port, std::string& path);

  // The steps the requests are made of; each returns false at a failure.
  bool OpenConnection(const std::string& verb);
  bool OpenRequest(const std::string& verb);
  // `disabledFeatures` 2 disables redirects.
  bool SetConnectionParameters(std::uint32_t disabledFeatures);
  bool SendRequest(const std::string& data);
  bool ReceiveResponse(bool acceptAnyStatus);
  bool CheckCertificate();
  bool ExtractResponseHeaders();
  // Closes the request and connection handles.
  void CloseRequest();

  // One part of the current response as a number (0 when unreadable) or text
  // (empty when missing).
  std::uint32_t GetHttpHeaderNumeric(platform::HttpRequest* request, platform::HttpQuery query);
  std::string GetHttpHeaderText(platform::HttpRequest* request, platform::HttpQuery query);

  std::unique_ptr<platform::HttpSession> session;
  std::unique_ptr<platform::HttpConnection> connection;
  std::unique_ptr<platform::HttpRequest> request;
  std::string url;
  std::string referrer;
  std::string cookie;
  std::string contentType;
  std::uint32_t contentLength = 0;
  std::string body;
  bool keepBody = true;
  std::uint32_t bytesReceived = 0;
  std::map<std::string, std::string> requestHeaders;
  // Values per header name in arrival order, names as received.
  std::map<std::string, std::vector<std::string>> responseHeaders;
  std::wstring localFile;
  // Milliseconds for connecting, sending and receiving each; 0: the defaults.
  std::uint32_t timeoutMs = 0;
  IHttpProgressObserver* progressObserver = nullptr;
  ICertificateVerifier* certificateVerifier = nullptr;
  // When set, DownloadData stops at its next chunk.
  bool abortRequested = false;
  bool secure = false;
  std::uint32_t statusCode = 0;
  std::wstring statusText;
  // Error code of the last failed HTTP client call (see platform::HttpErrorText).
  std::uint32_t lastError = 0;
  // The in-memory body's limit; a seam for tests.
  std::uint64_t maxBodyBytes = kDefaultMaxBodyBytes;
};

// "<code>: <message>" for an HTTP client error code, as log entries show it.
std::wstring HttpErrorLogText(std::uint32_t code);
