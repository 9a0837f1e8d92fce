#include <gtest/gtest.h>

#include <string>

#include "servercache/NimbrelServerCache.h"
#include "servercache/RequestSigning.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// Bytes of Latin-1 range as the wide text the signing takes.
std::wstring Wide(const std::string& bytes) {
  std::wstring text;
  for (const char c : bytes) text.push_back(static_cast<unsigned char>(c));
  return text;
}

std::wstring Escaped(const std::string& base64) {
  std::wstring out;
  for (const char c : base64) out += c == '+' ? L"%2B" : c == '=' ? L"%3D" : std::wstring(1, c);
  return out;
}

// RFC 4231 test cases 1, 2, 3, 4, 6 and 7 (6 and 7 have a 131-byte key, hashed first).
TEST(RequestSigning, MatchesRfc4231Vectors) {
  struct Case {
    std::string key, data, digestHex;
  };
  const std::string longKey(131, '\xaa');
  const Case cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {longKey, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {longKey,
       "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
       "hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : cases) {
    const std::string digest = FromHex(c.digestHex);
    EXPECT_EQ(digest, nimbrel::HmacSha256(c.key, c.data)) << c.digestHex;
    EXPECT_EQ(Escaped(nimbrel::Base64Encode(digest)), nimbrel::SignRequest(Wide(c.key), Wide(c.data))) << c.digestHex;
  }
  // RFC 4648 vectors: every length modulo three.
  const char* const base64[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},   {"foo", "Zm9v"},
                                   {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
                                   {"\xfb\xff\xbf", "+/+/"}};
  for (const auto& [in, out] : base64) EXPECT_EQ(out, nimbrel::Base64Encode(in)) << in;
}

TEST(RequestSigning, SignatureIsSafeInAFormBody) {
  bool sawSlash = false;
  for (int i = 0; i < 3000; ++i) {
    const std::wstring text = L"artist=A" + std::to_wstring(i) + L"&type=tags&version=1";
    const std::wstring signature = CNimbrelServerCache::Sign(text);
    EXPECT_EQ(std::wstring::npos, signature.find_first_of(L"+=")) << signature;
    // 44 Base64 characters ending in one "=", now "%3D".
    ASSERT_GE(signature.size(), 46u);
    EXPECT_EQ(L"%3D", signature.substr(signature.size() - 3));
    EXPECT_EQ(std::wstring::npos, signature.substr(0, signature.size() - 3).find(L"%3D"));
    sawSlash = sawSlash || signature.find(L'/') != std::wstring::npos;
  }
  EXPECT_TRUE(sawSlash);
  EXPECT_EQ(CNimbrelServerCache::Sign(L"x"), nimbrel::SignRequest(nimbrel::kServerCacheSigningKey, L"x"));
  EXPECT_NE(CNimbrelServerCache::Sign(L"x"), CNimbrelServerCache::Sign(L"y"));
}

}  // namespace
