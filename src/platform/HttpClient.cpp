#include "platform/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/NoDestructor.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxRedirects = 10;
constexpr std::uint32_t kDefaultConnectMs = 60000;
constexpr std::uint32_t kDefaultNoDataMs = 30000;
// Longest single wait before the transfer's state is looked at again.
constexpr int kMaxPollMs = 1000;

// libcurl's global set-up, once per process, before the first handle.
bool GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

// The handles that keep-alive sessions of one thread use one after the other.
// With the multi interface, finished transfers leave their connections open in
// the multi handle's connection cache, where the next request of the thread to
// the same host, port, scheme and proxy finds them; the easy handle keeps its
// TLS session cache. Per thread, because libcurl does not support sharing
// connections between threads. Closed when the thread ends.
struct ThreadHandles {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  bool busy = false;  // a session of this thread holds them

  ~ThreadHandles() {
    if (multi) curl_multi_cleanup(multi);
    if (easy) curl_easy_cleanup(easy);
  }

  // The calling thread's handles, or null when a session of this thread
  // already holds them, they cannot be made, or the thread is ending (its
  // handles are gone; a request from a later destructor gets fresh ones).
  static ThreadHandles* Take();
};

// Plain thread-local values stay readable while the thread's destructors run,
// unlike an object with a destructor of its own; the cleaner closes the handles.
thread_local ThreadHandles* tlsHandles = nullptr;
thread_local bool tlsEnding = false;
struct TlsHandlesCleaner {
  ~TlsHandlesCleaner() {
    tlsEnding = true;
    delete tlsHandles;
    tlsHandles = nullptr;
  }
};
thread_local TlsHandlesCleaner tlsCleaner;

ThreadHandles* ThreadHandles::Take() {
  if (tlsEnding) return nullptr;
  if (!tlsHandles) {
    (void)&tlsCleaner;  // constructs it, so that it runs at the thread's end
    auto handles = std::make_unique<ThreadHandles>();
    handles->easy = curl_easy_init();
    handles->multi = curl_multi_init();
    if (!handles->easy || !handles->multi) return nullptr;
    tlsHandles = handles.release();
  }
  if (tlsHandles->busy) return nullptr;
  tlsHandles->busy = true;
  return tlsHandles;
}

// The trusted certificates file in force, empty for the system's store.
std::mutex& TrustedFileMutex() {
  static NoDestructor<std::mutex> mutex;
  return *mutex;
}
std::string& TrustedFile() {
  static NoDestructor<std::string> file;
  return *file;
}

// Idle multi handles, handed from one session to the next: a fresh multi handle
// costs more to set up (its hash tables, a socket pair) than a loopback
// request. Each session empties its handle before returning it, and
// connections are never kept between requests (CURLOPT_FORBID_REUSE), so a
// session inherits at most the name-resolution cache of an earlier one.
// (Keep-alive sessions use their thread's own handles, ThreadHandles, instead.)
class MultiPool {
 public:
  CURLM* Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        CURLM* multi = idle_.back();
        idle_.pop_back();
        return multi;
      }
    }
    return curl_multi_init();
  }

  void Give(CURLM* multi) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_.size() < kMaxIdle) {
        idle_.push_back(multi);
        return;
      }
    }
    curl_multi_cleanup(multi);
  }

  // Never destroyed: sessions may close while the process unloads.
  static MultiPool& Instance() {
    static NoDestructor<MultiPool> pool;
    return *pool;
  }

 private:
  static constexpr std::size_t kMaxIdle = 16;
  std::mutex mutex_;
  std::vector<CURLM*> idle_;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Percent-escapes what may not stand in the path of an address, keeping "%".
std::string EscapePath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", ch)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

// Hosts that are never reached through a proxy: loopback, and whatever the
// environment's no_proxy (or NO_PROXY) names.
std::string NoProxyList() {
  std::string list = "localhost,127.0.0.0/8,::1";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    if (Trim(value) == "*") return "*";  // libcurl knows "*" only on its own
    list += ',';
    list += value;
    break;
  }
  return list;
}

