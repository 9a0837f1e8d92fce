// Signing of the tag-cache server's requests: an HMAC-SHA-256 of the request
// text under the library's fixed key, Base64-encoded and made safe to append
// to a form body. The hash, the HMAC and the Base64 encoding are OpenSSL's.
// Safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace nimbrel {

// The key every request is signed with, shared with the server.
inline constexpr std::wstring_view kServerCacheSigningKey = L"qwHmtesPLk5-ob7Z";

// HMAC-SHA-256 of `message` under `key` (RFC 2104 over SHA-256): the 32-byte
// digest. Keys longer than the 64-byte block are hashed first, as the
// standard says. Empty only if the crypto library fails.
std::string HmacSha256(std::string_view key, std::string_view message);

// Standard Base64 (RFC 4648: "+", "/" and "=" padding) of `bytes`.
std::string Base64Encode(std::string_view bytes);

// The signature appended to a request: key and text converted to the ANSI
// code page (the text is plain ASCII, its values being percent-encoded), the
// HMAC-SHA-256 of the text in Base64, then every "+" written as "%2B" and every
// "=" as "%3D" ("/" stays). 48 characters for a successful signing; empty
// when the crypto library fails.
std::wstring SignRequest(std::wstring_view key, std::wstring_view text);

}  // namespace nimbrel
