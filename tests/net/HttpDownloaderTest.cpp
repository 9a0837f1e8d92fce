#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Masterlog.h"
#include "net/Downloads.h"
#include "net/HttpDownload.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "platform/TextCodec.h"
#include "support/HttpTestServer.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::HttpResponse;
using testing_support::HttpTestServer;
using testing_support::RecordedRequest;
using testing_support::ScratchFolder;

// A proxy named by the environment would take our loopback requests elsewhere;
// cleared before any thread starts.
const bool kProxyVariablesCleared = [] {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
  return true;
}();

// The process's log, opened by the first call into a folder that outlives
// it, read back from the trace file. Tests that look for entries call it first.
std::wstring LogText() {
  static ScratchFolder folder;
  static const bool opened = [] {
    CMasterlog::Instance().Open(folder.path().c_str(), L"http", 60);
    LogF(10, L"log opened");
    return true;
  }();
  (void)opened;
  std::string bytes;
  platform::File::ReadAll(CMasterlog::Instance().TraceFilePath().str(), bytes);
  return platform::FromUtf16Le(bytes);
}

std::wstring W(const std::string& text) { return platform::FromUtf8(text); }

TEST(CrackUrl, SplitsHostPortAndPath) {
  std::string host, path;
  int port = 0;
  CHttpDownloaderBase::CrackUrl("http://host:8080/a/b?c=d", host, port, path);
  EXPECT_EQ("host", host);
  EXPECT_EQ(8080, port);
  EXPECT_EQ("a/b?c=d", path);

  CHttpDownloaderBase::CrackUrl("host", host, port, path);
  EXPECT_EQ("host", host);
  EXPECT_EQ(80, port);
  EXPECT_EQ("", path);

  CHttpDownloaderBase::CrackUrl("host:99999/x", host, port, path);
  EXPECT_EQ("host", host);
  EXPECT_EQ(80, port);
  EXPECT_EQ("x", path);

  CHttpDownloaderBase::CrackUrl("https://host/x", host, port, path);
  EXPECT_EQ(443, port);
  CHttpDownloaderBase::CrackUrl("https://host:8443/x", host, port, path);
  EXPECT_EQ(8443, port);
  CHttpDownloaderBase::CrackUrl(" http:// host : 81 / x ", host, port, path);
  EXPECT_EQ("host", host);
  EXPECT_EQ(81, port);
  EXPECT_EQ("x", path);
  CHttpDownloaderBase::CrackUrl("host:-1", host, port, path);
  EXPECT_EQ(80, port);
}

TEST(HttpDownloader, GetReadsStatusHeadersAndBody) {
  HttpTestServer server;
  server.Serve("/page", {200, "Fine Indeed", {{"Content-Type", "text/html"}, {"X-Multi", "a"}, {"X-Other", " o "},
                                              {"X-Multi", "b"}}, "hello body"});
  CHttpDownload download("", L"");
  ASSERT_TRUE(download.RequestGet(server.Url("/page?q=1")));
  EXPECT_EQ(200u, download.statusCode);
  EXPECT_EQ(L"Fine Indeed", download.statusText);
  EXPECT_EQ("text/html", download.contentType);
  EXPECT_EQ(10u, download.contentLength);
  EXPECT_EQ("hello body", download.body);
  EXPECT_EQ(10u, download.bytesReceived);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), download.responseHeaders["X-Multi"]);
  EXPECT_EQ((std::vector<std::string>{"o"}), download.responseHeaders["X-Other"]);
  EXPECT_FALSE(download.secure);
  ASSERT_EQ(1u, server.RequestCount());
  EXPECT_EQ("/page?q=1", server.Requests()[0].target);
}

TEST(HttpDownloader, SendsCookieHeadersCacheBypassAndSessionAgent) {
  HttpTestServer server;
  server.ServeText("/h", "x");
  CHttpDownload download("", L"");
  download.SetHeader("  Cookie ", "a=b");
  download.SetHeader("X-One", "1");
  download.SetHeader("X-Empty", "");
  download.referrer = "http://ref.example/";
  ASSERT_TRUE(download.RequestGetAnyStatus(server.Url("/h")));
  EXPECT_TRUE(download.requestHeaders.empty());
  const RecordedRequest request = server.Requests().at(0);
  EXPECT_EQ("a=b", request.Header("Cookie"));
  EXPECT_FALSE(request.HasHeader("  Cookie "));
  EXPECT_EQ("1", request.Header("X-One"));
  EXPECT_TRUE(request.HasHeader("X-Empty"));
  EXPECT_EQ("no-cache", request.Header("Pragma"));
  EXPECT_EQ("no-cache", request.Header("Cache-Control"));
  EXPECT_EQ("http://ref.example/", request.Header("Referer"));
  EXPECT_EQ(CHttpDownloaderBase::kSessionUserAgent, request.Header("User-Agent"));
}

