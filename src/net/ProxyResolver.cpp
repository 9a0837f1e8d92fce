#include "net/ProxyResolver.h"

#include <cstdlib>

#include "foundation/Masterlog.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring Trimmed(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return std::wstring(text);
}

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// Removes a leading "scheme://" (a scheme being a letter followed by letters,
// digits, "+", "-" or ".").
std::wstring WithoutScheme(const std::wstring& text) {
  const std::size_t separator = text.find(L"://");
  if (separator == std::wstring::npos || separator == 0 || !IsAsciiLetter(text[0])) return text;
  for (std::size_t i = 1; i < separator; ++i) {
    const wchar_t c = text[i];
    if (!IsAsciiLetter(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.') return text;
  }
  return text.substr(separator + 3);
}

}  // namespace

std::wstring ResolveProxy(std::wstring_view setting) {
  if (setting == L"0") return std::wstring();
  if (setting == L"1") return GetHttpProxy();
  return std::wstring(setting);
}

std::wstring GetHttpProxy() {
  return GetHttpProxyFrom([](const char* name, std::string& value) {
    const char* text = std::getenv(name);
    if (!text) return false;
    value = text;
    return true;
  });
}

std::wstring GetHttpProxyFrom(const EnvironmentLookup& lookup) {
  const char* name = nullptr;
  std::string raw;
  for (const char* candidate : {"http_proxy", "HTTP_PROXY"}) {
    if (lookup(candidate, raw) && !raw.empty()) {
      name = candidate;
      break;
    }
  }
  if (!name) {
    LogF(60, L"GetHttpProxy Proxy not enabled: lr=%ld", 0L);
    return std::wstring();
  }
  const std::wstring value = platform::FromUtf8(raw);
  LogF(40, L"GetIEProxy Proxy value from reg:[%s]=[%s]", name, value);

  std::wstring proxy = value;
  if (value.find(L'=') != std::wstring::npos) {
    const std::size_t entry = value.find(L"http=");
    if (entry == std::wstring::npos) {
      proxy.clear();
    } else {
      const std::size_t start = entry + 5;
      const std::size_t end = value.find(L';', start);
      proxy = value.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    }
  }
  proxy = WithoutScheme(Trimmed(proxy));
  if (!proxy.empty() && proxy.back() == L'/') proxy.pop_back();
  proxy = Trimmed(proxy);
  LogF(40, L"GetIEProxy Returning HTTP Proxy: [%s]", proxy);
  return proxy;
}

}  // namespace nimbrel
