#include "Text.h"

#include <cstdint>
#include <cwctype>

namespace plugin_text {

std::wstring Widen(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      if (b0 != 0) out += static_cast<wchar_t>(b0);
      ++i;
      continue;
    }
    int length = 0;
    std::uint32_t cp = 0, minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) length = 2, cp = b0 & 0x1F, minimum = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) length = 3, cp = b0 & 0x0F, minimum = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) length = 4, cp = b0 & 0x07, minimum = 0x10000;
    bool valid = length > 0 && s.size() - i >= static_cast<std::size_t>(length);
    for (int k = 1; valid && k < length; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (valid && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    out += valid ? static_cast<wchar_t>(cp) : L'\xFFFD';
    i += valid ? static_cast<std::size_t>(length) : 1;
  }
  return out;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto cp = static_cast<std::uint32_t>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    AppendUtf8(out, cp);
  }
  return out;
}

std::string UrlEncode(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
        b == '_' || b == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

bool SameText(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  }
  return true;
}

std::wstring Trimmed(std::wstring_view text) {
  const auto first = text.find_first_not_of(L" \t\r\n");
  if (first == std::wstring_view::npos) return std::wstring();
  const auto last = text.find_last_not_of(L" \t\r\n");
  return std::wstring(text.substr(first, last - first + 1));
}

std::string HostOf(const std::string& url) {
  const auto start = url.find("://");
  const auto from = start == std::string::npos ? 0 : start + 3;
  return url.substr(from, url.find('/', from) - from);
}

}  // namespace plugin_text
