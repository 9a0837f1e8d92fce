#include "net/InternetConnection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/Masterlog.h"
#include "platform/File.h"
#include "platform/TextCodec.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::FakeEnv;
using testing_support::HttpTestServer;
using testing_support::ScratchFolder;

const bool kProxyVariablesCleared = [] {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
  return true;
}();

// The process's log, opened by the first call; tests that count entries call it first.
std::wstring LogText() {
  static ScratchFolder folder;
  static const bool opened = [] {
    CMasterlog::Instance().Open(folder.path().c_str(), L"probe", 60);
    LogF(10, L"log opened");
    return true;
  }();
  (void)opened;
  std::string bytes;
  platform::File::ReadAll(CMasterlog::Instance().TraceFilePath().str(), bytes);
  return platform::FromUtf16Le(bytes);
}

std::size_t Count(const std::wstring& text, const std::wstring& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// "127.0.0.1:<port>" of a port that nothing listens on any more.
std::wstring ClosedHost() {
  HttpTestServer gone;
  return platform::FromUtf8(gone.HostPort());
}

std::wstring Host(const HttpTestServer& server) { return platform::FromUtf8(server.HostPort()); }

struct StopAfter : nimbrel::IConnectionCheckStop {
  int asked = 0;
  bool ContinueChecking() override {
    ++asked;
    return false;
  }
};

TEST(CheckInternetConnection, FirstAnsweringSiteWinsAndErrorStatusCounts) {
  HttpTestServer answering;  // no routes: every path answers 404
  HttpTestServer later;
  FakeEnv env;
  env.SetConnectivityProbeHosts({ClosedHost(), Host(answering), Host(later)});
  platform::ScopedEnv scoped(&env);
  EXPECT_TRUE(nimbrel::CheckInternetConnection("", 1000, nullptr));
  ASSERT_EQ(1u, answering.RequestCount());
  EXPECT_EQ("HEAD", answering.Requests()[0].method);
  EXPECT_EQ("/", answering.Requests()[0].path);
  EXPECT_EQ(0u, later.RequestCount());
}

TEST(CheckInternetConnection, RedirectCountsAsReachableAndIsNotFollowed) {
  HttpTestServer target;
  HttpTestServer redirecting;
  redirecting.Redirect("/", target.Url("/"), 302);
  FakeEnv env;
  env.SetConnectivityProbeHosts({Host(redirecting)});
  platform::ScopedEnv scoped(&env);
  EXPECT_TRUE(nimbrel::CheckInternetConnection("", 1000, nullptr));
  EXPECT_EQ(0u, target.RequestCount());
}

TEST(CheckInternetConnection, AllSitesFailingGivesFalseAfterEachWasTried) {
  LogText();
  FakeEnv env;
  env.SetConnectivityProbeHosts({ClosedHost(), ClosedHost(), ClosedHost(), ClosedHost()});
  platform::ScopedEnv scoped(&env);
  const std::size_t before = Count(LogText(), L"CheckInternetConnection - site failed: http://127.0.0.1:");
  EXPECT_FALSE(nimbrel::CheckInternetAvailable(L""));
  const std::wstring log = LogText();
  EXPECT_EQ(before + 4, Count(log, L"CheckInternetConnection - site failed: http://127.0.0.1:"));
  EXPECT_NE(std::wstring::npos, log.find(L"CheckInternetConnection - Internet is DOWN"));
}

TEST(CheckInternetConnection, StopQueryAnsweringFalseEndsTheCheck) {
  LogText();
  HttpTestServer never;
  FakeEnv env;
  env.SetConnectivityProbeHosts({ClosedHost(), Host(never)});
  platform::ScopedEnv scoped(&env);
  StopAfter stop;
  EXPECT_FALSE(nimbrel::CheckInternetConnection("", 1000, &stop));
  EXPECT_EQ(1, stop.asked);
  EXPECT_EQ(0u, never.RequestCount());
  EXPECT_NE(std::wstring::npos, LogText().find(L"CheckInternetConnection: will break checking for"));
}

TEST(CheckInternetConnection, ProbesThroughTheProxy) {
  HttpTestServer proxy;
  proxy.EnableProxy();
  HttpTestServer site;
  FakeEnv env;
  env.SetConnectivityProbeHosts({Host(site)});
  platform::ScopedEnv scoped(&env);
  EXPECT_TRUE(nimbrel::CheckInternetAvailable(Host(proxy)));
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ("HEAD", proxy.Requests()[0].method);
  EXPECT_EQ(1u, site.RequestCount());
}

}  // namespace