bool IsValidHost(std::string_view host) {
  if (host.empty()) return false;
  for (const char ch : host) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || std::strchr("/?#@\\", ch)) return false;
  }
  return true;
}

// Reads a decimal number of at most 32 bits; the whole text must be digits.
bool ParseNumber(std::string_view text, std::uint32_t& value) {
  text = Trim(text);
  if (text.empty()) return false;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > 0xFFFFFFFFull) return false;
  }
  value = static_cast<std::uint32_t>(n);
  return true;
}

// "HTTP/1.1 200 OK" -> 200 and "OK"; false when the line is no status line.
bool SplitStatusLine(std::string_view line, int& code, std::string_view& reason) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || line.size() < space + 4) return false;
  code = 0;
  for (std::size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    code = code * 10 + (line[i] - '0');
  }
  reason = line.size() > space + 4 ? Trim(line.substr(space + 4)) : std::string_view();
  return true;
}

// The attribute values of a one-line certificate subject such as
// "C = US, O = \"Example, Inc.\", CN = www.example.com" (separators "," or ";",
// values possibly quoted or backslash-escaped), joined by "\r\n".
std::string SubjectLines(std::string_view subject) {
  std::vector<std::string> values;
  std::string value;
  bool inQuotes = false;
  bool afterEquals = false;
  auto finish = [&] {
    if (afterEquals) values.emplace_back(Trim(value));
    value.clear();
    afterEquals = false;
  };
  for (std::size_t i = 0; i < subject.size(); ++i) {
    const char c = subject[i];
    if (c == '\\' && i + 1 < subject.size()) {
      if (afterEquals) value.push_back(subject[i + 1]);
      ++i;
    } else if (c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == ',' || c == ';' || c == '+')) {
      finish();
    } else if (!inQuotes && c == '=' && !afterEquals) {
      afterEquals = true;
      value.clear();
    } else if (afterEquals) {
      value.push_back(c);
    }
  }
  finish();
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += "\r\n";
    out += values[i];
  }
  return out;
}

}  // namespace

std::wstring HttpErrorText(int code) {
  if (code >= 0 && code < CURL_LAST) return FromUtf8(curl_easy_strerror(static_cast<CURLcode>(code)));
  return ErrorMessage(code);
}

bool RedirectKeepsTls(bool fromSecure, std::string_view location, bool& toSecure) {
  location = Trim(location);
  // A relative or scheme-relative location keeps the scheme.
  const std::size_t colon = location.find(':');
  const std::size_t delimiter = location.find_first_of("/?#");
  if (colon == std::string_view::npos || (delimiter != std::string_view::npos && delimiter < colon)) {
    toSecure = fromSecure;
    return true;
  }
  toSecure = EqualsNoCase(location.substr(0, colon), "https");
  return toSecure || !fromSecure;
}

int HttpTimeoutError() { return CURLE_OPERATION_TIMEDOUT; }

int HttpNotOpenError() { return CURLE_FAILED_INIT; }

void SetHttpTrustedCertificatesFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(TrustedFileMutex());
  TrustedFile() = path;
}

// ---------------------------------------------------------------------------
// Session

struct HttpSession::Impl {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::string userAgent;
  std::string proxy;
  bool keepAlive = false;
  // Set when `easy` and `multi` are the thread's own keep-alive handles.
  ThreadHandles* threadHandles = nullptr;
  bool requestOpen = false;

  ~Impl() {
    if (threadHandles) {
      threadHandles->busy = false;
      return;
    }
    if (multi) MultiPool::Instance().Give(multi);
    if (easy) curl_easy_cleanup(easy);
  }
};

HttpSession::HttpSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpSession::~HttpSession() = default;

