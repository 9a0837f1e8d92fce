// The library's ways of talking HTTP: a GET into a file, a GET or a form POST
// into text. Each call uses its own downloader (one session, one request),
// sends a randomised browser user agent and logs its outcome. Safe to call
// from any number of threads at once.
//
// `proxy` is "host:port" as resolved from the settings, empty for a direct
// connection; loopback addresses and what no_proxy names are always reached
// directly. An address is sent as percent-encoded UTF-8. `codePage`
// decodes the received bytes: 65001 is UTF-8, 0 (and anything else) the ANSI
// code page, Windows-1252.
#pragma once

#include <cstdint>
#include <string_view>

#include "nimbrel/CString.h"

namespace nimbrel {

// GET of `url` into the file `localFile`. True when the status was 2xx and the
// whole body was written. On an error status no file is created; a transfer
// that breaks off leaves the part written so far and returns false.
bool DownloadFile(std::wstring_view url, std::wstring_view localFile, std::wstring_view proxy);

// GET of `url` into `out`. True for a status 200 to 299. For another status
// `out` still holds the body (an error page); when no complete response
// arrived `out` is empty. An empty `userAgent` sends a randomised one.
bool DownloadText(std::wstring_view url, CString& out, std::wstring_view proxy, unsigned codePage = 0,
                  std::wstring_view referrer = {}, std::wstring_view userAgent = {});

// How a POST travels; the defaults are those of every other download.
struct PostOptions {
  // Leave the connection open for later keep-alive requests of the calling
  // thread to the same host.
  bool keepAlive = false;
  // Milliseconds for connecting and for any stretch without data; 0: the
  // client's defaults.
  std::uint32_t timeoutMs = 0;
};

// POST of the form data `data` (application/x-www-form-urlencoded) to `url`.
// `status` is the response's status, 0 when none arrived; `out` holds whatever
// body arrived, also on failure. True for a status 200 to 299.
bool DownloadTextMethodPost(std::wstring_view url, std::wstring_view data, CString& out, std::uint32_t& status,
                            std::wstring_view proxy, unsigned codePage = 0, std::wstring_view referrer = {},
                            const PostOptions& options = {});
// The same without the status.
bool DownloadTextMethodPost(std::wstring_view url, std::wstring_view data, CString& out, std::wstring_view proxy,
                            unsigned codePage = 0, std::wstring_view referrer = {}, const PostOptions& options = {});

}  // namespace nimbrel
