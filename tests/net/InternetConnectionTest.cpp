#include "net/InternetConnection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProcessLog.h"
#include "support/ProxyEnvironment.h"

namespace {

using testing_support::FakeEnv;
using testing_support::HttpTestServer;
using testing_support::ProcessLogText;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();


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

TEST(CheckInternetConnection, FirstAnsweringSiteWinsDirectOrThroughTheProxy) {
  HttpTestServer later;
  HttpTestServer answering;
  answering.Redirect("/", later.Url("/"), 302);
  FakeEnv env;
  env.SetConnectivityProbeHosts({ClosedHost(), Host(answering), Host(later)});
  platform::ScopedEnv scoped(&env);
  EXPECT_TRUE(nimbrel::CheckInternetConnection("", 1000, nullptr));
  ASSERT_EQ(1u, answering.RequestCount());
  EXPECT_EQ("HEAD", answering.Requests()[0].method);
  EXPECT_EQ("/", answering.Requests()[0].path);
  EXPECT_EQ(0u, later.RequestCount());  // neither redirected to nor probed
  // The "proxy" is a plain server answering by path (404 here): the probe
  // site's name is only ever sent to it, never resolved.
  HttpTestServer proxy;
  env.SetConnectivityProbeHosts({L"probe.nimbrel.test"});
  EXPECT_TRUE(nimbrel::CheckInternetAvailable(Host(proxy)));
  ASSERT_EQ(1u, proxy.RequestCount());
  EXPECT_EQ("HEAD", proxy.Requests()[0].method);
  EXPECT_EQ("http://probe.nimbrel.test/", proxy.Requests()[0].target);
}

TEST(CheckInternetConnection, FailsAfterTryingEverySiteOrWhenToldToStop) {
  ProcessLogText();
  HttpTestServer never;
  FakeEnv env;
  env.SetConnectivityProbeHosts({ClosedHost(), ClosedHost(), ClosedHost()});
  platform::ScopedEnv scoped(&env);
  const std::wstring failed = L"CheckInternetConnection - site failed: http://127.0.0.1:";
  const std::size_t before = Count(ProcessLogText(), failed);
  EXPECT_FALSE(nimbrel::CheckInternetAvailable(L""));
  EXPECT_EQ(before + 3, Count(ProcessLogText(), failed));
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"CheckInternetConnection - Internet is DOWN"));

  env.SetConnectivityProbeHosts({ClosedHost(), Host(never)});
  StopAfter stop;
  EXPECT_FALSE(nimbrel::CheckInternetConnection("", 1000, &stop));
  EXPECT_EQ(1, stop.asked);
  EXPECT_EQ(0u, never.RequestCount());
  EXPECT_NE(std::wstring::npos, ProcessLogText().find(L"CheckInternetConnection: will break checking for"));
}

}  // namespace
