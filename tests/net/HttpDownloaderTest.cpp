#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
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
#include "support/ProcessLog.h"
#include "support/ProxyEnvironment.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::HttpResponse;
using testing_support::HttpTestServer;
using testing_support::RecordedRequest;
using testing_support::ProcessLogText;
using testing_support::ScratchFolder;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();


std::wstring W(const std::string& text) { return platform::FromUtf8(text); }

// The download functions replace the session's agent with a randomised browser one.
void ExpectBrowserAgent(const RecordedRequest& request) {
  EXPECT_EQ(0u, request.Header("User-Agent").rfind("Mozilla/4.0 (compatible; MSIE ", 0)) << request.method;
  EXPECT_NE(CHttpDownloaderBase::kSessionUserAgent, request.Header("User-Agent"));
}

TEST(CrackUrl, SplitsHostPortAndPath) {
  struct Case {
    const char* url;
    const char* host;
    int port;
    const char* path;
  };
  for (const Case& c : {Case{"http://host:8080/a/b?c=d", "host", 8080, "a/b?c=d"}, Case{"host", "host", 80, ""},
                        Case{"host:99999/x", "host", 80, "x"}, Case{"host:-1", "host", 80, ""},
                        Case{"HTTPS://host/x", "host", 443, "x"}, Case{"https://host:8443/x", "host", 8443, "x"},
                        Case{" http:// host : 81 / x ", "host", 81, "x"}}) {
    std::string host, path;
    int port = 0;
    CHttpDownloaderBase::CrackUrl(c.url, host, port, path);
    EXPECT_EQ(c.host, host) << c.url;
    EXPECT_EQ(c.port, port) << c.url;
    EXPECT_EQ(c.path, path) << c.url;
  }
}

TEST(HttpDownloader, OneExchangeSendsAndReadsHeaders) {
  HttpTestServer server;
  server.Serve("/a%20b%22c%41", {200, "Fine Indeed", {{"Content-Type", "text/html"}, {"X-Multi", "a"},
                                                   {"X-Other", " o "}, {"X-Multi", "b"}}, "hello body"});
  CHttpDownload download("", L"");
  download.SetHeader("  Cookie ", "a=b");
  download.SetHeader("X-One", "1");
  download.SetHeader("X-Empty", "");
  download.referrer = "http://ref.example/";
  ASSERT_TRUE(download.RequestGet(server.Url("/a b\"c%41?q=<1>")));
  EXPECT_EQ(200u, download.statusCode);
  EXPECT_EQ(L"Fine Indeed", download.statusText);
  EXPECT_EQ("text/html", download.contentType);
  EXPECT_EQ("hello body", download.body);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), download.responseHeaders["X-Multi"]);
  EXPECT_EQ((std::vector<std::string>{"o"}), download.responseHeaders["X-Other"]);
  EXPECT_TRUE(download.requestHeaders.empty());

  const RecordedRequest request = server.Requests().at(0);
  EXPECT_EQ("/a%20b%22c%41?q=%3C1%3E", request.target);  // unsafe characters escaped, "%" kept
  EXPECT_EQ("a=b", request.Header("Cookie"));
  EXPECT_FALSE(request.HasHeader("  Cookie "));
  EXPECT_EQ("1", request.Header("X-One"));
  EXPECT_TRUE(request.HasHeader("X-Empty"));
  EXPECT_EQ("no-cache", request.Header("Pragma"));
  EXPECT_EQ("no-cache", request.Header("Cache-Control"));
  EXPECT_EQ("http://ref.example/", request.Header("Referer"));
  EXPECT_EQ(CHttpDownloaderBase::kSessionUserAgent, request.Header("User-Agent"));
}

