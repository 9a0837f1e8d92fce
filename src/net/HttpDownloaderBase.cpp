#include "net/HttpDownloaderBase.h"

#include <exception>
#include <new>
#include <utility>

#include "foundation/Masterlog.h"
#include "nimbrel/CString.h"
#include "platform/File.h"
#include "platform/HttpClient.h"
#include "platform/TextCodec.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Wide text of an ANSI (Windows-1252) narrow text, trimmed.
CString AnsiToTrimmedWide(const std::string& text) {
  CString wide(platform::FromWindows1252(text));
  wide.Trim();
  return wide;
}

// The client takes UTF-8; the texts here are in the ANSI code page.
std::string ClientText(const std::string& ansi) { return platform::ToUtf8(platform::FromWindows1252(ansi)); }

// True when `url` begins with "https" in any case: such a URL is never
// fetched in clear text.
bool BeginsHttps(const std::string& url) {
  static const char kHttps[] = "https";
  if (url.size() < 5) return false;
  for (std::size_t i = 0; i < 5; ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != kHttps[i]) return false;
  }
  return true;
}

// Reads a decimal integer the way the C runtime's atoi does: blanks, an
// optional sign, digits up to the first other character; 0 without digits.
// Values beyond the port range are clamped to just outside it.
int ReadPort(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 65536) value = 65536;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

const char CHttpDownloaderBase::kSessionUserAgent[] =
    "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1; .NET CLR 1.1.4322; .NET CLR 2.0.50727; "
    ".NET CLR 3.0.04506.30; .NET CLR 3.0.04506.648)";

std::wstring HttpErrorLogText(std::uint32_t code) {
  return std::to_wstring(code) + L": " + platform::HttpErrorText(static_cast<int>(code));
}

CHttpDownloaderBase::CHttpDownloaderBase(const std::string& proxy, const std::wstring& localFile, bool keepAlive)
    : localFile(localFile) {
  const CString wideProxy = AnsiToTrimmedWide(proxy);
  int error = 0;
  session = platform::HttpSession::Open(kSessionUserAgent, platform::ToUtf8(wideProxy.str()), error, keepAlive);
  if (!session) {
    LogF(60, L"CHttpDownloaderBase::CHttpDownloaderBase WinHttpOpen failed [%s]",
         HttpErrorLogText(static_cast<std::uint32_t>(error)));
  }
}

CHttpDownloaderBase::~CHttpDownloaderBase() {
  // Closing the client's handles cannot fail, so there is nothing to log.
  CloseRequest();
  session.reset();
}

void CHttpDownloaderBase::SetHeader(const std::string& name, const std::string& value) {
  std::string key = Trim(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  if (key == "cookie") {
    cookie = value;
  } else {
    requestHeaders[name] = value;
  }
}

void CHttpDownloaderBase::CrackUrl(const std::string& url, std::string& host, int& port, std::string& path) {
  std::string rest = url;
  const std::size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest.erase(0, scheme + 3);
  const std::size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    host = rest.substr(0, slash);
    path = rest.substr(slash + 1);
  } else {
    host = rest;
    path.clear();
  }
  host = Trim(host);
  path = Trim(path);
  port = -1;
  const std::size_t colon = host.find(':');
  if (colon != std::string::npos) {
    port = ReadPort(Trim(host.substr(colon + 1)));
    host = Trim(host.substr(0, colon));
  }
  if (port < 0 || port > 65535) port = BeginsHttps(url) ? 443 : 80;
}

bool CHttpDownloaderBase::RequestGet(const std::string& address) {
  url = address;
  const bool ok = OpenConnection("GET") && SetConnectionParameters(0) && SendRequest(std::string()) &&
                  ReceiveResponse(false) && CheckCertificate() && DownloadData();
  CloseRequest();
  return ok;
}

bool CHttpDownloaderBase::RequestGetAnyStatus(const std::string& address) {
  url = address;
  const bool ok = OpenConnection("GET") && SetConnectionParameters(0) && SendRequest(std::string()) &&
                  ReceiveResponse(true) && DownloadData();
  CloseRequest();
  return ok;
}

bool CHttpDownloaderBase::RequestPost(const std::string& address, const std::string& data) {
  url = address;
  const bool ok = OpenConnection("POST") && SetConnectionParameters(0) && SendRequest(data) &&
                  ReceiveResponse(true) && DownloadData();
  CloseRequest();
  return ok;
}

bool CHttpDownloaderBase::RequestHead(const std::string& address) {
  url = address;
  const bool ok = OpenConnection("HEAD") && SetConnectionParameters(2) && SendRequest(std::string()) &&
                  ReceiveResponse(true);
  CloseRequest();
  return ok;
}

