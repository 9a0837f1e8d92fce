#include "net/ProxyResolver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace nimbrel {
namespace {

std::wstring ProxyFrom(const std::map<std::string, std::string>& environment) {
  return GetHttpProxyFrom([&](const char* name, std::string& value) {
    const auto it = environment.find(name);
    if (it == environment.end()) return false;
    value = it->second;
    return true;
  });
}

std::wstring ProxyFrom(const std::string& httpProxy) { return ProxyFrom({{"http_proxy", httpProxy}}); }

TEST(ProxyResolverTest, ReadsOneProxyOrTheHttpEntryPreferringTheLowerCaseVariable) {
  EXPECT_EQ(ProxyFrom("10.0.0.1:3128"), L"10.0.0.1:3128");
  EXPECT_EQ(ProxyFrom("ftp=a:21;http=b:80;https=c:443"), L"b:80");
  EXPECT_EQ(ProxyFrom("https=c:443"), L"");
  EXPECT_EQ(ProxyFrom("ftp=a:21;http=b:80"), L"b:80");
  EXPECT_EQ(ProxyFrom(" b:80 "), L"b:80");
  EXPECT_EQ(ProxyFrom("http://b:80/"), L"b:80");
  EXPECT_EQ(ProxyFrom("socks5h://b:1080"), L"b:1080");
  EXPECT_EQ(ProxyFrom("http= http://b:80/ ;https=c:443"), L"b:80");

  EXPECT_EQ(ProxyFrom({{"http_proxy", "lower:1"}, {"HTTP_PROXY", "upper:2"}}), L"lower:1");
  EXPECT_EQ(ProxyFrom({{"http_proxy", ""}, {"HTTP_PROXY", "upper:2"}}), L"upper:2");
  EXPECT_EQ(ProxyFrom({{"HTTPS_PROXY", "other:3"}}), L"");
  EXPECT_EQ(ProxyFrom(std::map<std::string, std::string>{}), L"");
}

// "1" reads the process environment (the test program is single-threaded while it runs).
TEST(ProxyResolverTest, ResolvesTheSettingExactly) {
  ::setenv("http_proxy", "http://sys:8080/", 1);
  EXPECT_EQ(ResolveProxy(L"0"), L"");
  EXPECT_EQ(ResolveProxy(L"1"), L"sys:8080");
  EXPECT_EQ(ResolveProxy(L"10.0.0.1:3128"), L"10.0.0.1:3128");
  EXPECT_EQ(ResolveProxy(L" 1"), L" 1");
  EXPECT_EQ(ResolveProxy(L""), L"");
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(ResolveProxy(L"1"), L"");
}

}  // namespace
}  // namespace nimbrel
