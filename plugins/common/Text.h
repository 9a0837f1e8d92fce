// Text helpers shared by the source plug-ins: UTF-8 and wide strings, URL
// query encoding, comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plugin_text {

// UTF-8 to a wide string. Invalid sequences become U+FFFD; NUL characters are
// dropped, since a tag text ends at the first NUL.
std::wstring Widen(std::string_view utf8);
// A wide string to UTF-8; values that are no Unicode scalar become U+FFFD.
std::string Narrow(std::wstring_view text);
// Appends the UTF-8 form of a Unicode scalar value.
void AppendUtf8(std::string& out, std::uint32_t codePoint);
// Percent-encodes every byte except the unreserved ones (RFC 3986).
std::string UrlEncode(std::string_view utf8);
// Equal ignoring the case of ASCII and Latin letters (towlower).
bool SameText(std::wstring_view a, std::wstring_view b);
// Leading and trailing white space removed.
std::wstring Trimmed(std::wstring_view text);
// The host (and port) of an address: "http://h:81/a" -> "h:81".
std::string HostOf(const std::string& url);

}  // namespace plugin_text