TEST(HttpDownloader, UnsendableRequestsAndInjectedHeadersFailEarly) {
  const std::wstring before = ProcessLogText();
  CHttpDownload download("", L"");
  EXPECT_FALSE(download.RequestGet("http:///path"));  // empty host: no connection, nothing logged
  EXPECT_FALSE(download.RequestHead(":80/x"));
  EXPECT_EQ(0u, download.lastError);
  EXPECT_EQ(before, ProcessLogText());

  HttpTestServer server;
  download.SetHeader("X-Bad", "v\r\nInjected: yes");
  EXPECT_FALSE(download.RequestGetAnyStatus(server.Url("/h")));
  EXPECT_EQ(0u, server.RequestCount());
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"WinHttpAddRequestHeaders failed ["));
  // A referrer with a line break is refused as well; a plain one is sent.
  CString out;
  EXPECT_FALSE(nimbrel::DownloadText(W(server.Url("/r")), out, L"", 0, L"http://ref/\r\nX-Injected: yes"));
  EXPECT_FALSE(nimbrel::DownloadTextMethodPost(W(server.Url("/r")), L"a=1", out, L"", 0, L"http://ref/\nX: y"));
  EXPECT_EQ(0u, server.RequestCount());
  server.ServeText("/r", "x");
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/r")), out, L"", 0, L"http://ref/"));
  EXPECT_EQ("http://ref/", server.Requests().at(0).Header("Referer"));
}

TEST(HttpDownloader, GetAndPostFollowTenRedirectsHeadNone) {
  HttpTestServer server;
  server.Redirect("/old", "/new", 301);
  server.Redirect("/form", server.Url("/target"), 307);
  server.Handle("/target", [](const RecordedRequest& r) {
    return HttpResponse{201, "Created", {}, r.method + ":" + r.body};
  });
  server.Redirect("/loop", "/loop");

  CHttpDownload post("", L"");
  ASSERT_TRUE(post.RequestPost(server.Url("/form"), "a=1&b=2"));
  EXPECT_EQ(201u, post.statusCode);
  EXPECT_EQ("POST:a=1&b=2", post.body);
  EXPECT_EQ(0u, post.responseHeaders.count("Location"));  // headers of the final response only

  server.ClearRequests();
  CHttpDownload head("", L"");
  ASSERT_TRUE(head.RequestHead(server.Url("/old")));
  EXPECT_EQ(301u, head.statusCode);
  EXPECT_EQ((std::vector<std::string>{"/new"}), head.responseHeaders["Location"]);
  ASSERT_EQ(1u, server.RequestCount());
  EXPECT_EQ("HEAD", server.Requests()[0].method);

  server.ClearRequests();
  CHttpDownload loop("", L"");
  EXPECT_FALSE(loop.RequestGetAnyStatus(server.Url("/loop")));
  EXPECT_EQ(11u, server.RequestCount());  // the first request and ten redirects
}

// The rule is decided here, for every step of a redirect chain (a loopback
// server with TLS that the client would trust is beyond these tests; the
// client also limits libcurl's own redirect protocols to https after https).
TEST(HttpClient, RedirectNeverGoesFromHttpsToHttp) {
  struct Case {
    bool fromSecure;
    const char* location;
    bool allowed, toSecure;
  };
  for (const Case& c : {Case{true, "http://h/x", false, false}, Case{true, " HTTP://h/x", false, false},
                        Case{true, "https://h/x", true, true}, Case{true, "/x:y", true, true},
                        Case{true, "//h/x", true, true}, Case{true, "x?a=b:c", true, true},
                        Case{true, "ftp://h/x", false, false}, Case{false, "http://h/x", true, false},
                        Case{false, "HTTPS://h/", true, true}, Case{false, "/x", true, false}}) {
    bool toSecure = !c.toSecure;
    EXPECT_EQ(c.allowed, platform::RedirectKeepsTls(c.fromSecure, c.location, toSecure)) << c.location;
    if (c.allowed) {
      EXPECT_EQ(c.toSecure, toSecure) << c.location;
    }
  }
}