TEST(HttpDownloader, UnsafePathCharactersAreEscapedPercentKept) {
  HttpTestServer server;
  CHttpDownload download("", L"");
  ASSERT_TRUE(download.RequestGetAnyStatus(server.Url("/a b\"c%41?q=<1>")));
  EXPECT_EQ("/a%20b%22c%41?q=%3C1%3E", server.Requests().at(0).target);
}

TEST(HttpDownloader, HeaderWithLineBreakFailsTheRequestUnsent) {
  LogText();
  HttpTestServer server;
  server.ServeText("/h", "x");
  CHttpDownload download("", L"");
  download.SetHeader("X-Bad", "v\r\nInjected: yes");
  EXPECT_FALSE(download.RequestGetAnyStatus(server.Url("/h")));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_NE(std::wstring::npos, LogText().find(L"WinHttpAddRequestHeaders failed ["));
}

TEST(HttpDownloader, PostSendsBodyAndFollowsRedirects) {
  HttpTestServer server;
  server.Redirect("/form", server.Url("/target"), 307);
  server.Handle("/target", [](const RecordedRequest& r) {
    return HttpResponse{201, "Created", {}, r.method + ":" + r.body};
  });
  CHttpDownload download("", L"");
  ASSERT_TRUE(download.RequestPost(server.Url("/form"), "a=1&b=2"));
  EXPECT_EQ(201u, download.statusCode);
  EXPECT_EQ("POST:a=1&b=2", download.body);
  EXPECT_EQ(0u, download.responseHeaders.count("Location"));  // headers of the final response only
  EXPECT_EQ(2u, server.RequestCount());
}

TEST(HttpDownloader, GetFollowsRedirectsHeadDoesNot) {
  HttpTestServer server;
  server.Redirect("/old", "/new", 301);
  server.ServeText("/new", "moved here");
  CHttpDownload get("", L"");
  ASSERT_TRUE(get.RequestGet(server.Url("/old")));
  EXPECT_EQ("moved here", get.body);

  server.ClearRequests();
  CHttpDownload head("", L"");
  ASSERT_TRUE(head.RequestHead(server.Url("/old")));
  EXPECT_EQ(301u, head.statusCode);
  EXPECT_EQ((std::vector<std::string>{"/new"}), head.responseHeaders["Location"]);
  EXPECT_EQ("", head.body);
  ASSERT_EQ(1u, server.RequestCount());
  EXPECT_EQ("HEAD", server.Requests()[0].method);

  server.ClearRequests();
  server.Redirect("/loop", "/loop");
  CHttpDownload loop("", L"");
  EXPECT_FALSE(loop.RequestGetAnyStatus(server.Url("/loop")));
  EXPECT_EQ(11u, server.RequestCount());  // the first request and ten redirects
}

TEST(HttpDownloader, EmptyHostFailsBeforeConnectingAndLogsNothing) {
  const std::wstring before = LogText();
  CHttpDownload download("", L"");
  EXPECT_FALSE(download.RequestGet("http:///path"));
  EXPECT_FALSE(download.RequestHead(":80/x"));
  EXPECT_EQ(0u, download.lastError);
  EXPECT_EQ(before, LogText());
}

TEST(HttpDownloader, HttpsUrlIsFetchedOverTls) {
  HttpTestServer server;  // plain HTTP: a TLS handshake with it cannot succeed
  server.ServeText("/x", "plain");
  CHttpDownload download("", L"");
  download.timeoutMs = 300;
  EXPECT_FALSE(download.RequestGet("HTTPS://" + server.HostPort() + "/x"));
  EXPECT_TRUE(download.secure);
  EXPECT_NE(0u, download.lastError);
  EXPECT_EQ("", download.body);
}

