// Inline definitions for StringFormat.h. Plug-ins compile these into
// themselves, so nothing here may need libnimbrel or the platform layer.
//
// Choices where C, MFC and this platform differ:
//  - width and precision are clamped to kMaxFormatWidth (1 << 20), so a
//    corrupt or hostile format cannot ask for gigabytes of padding;
//  - numbers always use "." as decimal point, whatever locale the host set;
//  - a %c whose value is 0 appends nothing (padding still applies), so the
//    result never holds an embedded NUL;
//  - %c keeps the full 32-bit value (wchar_t is UTF-32 here, not UTF-16);
//  - %a without a precision prints 13 hex digits, as the Windows runtime does;
//  - %p prints upper-case hex zero-padded to the pointer width, no "0x";
//  - precision of %s counts wchar_t units of the decoded text, also for
//    narrow text; "(null)" is truncated by it like any text;
//  - an argument of the wrong kind is converted by value: %d of 2.9 prints 2,
//    %f of 3 prints 3.000000; %s of a non-string prints "(null)" for a null
//    pointer or integer 0 (that is what NULL is) and the value as text else;
//    %c of a string prints its first character.
#pragma once

// The declarations these definitions belong to (which include this file at
// their end), so that the file also stands alone.
#include "nimbrel/StringFormat.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace nimbrel {
namespace format_detail {

constexpr int kMaxFormatWidth = 1 << 20;
constexpr int kPointerBits = static_cast<int>(sizeof(void*) * 8);

inline std::uint64_t Address(const void* p) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)); }

// Saturating conversion; NaN becomes 0 (a plain cast would be undefined).
inline std::int64_t DoubleToSigned(double d) {
  if (!(d == d)) return 0;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  if (d < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

inline std::uint64_t DoubleToUnsigned(double d) {
  if (d < 0) return static_cast<std::uint64_t>(DoubleToSigned(d));
  if (!(d == d)) return 0;
  if (d >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(d);
}

}  // namespace format_detail

inline std::int64_t FormatArg::AsSigned() const {
  switch (kind_) {
    case Kind::kSigned: return i_;
    case Kind::kUnsigned: return static_cast<std::int64_t>(u_);
    case Kind::kDouble: return format_detail::DoubleToSigned(d_);
    case Kind::kWide: return static_cast<std::int64_t>(format_detail::Address(w_));
    case Kind::kNarrow: return static_cast<std::int64_t>(format_detail::Address(n_));
    case Kind::kPointer: return static_cast<std::int64_t>(format_detail::Address(p_));
  }
  return 0;
}

inline std::uint64_t FormatArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::kSigned: return static_cast<std::uint64_t>(i_);
    case Kind::kUnsigned: return u_;
    case Kind::kDouble: return format_detail::DoubleToUnsigned(d_);
    case Kind::kWide: return format_detail::Address(w_);
    case Kind::kNarrow: return format_detail::Address(n_);
    case Kind::kPointer: return format_detail::Address(p_);
  }
  return 0;
}

inline double FormatArg::AsDouble() const {
  switch (kind_) {
    case Kind::kSigned: return static_cast<double>(i_);
    case Kind::kUnsigned: return static_cast<double>(u_);
    case Kind::kDouble: return d_;
    default: return static_cast<double>(AsUnsigned());
  }
}