TEST(HttpDownloader, TimeoutEndsSilenceButNotASlowSteadyBodyAndHttpsUsesTls) {
  HttpTestServer server;
  server.Stall("/stall");
  server.SendSlowly("/slow", std::string(1200, 's'), 100, 100);  // ~1.1 s in all, 100 ms gaps
  CHttpDownload stalled("", L"");
  stalled.timeoutMs = 200;
  EXPECT_FALSE(stalled.RequestGetAnyStatus(server.Url("/stall")));
  EXPECT_EQ(static_cast<std::uint32_t>(platform::HttpTimeoutError()), stalled.lastError);
  EXPECT_EQ(0u, stalled.statusCode);

  CHttpDownload slow("", L"");
  slow.timeoutMs = 700;  // longer than any gap, shorter than the whole body: wide margins on a loaded machine
  ASSERT_TRUE(slow.RequestGet(server.Url("/slow")));
  EXPECT_EQ(std::string(1200, 's'), slow.body);

  // An https address is fetched over TLS: the handshake with this plain server fails.
  server.ServeText("/x", "plain");
  CHttpDownload tls("", L"");
  tls.timeoutMs = 300;
  EXPECT_FALSE(tls.RequestGet("HTTPS://" + server.HostPort() + "/x"));
  EXPECT_TRUE(tls.secure);
  EXPECT_NE(0u, tls.lastError);
  EXPECT_EQ("", tls.body);
}

TEST(HttpDownloader, BodyAboveTheLimitFailsTheRequest) {
  ProcessLogText();
  HttpTestServer server;
  server.ServeHuge("/huge", 3 * 1024 * 1024);
  CHttpDownload download("", L"");
  download.maxBodyBytes = 1024 * 1024;
  EXPECT_FALSE(download.RequestGetAnyStatus(server.Url("/huge")));
  EXPECT_LE(download.bytesReceived, 1024u * 1024u);
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"HttpDownloader::DownloadData body larger than 1048576 bytes"));

  CHttpDownload exact("", L"");
  exact.maxBodyBytes = 3 * 1024 * 1024;
  ASSERT_TRUE(exact.RequestGetAnyStatus(server.Url("/huge")));
  ASSERT_EQ(3u * 1024 * 1024, exact.body.size());
  EXPECT_EQ(HttpTestServer::HugeBodyByte(3 * 1024 * 1024 - 1), exact.body.back());
}

TEST(HttpDownloader, ProgressObserverSeesTheChunkAndAbortStops) {
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
  EXPECT_EQ((std::vector<std::uint32_t>{100}), observer.seen);
}

TEST(DownloadFile, WritesTheBodyNothingOnErrorStatusThePartOnADrop) {
  ProcessLogText();
  HttpTestServer server;
  const std::string content(250000, 'z');  // crosses the flush size twice
  server.ServeText("/file", content, "application/octet-stream");
  server.DropMidBody("/drop", 1000, std::string(300, 'd'));
  ScratchFolder folder;
  ASSERT_TRUE(nimbrel::DownloadFile(W(server.Url("/file")), folder / L"ok.bin", L""));
  EXPECT_EQ(content, testing_support::ReadFileBytes(folder / L"ok.bin"));
  ExpectBrowserAgent(server.Requests().at(0));

  EXPECT_FALSE(nimbrel::DownloadFile(W(server.Url("/missing")), folder / L"missing.bin", L""));
  EXPECT_FALSE(platform::PathExists(folder / L"missing.bin"));
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"HTTP Status code is NOT OK [404]"));

  EXPECT_FALSE(nimbrel::DownloadFile(W(server.Url("/drop")), folder / L"part.bin", L""));
  EXPECT_EQ(std::string(300, 'd'), testing_support::ReadFileBytes(folder / L"part.bin"));
}