std::unique_ptr<HttpSession> HttpSession::Open(const std::string& userAgent, const std::string& proxy,
                                               int& error, bool keepAlive) {
  error = 0;
  if (!GlobalInit()) {
    error = CURLE_FAILED_INIT;
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  if (keepAlive) impl->threadHandles = ThreadHandles::Take();
  if (impl->threadHandles) {
    impl->easy = impl->threadHandles->easy;
    impl->multi = impl->threadHandles->multi;
  } else {
    impl->easy = curl_easy_init();
    impl->multi = MultiPool::Instance().Take();
  }
  if (!impl->easy || !impl->multi) {
    error = CURLE_FAILED_INIT;
    return nullptr;
  }
  impl->userAgent = userAgent;
  impl->proxy = proxy;
  impl->keepAlive = impl->threadHandles != nullptr;
  return std::unique_ptr<HttpSession>(new HttpSession(std::move(impl)));
}

std::unique_ptr<HttpConnection> HttpSession::Connect(const std::string& host, int port, int& error) {
  error = 0;
  if (!IsValidHost(host) || port < 0 || port > 65535) {
    error = CURLE_URL_MALFORMAT;
    return nullptr;
  }
  return std::unique_ptr<HttpConnection>(new HttpConnection(impl_.get(), host, port));
}

// ---------------------------------------------------------------------------
// Connection

HttpConnection::HttpConnection(HttpSession::Impl* session, std::string host, int port)
    : session_(session), host_(std::move(host)), port_(port) {}
HttpConnection::~HttpConnection() = default;

// ---------------------------------------------------------------------------
// Request

struct HttpRequest::State {
  HttpSession::Impl* session = nullptr;
  std::string verb;
  std::vector<std::pair<std::string, std::string>> headers;
  curl_slist* headerList = nullptr;
  std::string body;
  std::uint32_t connectMs = kDefaultConnectMs;
  std::uint32_t noDataMs = kDefaultNoDataMs;
  bool followRedirects = true;

  bool sent = false;
  bool added = false;  // the handle is in the session's multi handle
  bool done = false;   // the transfer ended; `result` tells how
  CURLcode result = CURLE_OK;
  // Set once a connection stands; from then on the no-data limit runs.
  bool connected = false;
  Clock::time_point lastActivity;
  curl_off_t downloaded = 0;
  curl_off_t uploaded = 0;

  // Whether the address being fetched (after the redirects so far) is https.
  bool secure = false;
  bool redirectRefused = false;  // an https address redirected to http

  // Header block being received; replaced by every new status line.
  bool inBlock = false;
  std::vector<std::string> block;
  int blockStatus = 0;
  std::string blockLocation;
  // The final response's status line and header lines.
  bool headersDone = false;
  std::vector<std::string> finalHeaders;

  // Body bytes received and not yet read.
  std::string pending;
  std::size_t pendingOffset = 0;

  ~State() {
    if (added) curl_multi_remove_handle(session->multi, session->easy);
    if (headerList) curl_slist_free_all(headerList);
    session->requestOpen = false;
  }

  void Touch() { lastActivity = Clock::now(); }

  void Finish(CURLcode code) {
    done = true;
    result = redirectRefused ? CURLE_UNSUPPORTED_PROTOCOL : code;
    if (added) {
      curl_multi_remove_handle(session->multi, session->easy);
      added = false;
    }
  }

  std::size_t Buffered() const { return pending.size() - pendingOffset; }

  const std::string* FindHeader(std::string_view name) const {
    for (std::size_t i = 1; i < finalHeaders.size(); ++i) {
      const std::string& line = finalHeaders[i];
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos && EqualsNoCase(Trim(std::string_view(line).substr(0, colon)), name)) {
        return &line;
      }
    }
    return nullptr;
  }

  // Runs the transfer until `ready()` holds or the transfer ended, and ends
  // it with a time-out when no data moved for `noDataMs` once connected.
  template <typename Ready>
  void Pump(Ready ready) {
    CURLM* multi = session->multi;
    while (!done && !ready()) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        Finish(CURLE_FAILED_INIT);
        break;
      }
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == session->easy) Finish(message->data.result);
      }
      if (done || ready()) break;
      int waitMs = kMaxPollMs;
      if (connected) {
        const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity).count();
        if (idle >= static_cast<long long>(noDataMs)) {
          Finish(CURLE_OPERATION_TIMEDOUT);
          break;
        }
        waitMs = static_cast<int>(std::min<long long>(waitMs, noDataMs - idle));
      }
      if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
        Finish(CURLE_FAILED_INIT);
        break;
      }
    }
  }

  // libcurl callbacks. They must not throw; a failure to store ends the
  // transfer with a write error.
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* s = static_cast<State*>(user);
    const std::size_t bytes = size * count;
    try {
      s->Touch();
      std::string_view line(data, bytes);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
      std::string_view reason;
      int status = 0;
      if (line.substr(0, 5) == "HTTP/" && SplitStatusLine(line, status, reason)) {
        s->inBlock = true;
        s->block.assign(1, std::string(line));
        s->blockStatus = status;
        s->blockLocation.clear();
      } else if (!s->inBlock) {
        // Trailers after the body: not part of the response's headers.
      } else if (line.empty()) {
        s->inBlock = false;
        // libcurl follows any 3xx with a non-empty Location while redirects
        // are on; 1xx answers are interim. Anything else is the final response.
        const bool followed = s->followRedirects && s->blockStatus >= 300 && s->blockStatus < 400 &&
                              !s->blockLocation.empty();
        if (followed && !RedirectKeepsTls(s->secure, s->blockLocation, s->secure)) {
          s->redirectRefused = true;
          return 0;  // ends the transfer before libcurl follows
        }
        if (s->blockStatus >= 200 && !followed) {
          s->finalHeaders = std::move(s->block);
          s->headersDone = true;
        }
        s->block.clear();
      } else {
        if (StartsWithNoCase(line, "location:")) s->blockLocation = Trim(line.substr(9));
        s->block.emplace_back(line);
      }
    } catch (...) {
      return 0;
    }
    return bytes;
  }

  static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* user) {
    auto* s = static_cast<State*>(user);
    const std::size_t bytes = size * count;
    try {
      s->Touch();
      if (!s->headersDone) {
        // Body data means the headers before it were the final ones.
        s->finalHeaders = std::move(s->block);
        s->headersDone = true;
        s->inBlock = false;
      }
      if (s->pendingOffset == s->pending.size()) {
        s->pending.clear();
        s->pendingOffset = 0;
      }
      s->pending.append(data, bytes);
    } catch (...) {
      return 0;
    }
    return bytes;
  }

  static int OnPrerequest(void* user, char*, char*, int, int) {
    auto* s = static_cast<State*>(user);
    s->connected = true;
    s->Touch();
    return CURL_PREREQFUNC_OK;
  }

  static int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto* s = static_cast<State*>(user);
    if (downloaded != s->downloaded || uploaded != s->uploaded) {
      s->downloaded = downloaded;
      s->uploaded = uploaded;
      s->Touch();
    }
    return 0;
  }
};