namespace format_detail {

// One parsed conversion: flags, width, precision and length modifier.
struct Field {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  int width = 0;
  int precision = -1;  // -1: none given
  int bits = 32;       // integer width chosen by the length modifier
  bool narrow = false;  // "h"/"hh" given
  bool wide = false;    // "l"/"w" given
};

inline std::size_t Padding(const Field& field, std::size_t units) {
  const auto width = static_cast<std::size_t>(field.width);
  return width > units ? width - units : 0;
}

// Appends `units` characters written by `emit`, space-padded to the width.
template <typename Emit>
void AppendPadded(std::wstring& out, const Field& field, std::size_t units, Emit emit) {
  const std::size_t pad = Padding(field, units);
  if (!field.left) out.append(pad, L' ');
  emit();
  if (field.left) out.append(pad, L' ');
}

inline void AppendAscii(std::wstring& out, const char* s, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  for (std::size_t i = 0; i < n; ++i) out[at + i] = static_cast<unsigned char>(s[i]);
}

// 0x80..0x9F differ from Latin-1; the five unassigned bytes keep their value,
// as on Windows. A switch, not a table: a static table in an inline function
// would be exported by a plug-in as a GNU unique symbol, which keeps the
// module from ever being unloaded.
inline wchar_t FromWindows1252(unsigned char b) {
  switch (b) {
    case 0x80: return L'\u20AC';
    case 0x82: return L'\u201A';
    case 0x83: return L'\u0192';
    case 0x84: return L'\u201E';
    case 0x85: return L'\u2026';
    case 0x86: return L'\u2020';
    case 0x87: return L'\u2021';
    case 0x88: return L'\u02C6';
    case 0x89: return L'\u2030';
    case 0x8A: return L'\u0160';
    case 0x8B: return L'\u2039';
    case 0x8C: return L'\u0152';
    case 0x8E: return L'\u017D';
    case 0x91: return L'\u2018';
    case 0x92: return L'\u2019';
    case 0x93: return L'\u201C';
    case 0x94: return L'\u201D';
    case 0x95: return L'\u2022';
    case 0x96: return L'\u2013';
    case 0x97: return L'\u2014';
    case 0x98: return L'\u02DC';
    case 0x99: return L'\u2122';
    case 0x9A: return L'\u0161';
    case 0x9B: return L'\u203A';
    case 0x9C: return L'\u0153';
    case 0x9E: return L'\u017E';
    case 0x9F: return L'\u0178';
    default: return static_cast<wchar_t>(b);
  }
}

// Strict UTF-8: no overlong forms, surrogates or values above U+10FFFF.
inline bool IsValidUtf8(const unsigned char* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i <= extra || s[i + 1] < lo || s[i + 1] > hi) return false;
    for (std::size_t k = 2; k <= extra; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

// Narrow text with its encoding decided once: UTF-8 if valid, else Windows-1252.
struct NarrowText {
  NarrowText(const char* text, std::size_t n) : s(reinterpret_cast<const unsigned char*>(text)), size(n) {
    utf8 = IsValidUtf8(s, size);
    units = size;
    if (utf8)
      for (std::size_t i = 0; i < size; ++i) units -= (s[i] & 0xC0) == 0x80;
  }

  // Appends the first `count` (<= units) decoded characters.
  void AppendTo(std::wstring& out, std::size_t count) const {
    const std::size_t at = out.size();
    out.resize(at + count);
    wchar_t* dst = out.data() + at;
    if (!utf8) {
      for (std::size_t i = 0; i < count; ++i) dst[i] = FromWindows1252(s[i]);
      return;
    }
    const unsigned char* p = s;
    for (std::size_t k = 0; k < count; ++k) {
      const unsigned c = *p;
      std::uint32_t cp;
      if (c < 0x80) {
        cp = c, p += 1;
      } else if (c < 0xE0) {
        cp = (c & 0x1Fu) << 6 | (p[1] & 0x3Fu), p += 2;
      } else if (c < 0xF0) {
        cp = (c & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu), p += 3;
      } else {
        cp = (c & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu), p += 4;
      }
      dst[k] = static_cast<wchar_t>(cp);
    }
  }

  const unsigned char* s;
  std::size_t size;
  std::size_t units;
  bool utf8;
};

// snprintf writes the decimal point of the C library's locale, which the
// host may have changed with setlocale; the output always uses ".".
// Returns the new length.
inline std::size_t NormaliseDecimalPoint(char* s, std::size_t n) {
  const char* point = std::localeconv()->decimal_point;
  if (!point || !*point || (point[0] == '.' && point[1] == '\0')) return n;
  const std::size_t length = std::strlen(point);
  for (std::size_t i = 0; i + length <= n; ++i) {
    if (std::memcmp(s + i, point, length) != 0) continue;
    s[i] = '.';
    std::memmove(s + i + 1, s + i + length, n - i - length);
    return n - (length - 1);
  }
  return n;
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
// Formats one double with a narrow printf format built from `field` and widens it.
inline void AppendDouble(std::wstring& out, const Field& field, wchar_t conv, double value) {
  char fmt[16];
  char* f = fmt;
  *f++ = '%';
  if (field.left) *f++ = '-';
  if (field.plus) *f++ = '+';
  if (field.space) *f++ = ' ';
  if (field.alt) *f++ = '#';
  if (field.zero) *f++ = '0';
  *f++ = '*';
  *f++ = '.';
  *f++ = '*';
  *f++ = static_cast<char>(conv);
  *f = '\0';
  const int precision = field.precision < 0 && (conv == L'a' || conv == L'A') ? 13 : field.precision;
  char small[256];
  const int n = std::snprintf(small, sizeof small, fmt, field.width, precision, value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    AppendAscii(out, small, NormaliseDecimalPoint(small, static_cast<std::size_t>(n)));
    return;
  }
  // Only huge widths or precisions get here.
  std::string big(static_cast<std::size_t>(n), '\0');
  std::snprintf(big.data(), big.size() + 1, fmt, field.width, precision, value);
  AppendAscii(out, big.data(), NormaliseDecimalPoint(big.data(), big.size()));
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Integer conversions d i u o x X, done here rather than by snprintf so that
// huge precisions and widths cost no temporary buffer.
inline void AppendInteger(std::wstring& out, const Field& field, wchar_t conv, bool negative, std::uint64_t magnitude) {
  const unsigned base = conv == L'o' ? 8 : (conv == L'x' || conv == L'X') ? 16 : 10;
  const char* symbols = conv == L'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];  // reversed
  std::size_t nd = 0;
  for (std::uint64_t v = magnitude; v != 0; v /= base) digits[nd++] = symbols[v % base];

  std::size_t zeros = 0;
  const std::size_t precision = field.precision < 0 ? 1 : static_cast<std::size_t>(field.precision);
  if (precision > nd) zeros = precision - nd;
  if (conv == L'o' && field.alt && zeros == 0) zeros = 1;  // "#" makes octal start with 0

  char prefix[2];
  std::size_t np = 0;
  const bool isSigned = conv == L'd' || conv == L'i';
  if (negative) {
    prefix[np++] = '-';
  } else if (isSigned && field.plus) {
    prefix[np++] = '+';
  } else if (isSigned && field.space) {
    prefix[np++] = ' ';
  }
  if (field.alt && base == 16 && magnitude != 0) {
    prefix[np++] = '0';
    prefix[np++] = static_cast<char>(conv);
  }

  std::size_t pad = Padding(field, np + zeros + nd);
  if (field.zero && !field.left && field.precision < 0) zeros += pad, pad = 0;
  if (!field.left) out.append(pad, L' ');
  AppendAscii(out, prefix, np);
  out.append(zeros, L'0');
  const std::size_t at = out.size();
  out.resize(at + nd);
  for (std::size_t i = 0; i < nd; ++i) out[at + i] = static_cast<unsigned char>(digits[nd - 1 - i]);
  if (field.left) out.append(pad, L' ');
}

inline void AppendPointer(std::wstring& out, const Field& field, std::uint64_t address) {
  Field hex;
  hex.left = field.left;
  hex.width = field.width;
  hex.precision = kPointerBits / 4;
  AppendInteger(out, hex, L'X', false, address);
}

// Appends wide text truncated to the precision and padded to the width.
inline void AppendWide(std::wstring& out, const Field& field, const wchar_t* text, std::size_t n) {
  if (field.precision >= 0) n = std::min(n, static_cast<std::size_t>(field.precision));
  AppendPadded(out, field, n, [&] { out.append(text, n); });
}

// %s: any argument kind, see the notes at the top.
inline void AppendText(std::wstring& out, const Field& field, const FormatArg* arg) {
  const wchar_t* const kNull = L"(null)";  // a literal: no static object (see FromWindows1252)
  if (!arg) return AppendWide(out, field, L"", 0);
  switch (arg->kind()) {
    case FormatArg::Kind::kWide:
      if (!arg->wide()) return AppendWide(out, field, kNull, 6);
      return AppendWide(out, field, arg->wide(), arg->length());
    case FormatArg::Kind::kNarrow: {
      if (!arg->narrow()) return AppendWide(out, field, kNull, 6);
      const NarrowText text(arg->narrow(), arg->length());
      std::size_t n = text.units;
      if (field.precision >= 0) n = std::min(n, static_cast<std::size_t>(field.precision));
      return AppendPadded(out, field, n, [&] { text.AppendTo(out, n); });
    }
    case FormatArg::Kind::kPointer:
    case FormatArg::Kind::kSigned:
    case FormatArg::Kind::kUnsigned:
      if (arg->AsUnsigned() == 0) return AppendWide(out, field, kNull, 6);
      break;
    case FormatArg::Kind::kDouble:
      break;
  }
  // A non-string value: render it plainly, then treat that as the text.
  std::wstring value;
  const Field plain;
  if (arg->kind() == FormatArg::Kind::kPointer) {
    AppendPointer(value, plain, arg->AsUnsigned());
  } else if (arg->kind() == FormatArg::Kind::kDouble) {
    AppendDouble(value, plain, L'g', arg->AsDouble());
  } else if (arg->kind() == FormatArg::Kind::kSigned && arg->AsSigned() < 0) {
    AppendInteger(value, plain, L'd', true, 0 - arg->AsUnsigned());
  } else {
    AppendInteger(value, plain, L'u', false, arg->AsUnsigned());
  }
  AppendWide(out, field, value.data(), value.size());
}

inline void AppendChar(std::wstring& out, const Field& field, bool narrow, const FormatArg* arg) {
  if (arg && (arg->kind() == FormatArg::Kind::kWide || arg->kind() == FormatArg::Kind::kNarrow) &&
      (arg->wide() || arg->narrow())) {
    Field first = field;
    first.precision = 1;
    return AppendText(out, first, arg);
  }
  const std::uint64_t v = arg ? arg->AsUnsigned() : 0;
  const wchar_t c = narrow ? FromWindows1252(static_cast<unsigned char>(v)) : static_cast<wchar_t>(v);
  AppendWide(out, field, &c, c != 0 ? 1 : 0);
}

inline std::int64_t SignedOfWidth(std::int64_t v, int bits) {
  switch (bits) {
    case 8: return static_cast<std::int8_t>(v);
    case 16: return static_cast<std::int16_t>(v);
    case 32: return static_cast<std::int32_t>(v);
    default: return v;
  }
}

inline std::uint64_t UnsignedOfWidth(std::uint64_t v, int bits) {
  return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1);
}

inline bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace format_detail

inline void AppendFormatted(std::wstring& out, const wchar_t* format, const FormatArg* args, std::size_t count) {
  using namespace format_detail;
  if (!format) return;
  if (!args) count = 0;
  std::size_t used = 0;  // arguments consumed by completed conversions
  const auto argAt = [&](std::size_t i) -> const FormatArg* { return i < count ? &args[i] : nullptr; };
  // An int taken by "*": the low 32 bits, as a C int; missing means 0.
  const auto intAt = [&](std::size_t i) -> std::int64_t {
    const FormatArg* a = argAt(i);
    return a ? static_cast<std::int32_t>(a->AsSigned()) : 0;
  };

  const wchar_t* p = format;
  while (*p) {
    const wchar_t* run = p;
    while (*p && *p != L'%') ++p;
    out.append(run, static_cast<std::size_t>(p - run));
    if (!*p) break;

    const wchar_t* start = p++;
    Field field;
    std::size_t next = used;  // committed only when the conversion is known
    for (;; ++p) {
      if (*p == L'-') field.left = true;
      else if (*p == L'+') field.plus = true;
      else if (*p == L' ') field.space = true;
      else if (*p == L'#') field.alt = true;
      else if (*p == L'0') field.zero = true;
      else break;
    }
    if (*p == L'*') {
      std::int64_t w = intAt(next++);
      if (w < 0) field.left = true, w = -w;
      field.width = static_cast<int>(std::min<std::int64_t>(w, kMaxFormatWidth));
      ++p;
    } else {
      for (; IsDigit(*p); ++p) field.width = std::min(field.width * 10 + (*p - L'0'), kMaxFormatWidth);
    }
    if (*p == L'.') {
      ++p;
      if (*p == L'*') {
        const std::int64_t v = intAt(next++);
        field.precision = v < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(v, kMaxFormatWidth));
        ++p;
      } else {
        field.precision = 0;
        for (; IsDigit(*p); ++p) field.precision = std::min(field.precision * 10 + (*p - L'0'), kMaxFormatWidth);
      }
    }
    switch (*p) {
      case L'h':
        field.narrow = true;
        field.bits = p[1] == L'h' ? 8 : 16;
        p += p[1] == L'h' ? 2 : 1;
        break;
      case L'l':
        if (p[1] == L'l') {
          field.bits = 64, p += 2;
        } else {
          field.wide = true, ++p;
        }
        break;
      case L'j': field.bits = 64, ++p; break;
      case L'z':
      case L't': field.bits = kPointerBits, ++p; break;
      case L'I':
        if (p[1] == L'6' && p[2] == L'4') {
          field.bits = 64, p += 3;
        } else if (p[1] == L'3' && p[2] == L'2') {
          field.bits = 32, p += 3;
        } else {
          field.bits = kPointerBits, ++p;
        }
        break;
      case L'w': field.wide = true, ++p; break;
      case L'L': ++p; break;  // long double: formatted as double
      default: break;
    }

    const wchar_t conv = *p;
    if (conv == L'\0') {  // unfinished conversion at the end: keep it as text
      out.append(start, static_cast<std::size_t>(p - start));
      break;
    }
    ++p;
    const FormatArg* arg = argAt(next);
    switch (conv) {
      case L'%': out.push_back(L'%'); continue;
      case L'd':
      case L'i': {
        const std::int64_t v = SignedOfWidth(arg ? arg->AsSigned() : 0, field.bits);
        const std::uint64_t u = static_cast<std::uint64_t>(v);
        AppendInteger(out, field, conv, v < 0, v < 0 ? 0 - u : u);
        break;
      }
      case L'u':
      case L'o':
      case L'x':
      case L'X':
        AppendInteger(out, field, conv, false, UnsignedOfWidth(arg ? arg->AsUnsigned() : 0, field.bits));
        break;
      case L'e':
      case L'E':
      case L'f':
      case L'F':
      case L'g':
      case L'G':
      case L'a':
      case L'A':
        AppendDouble(out, field, conv, arg ? arg->AsDouble() : 0.0);
        break;
      case L'p': AppendPointer(out, field, arg ? arg->AsUnsigned() : 0); break;
      case L'c': AppendChar(out, field, field.narrow, arg); break;
      case L'C': AppendChar(out, field, !field.wide, arg); break;
      case L's':
      case L'S': AppendText(out, field, arg); break;
      case L'n': break;  // never writes through the pointer
      default:  // unknown: copied as it stands, no argument used
        out.append(start, static_cast<std::size_t>(p - start));
        continue;
    }
    used = next + 1;
  }
}

}  // namespace nimbrel
