#include "servercache/RequestSigning.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/TextCodec.h"

namespace nimbrel {

std::string HmacSha256(std::string_view key, std::string_view message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // HMAC() takes a null key pointer as "no key" only for a zero length, so an
  // empty key gets a valid pointer.
  static const unsigned char kNoKey = 0;
  const void* keyData = key.empty() ? static_cast<const void*>(&kNoKey) : static_cast<const void*>(key.data());
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  if (!HMAC(EVP_sha256(), keyData, static_cast<int>(key.size()), message.empty() ? &kNoKey : data,
            message.size(), digest, &length)) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::wstring SignRequest(std::wstring_view key, std::wstring_view text) {
  const std::string digest = HmacSha256(platform::ToWindows1252(key), platform::ToWindows1252(text));
  if (digest.empty()) return std::wstring();
  std::wstring signature;
  for (const char c : Base64Encode(digest)) {
    if (c == '+') {
      signature += L"%2B";
    } else if (c == '=') {
      signature += L"%3D";
    } else {
      signature += static_cast<wchar_t>(c);
    }
  }
  return signature;
}

}  // namespace nimbrel