std::unique_ptr<HttpRequest> HttpConnection::OpenRequest(const std::string& verb, const std::string& path,
                                                         const std::string& referrer, bool secure,
                                                         bool bypassCaches, int& error) {
  error = 0;
  if (session_->requestOpen || verb.empty()) {
    error = CURLE_BAD_FUNCTION_ARGUMENT;
    return nullptr;
  }
  // A referrer is sent as a header line: a line break in it would add headers.
  if (referrer.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    error = CURLE_BAD_FUNCTION_ARGUMENT;
    return nullptr;
  }
  auto state = std::make_unique<HttpRequest::State>();
  state->session = session_;
  state->verb = verb;
  state->secure = secure;
  session_->requestOpen = true;

  std::string url = secure ? "https://" : "http://";
  url += host_;
  if (port_ != 0) url += ":" + std::to_string(port_);
  url += "/";
  url += EscapePath(path);

  CURL* e = session_->easy;
  curl_easy_reset(e);
  bool ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  // Never from https to http (OnHeader also checks each step of a chain).
  ok = ok && curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK;
  if (!session_->keepAlive) ok = ok && curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK;
  {
    std::lock_guard<std::mutex> lock(TrustedFileMutex());
    if (!TrustedFile().empty()) {
      ok = ok && curl_easy_setopt(e, CURLOPT_CAINFO, TrustedFile().c_str()) == CURLE_OK;
      ok = ok && curl_easy_setopt(e, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
  }
  ok = ok && curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HttpRequest::State::OnHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, state.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HttpRequest::State::OnWrite) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, state.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &HttpRequest::State::OnPrerequest) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PREREQDATA, state.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &HttpRequest::State::OnProgress) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_XFERINFODATA, state.get()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  if (!session_->userAgent.empty()) {
    ok = ok && curl_easy_setopt(e, CURLOPT_USERAGENT, session_->userAgent.c_str()) == CURLE_OK;
  }
  // No proxy means a direct connection, whatever the environment says; a
  // proxy is never used for loopback nor for what no_proxy names.
  ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, session_->proxy.c_str()) == CURLE_OK;
  const std::string noProxy = session_->proxy.empty() ? std::string("*") : NoProxyList();
  ok = ok && curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy.c_str()) == CURLE_OK;
  if (!referrer.empty()) ok = ok && curl_easy_setopt(e, CURLOPT_REFERER, referrer.c_str()) == CURLE_OK;
  if (secure) ok = ok && curl_easy_setopt(e, CURLOPT_CERTINFO, 1L) == CURLE_OK;
  if (verb == "HEAD") {
    ok = ok && curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
  } else if (verb == "GET") {
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  } else if (verb != "POST") {
    ok = ok && curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str()) == CURLE_OK;
  }
  if (!ok) {
    error = CURLE_FAILED_INIT;
    return nullptr;  // the state's destructor frees the session again
  }
  std::unique_ptr<HttpRequest> request(new HttpRequest(std::move(state)));
  if (bypassCaches) {
    request->AddOrReplaceHeader("Pragma: no-cache");
    request->AddOrReplaceHeader("Cache-Control: no-cache");
  }
  return request;
}

