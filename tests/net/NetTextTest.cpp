#include "net/NetText.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace nimbrel {
namespace {

TEST(NetTextTest, UrlEncodeAndRequestAddressWriteUtf8BytesOfWholeCharacters) {
  EXPECT_EQ(UrlEncode(L"a b+\u00E9"), L"a%20b%2B%C3%A9");
  EXPECT_EQ(UrlEncode(L"AZaz09-_.~"), L"AZaz09-_.~");
  EXPECT_EQ(UrlEncode(L"%&=/\u20AC"), L"%25%26%3D%2F%E2%82%AC");
  EXPECT_EQ(UrlEncode(L"\U0001F600"), L"%F0%9F%98%80");
  // A surrogate pair held as two values is still one character; a lone one is not valid text.
  EXPECT_EQ(UrlEncode(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), L"%F0%9F%98%80");
  EXPECT_EQ(UrlEncode(std::wstring{wchar_t(0xD83D), L'x'}), L"%EF%BF%BDx");
  EXPECT_EQ(RequestAddress(L" http://h/\u041C o\t%41#f?q \n"), "http://h/%D0%9C%20o%09%41#f?q");
  EXPECT_EQ(RequestAddress(L"http://h/\x7F\u20AC\U0001F600"), "http://h/%7F%E2%82%AC%F0%9F%98%80");
  const wchar_t lone[] = {L'/', static_cast<wchar_t>(0xD800), 0};
  EXPECT_EQ(RequestAddress(lone), "/%EF%BF%BD");
}

TEST(NetTextTest, UrlDecodeDecodesUtf8RunsKeepsOtherBytesAsUnitsAndRefusesMalformedInput) {
  EXPECT_EQ(UrlDecode(L"a+b%41"), L"a bA");
  EXPECT_EQ(UrlDecode(L"%C3%A9t%c3%a9"), L"\u00E9t\u00E9");
  EXPECT_EQ(UrlDecode(L"caf%E9"), L"caf\u00E9");          // Latin-1 byte, not UTF-8
  EXPECT_EQ(UrlDecode(L"%C3%41"), L"\u00C3A");            // broken sequence: byte per unit
  EXPECT_EQ(UrlDecode(L"%ED%A0%80"), L"\u00ED\u00A0\u0080");  // encoded surrogate is not UTF-8
  EXPECT_EQ(UrlDecode(L"%C3+%A9"), L"\u00C3 \u00A9");     // a run ends at any other character
  EXPECT_EQ(UrlDecode(L"\u00E9\U0001F600"), L"\u00E9\U0001F600");
  for (const wchar_t* text : {L"50%", L"%zz", L"a%4", L"%4g+x", L"%00", L"x%00y", L"%41%zz+", L"%"}) {
    EXPECT_EQ(UrlDecode(text), text);  // malformed: returned unchanged
  }
}

TEST(NetTextTest, ExtractBetweenFindsTheEndFromTheStartMarker) {
  std::wstring out = L"old";
  EXPECT_TRUE(ExtractBetween(L"artist=", L"\r\n", L"artist=X\r\n", out, false));
  EXPECT_EQ(out, L"X");
  EXPECT_TRUE(ExtractBetween(L"artist=", L"\r\n", L"artist=X\r\n", out, true));
  EXPECT_EQ(out, L"artist=X\r\n");
  EXPECT_TRUE(ExtractBetween(L"title=", L"\r\n", L"1\r\ntitle=T\r\nalbum=A\r\n", out, false));
  EXPECT_EQ(out, L"T");
  EXPECT_TRUE(ExtractBetween(L"year=", L"\r\n", L"year=\r\n", out, false));
  EXPECT_EQ(out, L"");

  out = L"kept";
  EXPECT_FALSE(ExtractBetween(L"genre=", L"\r\n", L"artist=X\r\n", out, false));
  EXPECT_FALSE(ExtractBetween(L"artist=", L"\r\n", L"\r\nartist=X", out, false));
  EXPECT_FALSE(ExtractBetween(L"a=", L"=", L"a=x=", out, false));  // the end marker found overlaps the start
  EXPECT_EQ(out, L"kept");
}

// The agent's numbers come from per-thread generators: checked on several threads at once.
TEST(NetTextTest, UserAgentTokensStayInTheirRangesOnConcurrentThreads) {
  const std::wstring n = L"([0-9]|[1-9][0-9]{1,3}|[12][0-9]{4}|3[01][0-9]{3}|32[0-6][0-9]{2}|327[0-5][0-9]|3276[0-7])";
  const std::wregex pattern(L"Mozilla/4\\.0 \\(compatible; MSIE [678]\\.0; Windows NT (5\\.1|6\\.0|6\\.1)(; en-US)?"
                            L"(; Trident/4\\.0)?(; SV1)?(; YPC 3\\.[0-2]\\.[0-9])?(; GTB[0-5]\\.[0-9])?"
                            L"(; \\.NET CLR 1\\.0\\." + n + L")?(; \\.NET CLR 1\\.1\\." + n + L")?"
                            L"(; \\.NET CLR 2\\.0\\." + n + L")?(; \\.NET CLR 3\\.0\\." + n + L"\\." + n + L")?"
                            L"(; \\.NET CLR 3\\.5\\." + n + L"\\." + n + L")?(; yie8)?"
                            L"(; yplus 5\\.[0-2]\\.([0-9]|[12][0-9]))?\\)");
  const std::vector<std::wstring> tokens = {L"MSIE 6.0", L"MSIE 7.0", L"MSIE 8.0", L"NT 5.1", L"NT 6.0",
                                            L"NT 6.1", L"en-US", L"Trident", L"SV1", L"YPC", L"GTB",
                                            L"CLR 1.0", L"CLR 1.1", L"CLR 2.0", L"CLR 3.0", L"CLR 3.5",
                                            L"yie8", L"yplus"};
  auto check = [&] {
    std::set<std::wstring> seen;
    for (int i = 0; i < 1500; ++i) {
      const std::wstring agent = MakeUserAgent();
      ASSERT_TRUE(std::regex_match(agent, pattern)) << std::string(agent.begin(), agent.end());
      for (const auto& token : tokens) {
        if (agent.find(token) != std::wstring::npos) seen.insert(token);
      }
      const std::int32_t plain = RandomNumber(0);
      ASSERT_GE(plain, 0);
      ASSERT_LE(plain, 32767);
    }
    EXPECT_EQ(seen.size(), tokens.size());  // every choice and token does occur
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(check);
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace nimbrel
