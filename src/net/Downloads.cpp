#include "net/Downloads.h"

#include <string>

#include "foundation/Masterlog.h"
#include "net/HttpDownload.h"
#include "net/NetText.h"
#include "platform/File.h"
#include "platform/HttpClient.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

std::string Ansi(std::wstring_view text) { return platform::ToWindows1252(text); }

// Addresses go out as percent-encoded UTF-8 (pure ASCII, which the narrow
// texts of the downloader hold unchanged), never with "#" for what the ANSI
// code page lacks: libcurl would read that as a fragment.
std::string Address(std::wstring_view url) { return RequestAddress(url); }

// The text of a downloader's last error for a log entry, at most 255 characters.
std::wstring LastErrorMessage(std::uint32_t code) {
  std::wstring text = platform::HttpErrorText(static_cast<int>(code));
  if (text.size() > 255) text.resize(255);
  return text;
}

bool IsSuccess(std::uint32_t status) { return status >= 200 && status <= 299; }

}  // namespace

bool DownloadFile(std::wstring_view url, std::wstring_view localFile, std::wstring_view proxy) {
  CHttpDownload download(Ansi(proxy), std::wstring(localFile));
  LogF(40, L"DownloadFile: %s", url);
  download.SetHeader("User-Agent", Ansi(MakeUserAgent()));
  if (!download.RequestGet(Address(url))) {
    LogF(20, L"DownloadFile: failed: %s, Proxy: %s", url, proxy);
    return false;
  }
  std::int64_t size = 0;
  platform::File file;
  if (file.Open(localFile, platform::File::Mode::kRead)) size = file.Size();
  LogF(40, L"DownloadFile: Size of downloaded file %s is %I64d", localFile, size < 0 ? 0 : size);
  return true;
}

bool DownloadText(std::wstring_view url, CString& out, std::wstring_view proxy, unsigned codePage,
                  std::wstring_view referrer, std::wstring_view userAgent) {
  out.Empty();
  CHttpDownload download(Ansi(proxy), std::wstring());
  download.referrer = Ansi(referrer);
  LogF(40, L"DownloadText: %s", url);
  const std::wstring agent = userAgent.empty() ? MakeUserAgent() : std::wstring(userAgent);
  download.SetHeader("User-Agent", Ansi(agent));
  const bool completed = download.RequestGetAnyStatus(Address(url));
  if (completed && IsSuccess(download.statusCode)) {
    LogF(40, L"DownloadText: succeeded: %s, Response: %s", url, download.statusText);
  } else {
    LogF(20, L"DownloadText: failed: %s, Proxy: %s, Response: %s, Error:%s", url, proxy, download.statusText,
         LastErrorMessage(download.lastError));
  }
  if (!completed) return false;
  out = platform::FromCodePage(download.body, codePage);
  return IsSuccess(download.statusCode);
}

bool DownloadTextMethodPost(std::wstring_view url, std::wstring_view data, CString& out, std::uint32_t& status,
                            std::wstring_view proxy, unsigned codePage, std::wstring_view referrer,
                            const PostOptions& options) {
  out.Empty();
  CHttpDownload download(Ansi(proxy), std::wstring(), options.keepAlive);
  download.timeoutMs = options.timeoutMs;
  LogF(40, L"DownloadTextMethodPost: %s %s", url, data);
  download.referrer = Ansi(referrer);
  download.SetHeader("Content-Type", "application/x-www-form-urlencoded");
  download.SetHeader("User-Agent", Ansi(MakeUserAgent()));
  const bool completed = download.RequestPost(Address(url), Ansi(data));
  status = download.statusCode;
  out = platform::FromCodePage(download.body, codePage);
  if (completed && IsSuccess(download.statusCode)) {
    LogF(40, L"DownloadTextMethodPost: succeeded: %s, Response: %s", url, download.statusText);
  } else {
    LogF(20, L"DownloadTextMethodPost: failed: %s, Proxy: %s, Response: %s, Detailed: %s, LastError:%s", url, proxy,
         download.statusText, out, LastErrorMessage(download.lastError));
  }
  return completed && IsSuccess(download.statusCode);
}

bool DownloadTextMethodPost(std::wstring_view url, std::wstring_view data, CString& out, std::wstring_view proxy,
                            unsigned codePage, std::wstring_view referrer, const PostOptions& options) {
  std::uint32_t status = 0;
  return DownloadTextMethodPost(url, data, out, status, proxy, codePage, referrer, options);
}

}  // namespace nimbrel