bool CHttpDownloaderBase::OpenConnection(const std::string& verb) {
  statusCode = 0;
  statusText.clear();
  std::string host;
  std::string path;
  int port = 0;
  CrackUrl(url, host, port, path);
  if (host.empty()) return false;
  int error = 0;
  if (session) connection = session->Connect(ClientText(host), port, error);
  if (!connection) {
    lastError = static_cast<std::uint32_t>(session ? error : platform::HttpNotOpenError());
    LogF(60, L"CHttpDownloaderBase::OpenConnection WinHttpConnect failed [%s]", HttpErrorLogText(lastError));
    return false;
  }
  return OpenRequest(verb) && connection && request;
}

bool CHttpDownloaderBase::OpenRequest(const std::string& verb) {
  const CString wideReferrer = AnsiToTrimmedWide(referrer);
  std::string host;
  std::string path;
  int port = 0;
  CrackUrl(url, host, port, path);
  if (host.empty()) return false;
  secure = BeginsHttps(url);
  int error = 0;
  if (connection) {
    request = connection->OpenRequest(verb, ClientText(path), platform::ToUtf8(wideReferrer.str()), secure,
                                      /*bypassCaches=*/true, error);
  }
  if (!request) {
    lastError = static_cast<std::uint32_t>(error);
    LogF(60, L"CHttpDownloaderBase::OpenRequest WinHttpOpenRequest failed [%s]", HttpErrorLogText(lastError));
    return false;
  }
  return true;
}

bool CHttpDownloaderBase::SetConnectionParameters(std::uint32_t disabledFeatures) {
  if (!connection || !request) return false;
  if (timeoutMs != 0 && !request->SetTimeouts(timeoutMs, timeoutMs, timeoutMs)) {
    LogF(60, L"CHttpDownloaderBase::SetConnectionParameters WinHttpSetTimeouts failed [%s]",
         HttpErrorLogText(static_cast<std::uint32_t>(request->LastError())));
  }
  bool added = cookie.empty() || request->AddOrReplaceHeader("Cookie: " + cookie);
  for (auto it = requestHeaders.begin(); added && it != requestHeaders.end(); ++it) {
    added = request->AddOrReplaceHeader(it->first + ": " + it->second);
  }
  if (!added) {
    LogF(60, L"CHttpDownloaderBase::SetConnectionParameters WinHttpAddRequestHeaders failed [%s]",
         HttpErrorLogText(static_cast<std::uint32_t>(request->LastError())));
    return false;
  }
  requestHeaders.clear();
  if (disabledFeatures > 0) {
    // Of the features a request can disable, only redirects (2) exist here.
    if ((disabledFeatures & 2) && !request->DisableRedirects()) {
      LogF(60, L"CHttpDownloaderBase::SetConnectionParameters WinHttpSetOption failed [%s]",
           HttpErrorLogText(static_cast<std::uint32_t>(request->LastError())));
      return false;
    }
  }
  return true;
}

bool CHttpDownloaderBase::SendRequest(const std::string& data) {
  if (!request) return false;
  if (!request->Send(data)) {
    lastError = static_cast<std::uint32_t>(request->LastError());
    LogF(20, L"CHttpDownloaderBase::SendRequest WinHttpSendRequest error=[%d]", lastError);
    return false;
  }
  return true;
}

bool CHttpDownloaderBase::ReceiveResponse(bool acceptAnyStatus) {
  if (!request) return false;
  bool received = false;
  try {
    received = request->ReceiveResponse();
  } catch (const std::exception& e) {
    std::string message = e.what() ? e.what() : "";
    if (message.empty()) message = "UNKNOWN";
    if (message.size() > 255) message.resize(255);
    LogF(60, L"CHttpDownloaderBase::ReceiveResponse WinHttpReceiveResponse exception [%s]", message);
    return false;
  } catch (...) {
    LogF(60, L"CHttpDownloaderBase::ReceiveResponse WinHttpReceiveResponse UNKNOWN exception");
    return false;
  }
  if (!received) {
    lastError = static_cast<std::uint32_t>(request->LastError());
    LogF(60, L"CHttpDownloaderBase::ReceiveResponse WinHttpReceiveResponse failed [%s]", HttpErrorLogText(lastError));
    return false;
  }
  statusCode = GetHttpHeaderNumeric(request.get(), platform::HttpQuery::kStatusCode);
  statusText = platform::FromWindows1252(GetHttpHeaderText(request.get(), platform::HttpQuery::kStatusText));
  if (!acceptAnyStatus && (statusCode < 200 || statusCode > 299)) {
    LogF(60, L"CHttpDownloaderBase::ReceiveResponse HTTP Status code is NOT OK [%d]", statusCode);
    return false;
  }
  contentLength = GetHttpHeaderNumeric(request.get(), platform::HttpQuery::kContentLength);
  contentType = GetHttpHeaderText(request.get(), platform::HttpQuery::kContentType);
  return ExtractResponseHeaders();
}

