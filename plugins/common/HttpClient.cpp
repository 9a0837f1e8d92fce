#include "HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>

namespace plugin_http {

namespace {

std::once_flag curlInit;

struct Transfer {
  Response* response;
  std::size_t cap;
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  if (t->response->body.size() + bytes > t->cap) {
    t->response->tooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  t->response->body.append(data, bytes);
  return bytes;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  std::string line(data, bytes);
  // A new status line starts the headers of the next answer (after a redirect).
  if (line.rfind("HTTP/", 0) == 0) {
    t->response->headers.clear();
    return bytes;
  }
  const auto colon = line.find(':');
  if (colon == std::string::npos) return bytes;
  std::string name = line.substr(0, colon);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  std::string value = line.substr(colon + 1);
  const auto first = value.find_first_not_of(" \t");
  const auto last = value.find_last_not_of(" \t\r\n");
  value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
  t->response->headers.emplace_back(std::move(name), std::move(value));
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* stopped = static_cast<const std::function<bool()>*>(user);
  return (*stopped)() ? 1 : 0;
}

bool IsUnreachable(CURLcode code, CURL* curl) {
  if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT)
    return true;
  // A time-out before the connection stood.
  curl_off_t connected = 0;
  return code == CURLE_OPERATION_TIMEDOUT && curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected) == CURLE_OK &&
         connected == 0;
}

}  // namespace

std::string Response::Header(const std::string& lowerName) const {
  for (const auto& h : headers) {
    if (h.first == lowerName) return h.second;
  }
  return std::string();
}

Response Get(const std::string& url, const Options& options) {
  std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  Response response;
  CURL* curl = curl_easy_init();
  if (!curl) {
    response.error = "cannot create a transfer";
    return response;
  }
  Transfer transfer{&response, options.maxBodyBytes};
  const bool secure = url.rfind("https://", 0) == 0;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https");
  // Once on https, never fall back to plain http.
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, options.followRedirects ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.totalTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, options.stallTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options.maxBodyBytes));
  curl_easy_setopt(curl, CURLOPT_PROXY, options.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  if (!options.userAgent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, options.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  if (options.stopped) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &options.stopped);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  struct curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  const auto start = std::chrono::steady_clock::now();
  const CURLcode code = curl_easy_perform(curl);
  response.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (code == CURLE_OK) {
    response.transferred = true;
  } else {
    if (code == CURLE_FILESIZE_EXCEEDED) response.tooLarge = true;
    response.stopped = code == CURLE_ABORTED_BY_CALLBACK;
    response.unreachable = IsUnreachable(code, curl);
    response.error = response.tooLarge ? "body too large" : curl_easy_strerror(code);
    response.body.clear();
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return response;
}

long RetryAfterSeconds(const std::string& value) {
  if (value.empty() || value.size() > 9) return -1;
  long seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

}  // namespace plugin_http
