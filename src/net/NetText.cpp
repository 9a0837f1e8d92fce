#include "net/NetText.h"

#include <chrono>
#include <string>

#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

bool IsUnreserved(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'-' ||
         c == L'_' || c == L'.' || c == L'~';
}

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

// Length of the valid UTF-8 sequence at the start of `bytes` and its scalar
// value; 0 when the bytes there do not begin a valid sequence.
std::size_t Utf8Sequence(std::string_view bytes, char32_t& value) {
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  std::size_t length;
  char32_t min;
  if (b0 < 0x80) {
    value = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, min = 0x80, value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, min = 0x800, value = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, min = 0x10000, value = b0 & 0x07;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if ((b & 0xC0) != 0x80) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

// Appends decoded bytes: valid UTF-8 sequences as their characters, any other
// byte as the character of the same value.
void AppendDecodedBytes(std::wstring& out, std::string_view bytes) {
  while (!bytes.empty()) {
    char32_t value;
    std::size_t length = Utf8Sequence(bytes, value);
    if (length == 0) {
      value = static_cast<unsigned char>(bytes[0]);
      length = 1;
    }
    out += static_cast<wchar_t>(value);
    bytes.remove_prefix(length);
  }
}

// The classic C runtime generator, one per thread so that callers on
// different threads never share (and race on) its state.
thread_local std::uint32_t t_generatorState = 1;

std::int32_t NextGeneratorValue() {
  t_generatorState = t_generatorState * 214013u + 2531011u;
  return static_cast<std::int32_t>((t_generatorState >> 16) & 0x7FFF);
}

}  // namespace

std::wstring UrlEncode(std::wstring_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (IsUnreserved(c)) {
      out += c;
      continue;
    }
    // A surrogate pair that reached a wide string unpaired is one character.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    }
    for (const char byte : platform::ToUtf8(std::wstring_view(&c, 1))) {
      const auto b = static_cast<unsigned char>(byte);
      out += L'%';
      out += static_cast<wchar_t>(kHex[b >> 4]);
      out += static_cast<wchar_t>(kHex[b & 0x0F]);
    }
  }
  return out;
}

std::string RequestAddress(std::wstring_view url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto blank = [](wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); };
  while (!url.empty() && blank(url.front())) url.remove_prefix(1);
  while (!url.empty() && blank(url.back())) url.remove_suffix(1);
  std::string out;
  out.reserve(url.size());
  for (const char byte : platform::ToUtf8(url)) {
    const auto b = static_cast<unsigned char>(byte);
    if (b <= 0x20 || b >= 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += byte;
    }
  }
  return out;
}

std::wstring UrlDecode(std::wstring_view text) {
  // Malformed escapes leave the whole input as it is.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != L'%') continue;
    if (text.size() - i < 3) return std::wstring(text);
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::wstring(text);
    i += 2;
  }

  std::wstring out;
  out.reserve(text.size());
  std::string bytes;  // the current run of escaped bytes
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%') {
      bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
      continue;
    }
    AppendDecodedBytes(out, bytes);
    bytes.clear();
    out += text[i] == L'+' ? L' ' : text[i];
  }
  AppendDecodedBytes(out, bytes);
  return out;
}

bool ExtractBetween(std::wstring_view start, std::wstring_view end, std::wstring_view text, std::wstring& out,
                    bool includeMarkers) {
  const std::size_t first = text.find(start);
  if (first == std::wstring_view::npos) return false;
  const std::size_t last = text.find(end, first);
  if (last == std::wstring_view::npos || last < first + start.size()) return false;
  if (includeMarkers) {
    out.assign(text.substr(first, last + end.size() - first));
  } else {
    out.assign(text.substr(first + start.size(), last - first - start.size()));
  }
  return true;
}

std::int32_t RandomNumber(std::int32_t n) {
  // The low 32 bits of a nanosecond counter, as the runtime seeds from its performance counter.
  const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch()).count();
  t_generatorState = static_cast<std::uint32_t>(static_cast<std::uint64_t>(ticks));
  const std::int32_t value = NextGeneratorValue();
  return n >= 1 ? value % n : value;
}

std::wstring MakeUserAgent() {
  static constexpr const wchar_t* kBrowsers[] = {L" MSIE 6.0;", L" MSIE 7.0;", L" MSIE 8.0;"};
  static constexpr const wchar_t* kSystems[] = {L" Windows NT 5.1", L" Windows NT 6.0", L" Windows NT 6.1"};
  std::wstring agent = L"Mozilla/4.0 (compatible;";
  // Generator values are drawn in the order their conversions appear.
  auto append = [&agent](const wchar_t* prefix, int modulo1, int modulo2) {
    agent += prefix;
    const int a = NextGeneratorValue();
    agent += std::to_wstring(modulo1 > 0 ? a % modulo1 : a);
    if (modulo2 < 0) return;
    const int b = NextGeneratorValue();
    agent += L'.';
    agent += std::to_wstring(modulo2 > 0 ? b % modulo2 : b);
  };

  agent += kBrowsers[RandomNumber(3)];
  agent += kSystems[RandomNumber(3)];
  if (RandomNumber(2) != 0) agent += L"; en-US";

  const int first = RandomNumber(11);
  for (int token = first; token <= 10; ++token) {
    if (RandomNumber(2) == 0) continue;
    switch (token) {
      case 0: agent += L"; Trident/4.0"; break;
      case 1: agent += L"; SV1"; break;
      case 2: append(L"; YPC 3.", 3, 10); break;
      case 3: append(L"; GTB", 6, 10); break;
      case 4: append(L"; .NET CLR 1.0.", 0, -1); break;
      case 5: append(L"; .NET CLR 1.1.", 0, -1); break;
      case 6: append(L"; .NET CLR 2.0.", 0, -1); break;
      case 7: append(L"; .NET CLR 3.0.", 0, 0); break;
      case 8: append(L"; .NET CLR 3.5.", 0, 0); break;
      case 9: agent += L"; yie8"; break;
      case 10: {
        agent += L"; yplus 5.";
        agent += std::to_wstring(RandomNumber(3));
        agent += L'.';
        agent += std::to_wstring(RandomNumber(30));
        break;
      }
    }
  }
  agent += L')';
  return agent;
}

}  // namespace nimbrel