TEST(HttpDownloader, StalledServerEndsByTheNoDataTimeout) {
  HttpTestServer server;
  server.Stall("/stall");
  CHttpDownload download("", L"");
  download.timeoutMs = 200;
  EXPECT_FALSE(download.RequestGetAnyStatus(server.Url("/stall")));
  EXPECT_EQ(static_cast<std::uint32_t>(platform::HttpTimeoutError()), download.lastError);
  EXPECT_EQ(0u, download.statusCode);
}

TEST(HttpDownloader, SlowButSteadyBodyOutlastsTheTimeout) {
  HttpTestServer server;
  server.SendSlowly("/slow", std::string(600, 's'), 100, 80);  // ~480 ms in all, 80 ms gaps
  CHttpDownload download("", L"");
  download.timeoutMs = 300;
  ASSERT_TRUE(download.RequestGet(server.Url("/slow")));
  EXPECT_EQ(std::string(600, 's'), download.body);
}

TEST(HttpDownloader, BodyAboveTheLimitFailsTheRequest) {
  LogText();
  HttpTestServer server;
  server.ServeHuge("/huge", 3 * 1024 * 1024);
  CHttpDownload download("", L"");
  download.maxBodyBytes = 1024 * 1024;
  EXPECT_FALSE(download.RequestGetAnyStatus(server.Url("/huge")));
  EXPECT_EQ("", download.body);
  EXPECT_LE(download.bytesReceived, 1024u * 1024u);
  EXPECT_NE(std::wstring::npos, LogText().find(L"HttpDownloader::DownloadData body larger than 1048576 bytes"));

  CHttpDownload exact("", L"");
  exact.maxBodyBytes = 3 * 1024 * 1024;
  ASSERT_TRUE(exact.RequestGetAnyStatus(server.Url("/huge")));
  ASSERT_EQ(3u * 1024 * 1024, exact.body.size());
  EXPECT_EQ(HttpTestServer::HugeBodyByte(3 * 1024 * 1024 - 1), exact.body.back());
}

TEST(HttpDownloader, ProgressObserverSeesEveryChunkAndAbortStops) {
  struct Observer : IHttpProgressObserver {
    CHttpDownloaderBase* download = nullptr;
    std::vector<std::uint32_t> seen;
    void OnProgress(std::uint32_t received, std::uint32_t length) override {
      seen.push_back(received);
      EXPECT_EQ(400u, length);
      download->abortRequested = true;
    }
  } observer;
  HttpTestServer server;
  server.SendSlowly("/slow", std::string(400, 'p'), 100, 30);
  CHttpDownload download("", L"");
  observer.download = &download;
  download.progressObserver = &observer;
  EXPECT_FALSE(download.RequestGet(server.Url("/slow")));
  ASSERT_EQ(1u, observer.seen.size());
  EXPECT_EQ(100u, observer.seen[0]);
}

TEST(DownloadFile, WritesBodyAndCreatesNothingOnErrorStatus) {
  LogText();
  HttpTestServer server;
  const std::string content(250000, 'z');  // crosses the flush size twice
  server.ServeText("/file", content, "application/octet-stream");
  ScratchFolder folder;
  ASSERT_TRUE(nimbrel::DownloadFile(W(server.Url("/file")), folder / L"ok.bin", L""));
  EXPECT_EQ(content, testing_support::ReadFileBytes(folder / L"ok.bin"));

  EXPECT_FALSE(nimbrel::DownloadFile(W(server.Url("/missing")), folder / L"missing.bin", L""));
  EXPECT_FALSE(platform::PathExists(folder / L"missing.bin"));
  EXPECT_NE(std::wstring::npos, LogText().find(L"HTTP Status code is NOT OK [404]"));
}

TEST(DownloadFile, DroppedConnectionLeavesPartialFileAndFails) {
  HttpTestServer server;
  server.DropMidBody("/drop", 1000, std::string(300, 'd'));
  ScratchFolder folder;
  EXPECT_FALSE(nimbrel::DownloadFile(W(server.Url("/drop")), folder / L"part.bin", L""));
  EXPECT_EQ(std::string(300, 'd'), testing_support::ReadFileBytes(folder / L"part.bin"));
}

TEST(DownloadText, ErrorStatusReturnsFalseWithTheBody) {
  HttpTestServer server;
  CString out;
  EXPECT_FALSE(nimbrel::DownloadText(W(server.Url("/nothing")), out, L""));
  EXPECT_EQ(L"not found", out.str());
}