TEST(Downloads, ErrorStatusGivesTheBodyNoAnswerNothing) {
  ProcessLogText();
  HttpTestServer server;
  server.Serve("/post", {403, "Forbidden", {}, "denied"});
  CString out;
  EXPECT_FALSE(nimbrel::DownloadText(W(server.Url("/nothing")), out, L""));
  EXPECT_EQ(L"not found", out.str());
  std::uint32_t status = 0;
  EXPECT_FALSE(nimbrel::DownloadTextMethodPost(W(server.Url("/post")), L"k=v", out, status, L""));
  EXPECT_EQ(403u, status);
  EXPECT_EQ(L"denied", out.str());
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"Response: Forbidden, Detailed: denied, LastError:"));
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  ExpectBrowserAgent(requests[0]);
  ExpectBrowserAgent(requests[1]);
  EXPECT_EQ("application/x-www-form-urlencoded", requests[1].Header("Content-Type"));
  EXPECT_EQ("k=v", requests[1].body);

  std::string closedUrl;
  {
    HttpTestServer gone;
    closedUrl = gone.Url("/x");
  }
  out = L"old";
  EXPECT_FALSE(nimbrel::DownloadText(W(closedUrl), out, L""));
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_FALSE(nimbrel::DownloadTextMethodPost(W(closedUrl), L"k=v", out, status, L""));
  EXPECT_EQ(0u, status);
}

TEST(DownloadText, DecodesByCodePageSendsGivenAgentAndUtf8Addresses) {
  HttpTestServer server;
  server.ServeText("/t", "caf\xC3\xA9");
  CString out;
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/t")), out, L"", platform::kCodePageUtf8, L"", L"Custom/1.0"));
  EXPECT_EQ(L"caf\u00E9", out.str());
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/t")), out, L"", 0));
  EXPECT_EQ(L"caf\u00C3\u00A9", out.str());
  EXPECT_EQ("Custom/1.0", server.Requests().at(0).Header("User-Agent"));

  // Addresses go out as percent-encoded UTF-8, never with "#" for a character
  // the ANSI code page lacks (libcurl would cut the path there).
  server.ClearRequests();
  server.ServeText("/covers/%D0%9C%D0%BE%D1%81.jpg", "cover");
  server.ServeText("/a%20b/%C3%A9%F0%9F%98%80", "other");
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/covers/")) + L"\u041C\u043E\u0441.jpg", out, L""));
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/a b/")) + L"\u00E9\U0001F600?q=\u20AC#frag", out, L""));
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/covers/%D0%9C%D0%BE%D1%81.jpg", requests[0].target);
  EXPECT_EQ("/a%20b/%C3%A9%F0%9F%98%80?q=%E2%82%AC", requests[1].target);
}

// The "proxy" here is a plain test server: it answers an absolute-form
// request by its path, and its records show whether it was used. Names other
// than loopback ones are only ever sent to it, never resolved.
TEST(Downloads, EmptyProxyIsDirectNamedProxyServesAllButLoopback) {
  HttpTestServer proxy;
  proxy.ServeText("/via", "proxied");
  HttpTestServer target;
  target.ServeText("/via", "direct");
  // Set while only the servers' threads run (they never read the environment).
  const testing_support::ScopedEnvironment variable("http_proxy", proxy.HostPort());
  CString out;
  // Empty: a direct connection, whatever the environment names.
  ASSERT_TRUE(nimbrel::DownloadText(W(target.Url("/via")), out, L""));
  EXPECT_EQ(L"direct", out.str());
  // Named (as "1" resolves the environment's): used, except for loopback.
  ASSERT_TRUE(nimbrel::DownloadText(L"http://tags.nimbrel.test/via", out, W(" " + proxy.HostPort() + " ")));
  EXPECT_EQ(L"proxied", out.str());
  ASSERT_TRUE(nimbrel::DownloadText(W(target.Url("/via")), out, W(proxy.HostPort())));
  ASSERT_TRUE(nimbrel::DownloadText(W("http://localhost:" + std::to_string(target.port()) + "/via"), out,
                                    W(proxy.HostPort())));
  EXPECT_EQ(L"direct", out.str());
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ("http://tags.nimbrel.test/via", proxy.Requests()[0].target);
  EXPECT_EQ(3u, target.RequestCount());
}