HttpRequest::HttpRequest(std::unique_ptr<State> state) : state_(std::move(state)) {}
HttpRequest::~HttpRequest() = default;

bool HttpRequest::Fail(int code) {
  lastError_ = code != 0 ? code : CURLE_FAILED_INIT;
  return false;
}

bool HttpRequest::SetTimeouts(std::uint32_t connectMs, std::uint32_t sendMs, std::uint32_t receiveMs) {
  if (state_->sent) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  state_->connectMs = connectMs ? connectMs : kDefaultConnectMs;
  const std::uint32_t noData = std::max(sendMs, receiveMs);
  state_->noDataMs = noData ? noData : kDefaultNoDataMs;
  return true;
}

bool HttpRequest::AddOrReplaceHeader(std::string_view line) {
  if (state_->sent) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  }
  const std::string_view name = Trim(line.substr(0, colon));
  const std::string_view value = Trim(line.substr(colon + 1));
  if (name.empty() || name.find_first_of(" \t;:") != std::string_view::npos) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  for (auto& header : state_->headers) {
    if (EqualsNoCase(header.first, name)) {
      header.second = value;
      return true;
    }
  }
  state_->headers.emplace_back(name, value);
  return true;
}

bool HttpRequest::DisableRedirects() {
  if (state_->sent) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  state_->followRedirects = false;
  return true;
}

bool HttpRequest::Send(std::string_view body) {
  State& s = *state_;
  if (s.sent) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  s.sent = true;
  CURL* e = s.session->easy;

  bool hasAccept = false;
  bool hasExpect = false;
  for (const auto& [name, value] : s.headers) {
    hasAccept = hasAccept || EqualsNoCase(name, "Accept");
    hasExpect = hasExpect || EqualsNoCase(name, "Expect");
    // libcurl sends "Name;" as a header with an empty value.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* list = curl_slist_append(s.headerList, line.c_str());
    if (!list) return Fail(CURLE_OUT_OF_MEMORY);
    s.headerList = list;
  }
  // No accept types unless asked for, and no "Expect: 100-continue" pause
  // before large bodies: "Name:" removes a header libcurl would add.
  for (const char* removal : {hasAccept ? nullptr : "Accept:", hasExpect ? nullptr : "Expect:"}) {
    if (!removal) continue;
    curl_slist* list = curl_slist_append(s.headerList, removal);
    if (!list) return Fail(CURLE_OUT_OF_MEMORY);
    s.headerList = list;
  }

  bool ok = curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headerList) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.connectMs)) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, s.followRedirects ? 1L : 0L) == CURLE_OK;
  if (s.verb == "POST" || !body.empty()) {
    s.body.assign(body);
    ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.body.size())) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDS, s.body.c_str()) == CURLE_OK;
    if (s.verb != "POST") ok = ok && curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, s.verb.c_str()) == CURLE_OK;
  }
  if (!ok) return Fail(CURLE_FAILED_INIT);

  if (curl_multi_add_handle(s.session->multi, e) != CURLM_OK) return Fail(CURLE_FAILED_INIT);
  s.added = true;
  s.Touch();
  s.Pump([&] { return s.connected; });
  // On a fast peer the whole answer may already be in, cut short: once the
  // headers have arrived the failure belongs to reading the body, so what
  // was received stays readable.
  if (s.done && s.result != CURLE_OK && !s.headersDone) return Fail(s.result);
  return true;
}