TEST(DownloadText, DecodesByCodePageAndSendsGivenAgent) {
  HttpTestServer server;
  server.ServeText("/t", "caf\xC3\xA9");
  CString out;
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/t")), out, L"", platform::kCodePageUtf8, L"", L"Custom/1.0"));
  EXPECT_EQ(L"caf\u00E9", out.str());
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/t")), out, L"", 0));
  EXPECT_EQ(L"caf\u00C3\u00A9", out.str());
  EXPECT_EQ("Custom/1.0", server.Requests().at(0).Header("User-Agent"));
}

TEST(DownloadText, NoResponseLeavesOutEmpty) {
  std::string closedUrl;
  {
    HttpTestServer gone;
    closedUrl = gone.Url("/x");
  }
  CString out = L"old";
  EXPECT_FALSE(nimbrel::DownloadText(W(closedUrl), out, L""));
  EXPECT_TRUE(out.IsEmpty());
}

TEST(Downloads, EveryRequestCarriesARandomisedBrowserAgent) {
  HttpTestServer server;
  server.ServeText("/a", "a");
  ScratchFolder folder;
  CString out;
  std::uint32_t status = 0;
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/a")), out, L""));
  ASSERT_TRUE(nimbrel::DownloadFile(W(server.Url("/a")), folder / L"a", L""));
  ASSERT_TRUE(nimbrel::DownloadTextMethodPost(W(server.Url("/a")), L"k=v", out, status, L""));
  EXPECT_EQ(200u, status);
  const auto requests = server.Requests();
  ASSERT_EQ(3u, requests.size());
  for (const RecordedRequest& request : requests) {
    EXPECT_EQ(0u, request.Header("User-Agent").rfind("Mozilla/4.0 (compatible; MSIE ", 0)) << request.method;
    EXPECT_NE(CHttpDownloaderBase::kSessionUserAgent, request.Header("User-Agent"));
  }
  EXPECT_EQ("application/x-www-form-urlencoded", requests[2].Header("Content-Type"));
  EXPECT_EQ("k=v", requests[2].body);
}

TEST(DownloadTextMethodPost, ErrorStatusGivesStatusAndBody) {
  LogText();
  HttpTestServer server;
  server.Serve("/post", {403, "Forbidden", {}, "denied"});
  CString out;
  std::uint32_t status = 0;
  EXPECT_FALSE(nimbrel::DownloadTextMethodPost(W(server.Url("/post")), L"x=1", out, status, L""));
  EXPECT_EQ(403u, status);
  EXPECT_EQ(L"denied", out.str());
  EXPECT_NE(std::wstring::npos, LogText().find(L"Response: Forbidden, Detailed: denied, LastError:"));
}

TEST(Downloads, GoThroughTheNamedProxy) {
  HttpTestServer proxy;
  proxy.EnableProxy();
  HttpTestServer target;
  target.ServeText("/via", "proxied");
  CString out;
  ASSERT_TRUE(nimbrel::DownloadText(W(target.Url("/via")), out, W(" " + proxy.HostPort() + " ")));
  EXPECT_EQ(L"proxied", out.str());
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ(target.Url("/via"), proxy.Requests()[0].target);
  EXPECT_EQ(1u, target.RequestCount());
}

TEST(Downloads, WithoutProxyTheEnvironmentsProxyApplies) {
  // Set while only the servers' threads run (they never read the environment);
  // cleared after they are gone.
  struct ScopedVariable {
    ~ScopedVariable() { ::unsetenv("http_proxy"); }
  } variable;
  HttpTestServer proxy;
  ::setenv("http_proxy", proxy.HostPort().c_str(), 1);
  proxy.EnableProxy();
  HttpTestServer target;
  target.ServeText("/env", "via environment");
  CString out;
  ASSERT_TRUE(nimbrel::DownloadText(W(target.Url("/env")), out, L""));
  EXPECT_EQ(L"via environment", out.str());
  EXPECT_EQ(1u, proxy.RequestCount());
}

TEST(Downloads, RunOnManyThreadsAtOnce) {
  HttpTestServer server;
  server.Handle("/echo", [](const RecordedRequest& r) { return HttpResponse{200, "OK", {}, r.target}; });
  constexpr int kThreads = 8;
  constexpr int kEach = 5;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string target = "/echo?t=" + std::to_string(t) + "&i=" + std::to_string(i);
        CString out;
        if (nimbrel::DownloadText(W(server.Url(target)), out, L"") && out.str() == W(target)) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(kThreads * kEach, good.load());
}

}  // namespace