// Only a final 2xx is success: a 304, or a redirect that is not followed (no
// Location), is a failure for the status check.
TEST(Downloads, FinalRedirectStatusIsNoSuccess) {
  HttpTestServer server;
  server.Serve("/unchanged", {304, "Not Modified", {}, ""});
  server.Serve("/nowhere", {302, "Found", {}, "moved, but where"});
  ScratchFolder folder;
  CString out;
  for (const char* path : {"/unchanged", "/nowhere"}) {
    EXPECT_FALSE(nimbrel::DownloadText(W(server.Url(path)), out, L"")) << path;
    EXPECT_FALSE(nimbrel::DownloadFile(W(server.Url(path)), folder / L"f.bin", L"")) << path;
    EXPECT_FALSE(nimbrel::DownloadTextMethodPost(W(server.Url(path)), L"a=1", out, L"")) << path;
  }
  CHttpDownload download("", L"");
  EXPECT_FALSE(download.RequestGet(server.Url("/unchanged")));
  EXPECT_EQ(304u, download.statusCode);
}

// A POST answered by 302 or 303 goes on as a GET of the new address, as
// browsers do; the body arrives chunked, without Content-Length.
TEST(Downloads, PostRedirectedBy302Or303EndsAsGetOfAChunkedAnswer) {
  HttpTestServer server;
  server.Redirect("/found", "/landing", 302);
  server.Redirect("/see-other", "/landing", 303);
  server.Handle("/landing", [](const RecordedRequest& r) {
    const std::string body = r.method + ":" + r.body;
    char size[16];
    std::snprintf(size, sizeof size, "%zx", body.size() - 2);
    // Two chunks and the last one: no Content-Length anywhere.
    return HttpResponse{200, "OK", {{"Transfer-Encoding", "chunked"}},
                        std::string(size) + "\r\n" + body.substr(0, body.size() - 2) + "\r\n2\r\n" +
                            body.substr(body.size() - 2) + "\r\n0\r\n\r\n"};
  });
  for (const char* path : {"/found", "/see-other"}) {
    server.ClearRequests();
    CString out;
    std::uint32_t status = 0;
    ASSERT_TRUE(nimbrel::DownloadTextMethodPost(W(server.Url(path)), L"k=v", out, status, L"")) << path;
    EXPECT_EQ(200u, status);
    EXPECT_EQ(L"GET:", out.str());
    const auto requests = server.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("GET", requests[1].method);
  }
  CString out;
  ASSERT_TRUE(nimbrel::DownloadText(W(server.Url("/landing")), out, L""));
  EXPECT_EQ(L"GET:", out.str());
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

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Kept connections change nothing that is sent or received, survive a server
// that went away (a fresh connection replaces the dead one), and close when
// their thread ends.
TEST(Downloads, KeptConnectionsAnswerAlikeAndCloseWithTheirThread) {
  const std::size_t before = OpenDescriptors();
  std::vector<std::string> bodies;
  std::thread worker([&] {
    nimbrel::PostOptions keep;
    keep.keepAlive = true;
    for (int round = 0; round < 2; ++round) {
      HttpTestServer server;
      server.Handle("/echo", [](const RecordedRequest& r) { return HttpResponse{200, "OK", {}, r.body}; });
      for (int i = 0; i < 3; ++i) {
        CString out;
        std::uint32_t status = 0;
        const bool ok = nimbrel::DownloadTextMethodPost(W(server.Url("/echo")), L"n=" + std::to_wstring(i), out,
                                                        status, L"", 0, {}, keep);
        bodies.push_back((ok ? "" : "failed ") + std::to_string(status) + " " + platform::ToUtf8(out.str()));
      }
      EXPECT_EQ(3u, server.RequestCount());
    }
  });
  worker.join();
  EXPECT_EQ((std::vector<std::string>{"200 n=0", "200 n=1", "200 n=2", "200 n=0", "200 n=1", "200 n=2"}), bodies);
  EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
