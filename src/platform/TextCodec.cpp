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

// The precomposed letters of Windows-1252 as base letter + combining mark:
// the canonical decompositions of U+00C0..U+00FF (those that have one) and of
// Š, š, Ž, ž and Ÿ. Enough for composing text headed for the code page.
struct Composition {
  char16_t composed, base, mark;
};
constexpr Composition kCompositions[] = {
    {0xC0, 'A', 0x300}, {0xC1, 'A', 0x301}, {0xC2, 'A', 0x302}, {0xC3, 'A', 0x303}, {0xC4, 'A', 0x308},
    {0xC5, 'A', 0x30A}, {0xC7, 'C', 0x327}, {0xC8, 'E', 0x300}, {0xC9, 'E', 0x301}, {0xCA, 'E', 0x302},
    {0xCB, 'E', 0x308}, {0xCC, 'I', 0x300}, {0xCD, 'I', 0x301}, {0xCE, 'I', 0x302}, {0xCF, 'I', 0x308},
    {0xD1, 'N', 0x303}, {0xD2, 'O', 0x300}, {0xD3, 'O', 0x301}, {0xD4, 'O', 0x302}, {0xD5, 'O', 0x303},
    {0xD6, 'O', 0x308}, {0xD9, 'U', 0x300}, {0xDA, 'U', 0x301}, {0xDB, 'U', 0x302}, {0xDC, 'U', 0x308},
    {0xDD, 'Y', 0x301}, {0xE0, 'a', 0x300}, {0xE1, 'a', 0x301}, {0xE2, 'a', 0x302}, {0xE3, 'a', 0x303},
    {0xE4, 'a', 0x308}, {0xE5, 'a', 0x30A}, {0xE7, 'c', 0x327}, {0xE8, 'e', 0x300}, {0xE9, 'e', 0x301},
    {0xEA, 'e', 0x302}, {0xEB, 'e', 0x308}, {0xEC, 'i', 0x300}, {0xED, 'i', 0x301}, {0xEE, 'i', 0x302},
    {0xEF, 'i', 0x308}, {0xF1, 'n', 0x303}, {0xF2, 'o', 0x300}, {0xF3, 'o', 0x301}, {0xF4, 'o', 0x302},
    {0xF5, 'o', 0x303}, {0xF6, 'o', 0x308}, {0xF9, 'u', 0x300}, {0xFA, 'u', 0x301}, {0xFB, 'u', 0x302},
    {0xFC, 'u', 0x308}, {0xFD, 'y', 0x301}, {0xFF, 'y', 0x308}, {0x160, 'S', 0x30C}, {0x161, 's', 0x30C},
    {0x17D, 'Z', 0x30C}, {0x17E, 'z', 0x30C}, {0x178, 'Y', 0x308},
};

// The letter that `base` + `mark` compose to, or 0.
char32_t Compose(char32_t base, char32_t mark) {
  if (mark < 0x300 || mark > 0x36F) return 0;
  for (const Composition& c : kCompositions)
    if (c.base == base && c.mark == mark) return c.composed;
  return 0;
}

// The Windows-1252 byte of `c`, or "#".
char Windows1252Byte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (unsigned i = 0; i < kHighControls.size(); ++i)
    if (kHighControls[i] == c) return static_cast<char>(0x80 + i);
  return '#';
}

// First byte of a native name escape: U+DC80 stands for byte 0x80.
constexpr char32_t kEscapeBase = 0xDC00;

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
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (i + 1 < text.size()) {
      if (const char32_t composed = Compose(c, static_cast<char32_t>(text[i + 1]))) {
        c = composed;
        ++i;
      }
    }
    out.push_back(Windows1252Byte(c));
  }
  return out;
}

std::wstring FromNativeName(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      out.push_back(static_cast<wchar_t>(p[i++]));
      continue;
    }
    std::size_t length;
    bool valid;
    const char32_t c = DecodeMultiByte(p + i, n - i, length, valid);
    if (valid) {
      out.push_back(static_cast<wchar_t>(c));
    } else {
      for (std::size_t k = 0; k < length; ++k) out.push_back(static_cast<wchar_t>(kEscapeBase + p[i + k]));
    }
    i += length;
  }
  return out;
}

std::string ToNativeName(std::wstring_view name) {
  std::string out;
  out.reserve(name.size());
  std::size_t start = 0;  // first character not yet written
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const bool escape = i < name.size() && static_cast<char32_t>(name[i]) >= kEscapeBase + 0x80 &&
                        static_cast<char32_t>(name[i]) <= kEscapeBase + 0xFF;
    if (i < name.size() && !escape) continue;
    out += ToUtf8(name.substr(start, i - start));
    if (escape) out.push_back(static_cast<char>(static_cast<char32_t>(name[i]) - kEscapeBase));
    start = i + 1;
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