bool HttpRequest::ReceiveResponse() {
  State& s = *state_;
  if (!s.sent) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  s.Pump([&] { return s.headersDone; });
  if (s.headersDone) return true;
  return Fail(s.result != CURLE_OK ? s.result : CURLE_GOT_NOTHING);
}

bool HttpRequest::QueryNumber(HttpQuery query, std::uint32_t& value) {
  const State& s = *state_;
  if (!s.headersDone || s.finalHeaders.empty()) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  if (query == HttpQuery::kStatusCode) {
    int code = 0;
    std::string_view reason;
    if (!SplitStatusLine(s.finalHeaders[0], code, reason)) return Fail(CURLE_WEIRD_SERVER_REPLY);
    value = static_cast<std::uint32_t>(code);
    return true;
  }
  std::string text;
  if (!QueryText(query, text)) return false;
  if (!ParseNumber(text, value)) return Fail(CURLE_WEIRD_SERVER_REPLY);
  return true;
}

bool HttpRequest::QueryText(HttpQuery query, std::string& text) {
  const State& s = *state_;
  text.clear();
  if (!s.headersDone || s.finalHeaders.empty()) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  if (query == HttpQuery::kStatusCode || query == HttpQuery::kStatusText) {
    int code = 0;
    std::string_view reason;
    if (!SplitStatusLine(s.finalHeaders[0], code, reason)) return Fail(CURLE_WEIRD_SERVER_REPLY);
    text = query == HttpQuery::kStatusCode ? std::to_string(code) : std::string(reason);
    return true;
  }
  const std::string_view name = query == HttpQuery::kContentLength ? "Content-Length" : "Content-Type";
  const std::string* line = s.FindHeader(name);
  if (!line) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  text = Trim(std::string_view(*line).substr(line->find(':') + 1));
  return true;
}

bool HttpRequest::RawHeaders(std::vector<std::string>& lines) {
  if (!state_->headersDone) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  lines = state_->finalHeaders;
  return true;
}

bool HttpRequest::CertificateSubject(std::string& subject) {
  subject.clear();
  curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(state_->session->easy, CURLINFO_CERTINFO, &info) != CURLE_OK || !info ||
      info->num_of_certs < 1) {
    return Fail(CURLE_SSL_CERTPROBLEM);
  }
  for (curl_slist* item = info->certinfo[0]; item; item = item->next) {
    const std::string_view entry(item->data);
    if (StartsWithNoCase(entry, "Subject:")) {
      subject = SubjectLines(entry.substr(8));
      return true;
    }
  }
  return Fail(CURLE_SSL_CERTPROBLEM);
}

bool HttpRequest::QueryDataAvailable(std::size_t& available) {
  State& s = *state_;
  available = 0;
  if (!s.headersDone) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
  s.Pump([&] { return s.Buffered() > 0; });
  available = s.Buffered();
  if (available == 0 && s.result != CURLE_OK) return Fail(s.result);
  return true;
}

bool HttpRequest::ReadData(void* buffer, std::size_t size, std::size_t& read) {
  State& s = *state_;
  read = std::min(size, s.Buffered());
  if (read > 0) std::memcpy(buffer, s.pending.data() + s.pendingOffset, read);
  s.pendingOffset += read;
  return true;
}

}  // namespace platform