std::uint32_t CHttpDownloaderBase::GetHttpHeaderNumeric(platform::HttpRequest* from, platform::HttpQuery query) {
  std::uint32_t value = 0;
  if (!from || !from->QueryNumber(query, value)) {
    LogF(60, L"GetHttpHeaderNumeric: WinHttpQueryHeaders failed!");
    return 0;
  }
  return value;
}

std::string CHttpDownloaderBase::GetHttpHeaderText(platform::HttpRequest* from, platform::HttpQuery query) {
  // A missing header is an ordinary answer: empty text, nothing logged.
  std::string text;
  if (!from || !from->QueryText(query, text)) return std::string();
  return text;
}

bool CHttpDownloaderBase::ExtractResponseHeaders() {
  responseHeaders.clear();
  std::vector<std::string> lines;
  if (!request || !request->RawHeaders(lines)) {
    if (request) lastError = static_cast<std::uint32_t>(request->LastError());
    LogF(60, L"CHttpDownloaderBase::ExtractResponseHeaders WinHttpQueryHeaders failed [%s]",
         HttpErrorLogText(lastError));
    return false;
  }
  // The first line is the status line.
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    responseHeaders[Trim(line.substr(0, colon))].push_back(Trim(line.substr(colon + 1)));
  }
  return true;
}

bool CHttpDownloaderBase::CheckCertificate() {
  if (!secure || !certificateVerifier) return true;
  std::string text;
  if (!request || !request->CertificateSubject(text)) {
    LogF(10, L"WinHttpQueryOption failed [%s]",
         HttpErrorLogText(request ? static_cast<std::uint32_t>(request->LastError()) : 0));
    LogF(10, L"Could not get certificate: abort");
    return false;
  }
  certificateSubject subject;
  std::size_t start = 0;
  for (std::wstring& line : subject.lines) {
    if (start > text.size()) break;
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    line = platform::FromUtf8(std::string_view(text).substr(start, end - start));
    start = end + 2;
  }
  return certificateVerifier->Verify(subject);
}

bool CHttpDownloaderBase::DownloadData() {
  platform::File file;
  if (!localFile.empty() && !file.Open(localFile, platform::File::Mode::kWrite)) {
    LogF(10, L"CHttpDownloaderBase::DownloadData(), failed to create file [%s]", localFile);
    return false;
  }
  bytesReceived = 0;
  std::uint32_t unflushed = 0;
  std::string stream;
  for (;;) {
    if (abortRequested) return false;
    std::size_t available = 0;
    if (!request || !request->QueryDataAvailable(available)) {
      if (request) lastError = static_cast<std::uint32_t>(request->LastError());
      LogF(20, L"HttpDownloader::DownloadData WinHttpQueryDataAvailable error=[%d]", lastError);
      return false;
    }
    if (available == 0) {
      body = std::move(stream);
      return true;
    }
    // The body held in memory is bounded, so a server cannot exhaust memory.
    if (keepBody && stream.size() + available > maxBodyBytes) {
      LogF(20, L"HttpDownloader::DownloadData body larger than %I64u bytes, abandoned", maxBodyBytes);
      return false;
    }
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[available + 1]());
    if (!chunk) {
      LogF(20, L"HttpDownloader::DownloadData OUT OF MEMORY");
      return false;
    }
    std::size_t read = 0;
    if (!request->ReadData(chunk.get(), available, read) || read != available) {
      LogF(20, L"HttpDownloader::DownloadData WinHttpReadData");
      return false;
    }
    if (file.IsOpen()) {
      bool written = file.Write(chunk.get(), available);
      unflushed += static_cast<std::uint32_t>(available);
      if (written && unflushed >= kFlushBytes) {
        unflushed = 0;
        written = file.Flush();
      }
      if (!written) {
        LogF(20, L"HttpDownloader::DownloadData write to file");
        return false;
      }
    }
    if (keepBody) {
      try {
        stream.append(chunk.get(), available);
      } catch (const std::bad_alloc&) {
        LogF(20, L"HttpDownloader::DownloadData OUT OF MEMORY");
        return false;
      }
    }
    chunk.reset();
    bytesReceived += static_cast<std::uint32_t>(available);
    if (progressObserver) progressObserver->OnProgress(bytesReceived, contentLength);
  }
}

void CHttpDownloaderBase::CloseRequest() {
  request.reset();
  connection.reset();
}
