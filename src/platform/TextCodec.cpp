#include "platform/TextCodec.h"

#include <array>
#include <cstdint>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Values that cannot be written as UTF-8 (surrogates, beyond U+10FFFF) are
// written as U+FFFD.
constexpr char32_t Utf8Encodable(char32_t c) { return (IsSurrogate(c) || c > 0x10FFFF) ? kReplacement : c; }

constexpr std::size_t Utf8Length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Windows-1252 bytes 0x80-0x9F; every other byte is the code point of the same value.
// The five bytes the code page leaves unassigned decode to the C1 control of the same value.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr std::array<char16_t, 256> MakeWindows1252Table() {
  std::array<char16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<char16_t>(i);
  for (unsigned i = 0; i < 32; ++i) table[0x80 + i] = kHighControls[i];
  return table;
}
constexpr std::array<char16_t, 256> kWindows1252 = MakeWindows1252Table();

// Decodes the UTF-8 sequence at `p`, whose lead byte is not ASCII. Returns the
// scalar and sets `length` to the bytes consumed; an invalid sequence gives
// U+FFFD, clears `valid` and consumes its maximal invalid subpart (at least one byte).
inline char32_t DecodeMultiByte(const unsigned char* p, std::size_t remaining, std::size_t& length,
                                bool& valid) {
  const unsigned lead = p[0];
  std::size_t need;
  unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
  char32_t c;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    c = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;       // no overlong forms
    else if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    c = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;       // no overlong forms
    else if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    length = 1;
    valid = false;
    return kReplacement;
  }
  std::size_t n = 1;
  for (; n < need; ++n) {
    if (n >= remaining) break;
    const unsigned b = p[n];
    if (n == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    c = (c << 6) | (b & 0x3F);
  }
  length = n;
  valid = n == need;
  return valid ? c : kReplacement;
}

}  // namespace

std::string ToUtf16Le(std::wstring_view text) {
  std::string out;
  out.reserve(Utf16Length(text) * 2);
  auto put = [&out](char32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
  };
  for (const wchar_t wc : text) {
    const auto c = static_cast<char32_t>(wc);
    if (c < 0x10000) {
      put(c);
    } else if (c <= 0x10FFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(kReplacement);
    }
  }
  return out;
}

std::wstring FromUtf16Le(std::string_view bytes) {
  const std::size_t units = bytes.size() / 2;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  auto unit = [p](std::size_t i) -> char32_t { return p[2 * i] | (p[2 * i + 1] << 8); };
  std::wstring out;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

std::string ToUtf8(std::wstring_view text) {
  // Size the result exactly first so that the text is written with one allocation.
  std::size_t size = 0;
  for (const wchar_t wc : text) size += Utf8Length(Utf8Encodable(static_cast<char32_t>(wc)));
  std::string out(size, '\0');
  char* d = out.data();
  for (const wchar_t wc : text) {
    const char32_t c = Utf8Encodable(static_cast<char32_t>(wc));
    if (c < 0x80) {
      *d++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *d++ = static_cast<char>(0xC0 | (c >> 6));
      *d++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *d++ = static_cast<char>(0xE0 | (c >> 12));
      *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *d++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *d++ = static_cast<char>(0xF0 | (c >> 18));
      *d++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *d++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring FromUtf8(std::string_view bytes) {
  // Every byte yields at most one character, so the input size bounds the output.
  std::wstring out(bytes.size(), L'\0');
  wchar_t* d = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      *d++ = static_cast<wchar_t>(p[i++]);
      continue;
    }
    std::size_t length;
    bool valid;
    *d++ = static_cast<wchar_t>(DecodeMultiByte(p + i, n - i, length, valid));
    i += length;
  }
  out.resize(static_cast<std::size_t>(d - out.data()));
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    bool valid;
    DecodeMultiByte(p + i, n - i, length, valid);
    if (!valid) return false;
    i += length;
  }
  return true;
}

std::string ToWindows1252(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t wc : text) {
    const auto c = static_cast<char32_t>(wc);
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char byte = '#';
    for (unsigned i = 0; i < kHighControls.size(); ++i) {
      if (kHighControls[i] == c) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out.push_back(byte);
  }
  return out;
}

std::wstring FromWindows1252(std::string_view bytes) {
  std::wstring out;
  out.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = static_cast<wchar_t>(kWindows1252[static_cast<unsigned char>(bytes[i])]);
  }
  return out;
}

std::string ToCodePage(std::wstring_view text, unsigned codePage) {
  return codePage == kCodePageUtf8 ? ToUtf8(text) : ToWindows1252(text);
}

std::wstring FromCodePage(std::string_view bytes, unsigned codePage) {
  return codePage == kCodePageUtf8 ? FromUtf8(bytes) : FromWindows1252(bytes);
}

std::size_t Utf16Length(std::wstring_view text) {
  std::size_t units = text.size();
  for (const wchar_t wc : text) {
    const auto c = static_cast<char32_t>(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) ++units;
  }
  return units;
}

}  // namespace platform
