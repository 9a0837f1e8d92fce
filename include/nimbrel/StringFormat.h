// printf-style formatting with the semantics of a wide MFC CString::Format.
//
// Arguments are captured with their types (no C varargs), so a conversion can
// never read past the argument list or misread a string as a number:
//  - %s, %ls, %ws take wide text; %hs and %S take narrow text; both accept any
//    string argument actually given (wchar_t*, char*, CString, std::wstring,
//    std::string) and render it correctly. A null pointer prints "(null)".
//  - %c and %lc take a wide character, %hc and %C a narrow (Windows-1252) one.
//  - integers follow the Windows data model: no modifier and "l" are 32 bits,
//    "ll", "I64" and "j" are 64 bits, "I" and "z" are pointer-sized, "h" is 16
//    bits and "hh" 8 bits; the value given is converted to that width first.
//  - flags "-+ #0", width and precision (also "*"), conversions d i u o x X
//    e E f F g G a A p c s and "%%" as in C.
//  - a missing argument formats as 0 or empty text; extra arguments are ignored;
//    an unknown conversion is copied literally; "%n" writes nothing.
// Narrow text is decoded as UTF-8 when valid and as Windows-1252 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

class CString;

namespace nimbrel {

// One captured argument of a format call.
class FormatArg {
 public:
  enum class Kind { kSigned, kUnsigned, kDouble, kWide, kNarrow, kPointer };

  FormatArg(bool v) : kind_(Kind::kSigned), i_(v ? 1 : 0) {}
  FormatArg(char v) : kind_(Kind::kSigned), i_(static_cast<signed char>(v)) {}  // signed, as on Windows
  FormatArg(wchar_t v) : kind_(Kind::kUnsigned), u_(static_cast<std::uint32_t>(v)) {}
  FormatArg(char16_t v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(char32_t v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(signed char v) : kind_(Kind::kSigned), i_(v) {}
  FormatArg(unsigned char v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(short v) : kind_(Kind::kSigned), i_(v) {}
  FormatArg(unsigned short v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(int v) : kind_(Kind::kSigned), i_(v) {}
  FormatArg(unsigned v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(long v) : kind_(Kind::kSigned), i_(v) {}
  FormatArg(unsigned long v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(long long v) : kind_(Kind::kSigned), i_(v) {}
  FormatArg(unsigned long long v) : kind_(Kind::kUnsigned), u_(v) {}
  FormatArg(float v) : kind_(Kind::kDouble), d_(v) {}
  FormatArg(double v) : kind_(Kind::kDouble), d_(v) {}
  FormatArg(long double v) : kind_(Kind::kDouble), d_(static_cast<double>(v)) {}
  FormatArg(const wchar_t* v) : kind_(Kind::kWide), w_(v), len_(v ? std::char_traits<wchar_t>::length(v) : 0) {}
  FormatArg(const char* v) : kind_(Kind::kNarrow), n_(v), len_(v ? std::char_traits<char>::length(v) : 0) {}
  FormatArg(const char8_t* v) : FormatArg(reinterpret_cast<const char*>(v)) {}
  // UTF-16 and UTF-32 pointers would otherwise print as addresses.
  FormatArg(const char16_t*) = delete;
  FormatArg(const char32_t*) = delete;
  FormatArg(const std::wstring& v) : kind_(Kind::kWide), w_(v.data()), len_(v.size()) {}
  FormatArg(std::wstring_view v) : kind_(Kind::kWide), w_(v.data() ? v.data() : L""), len_(v.size()) {}
  FormatArg(const std::string& v) : kind_(Kind::kNarrow), n_(v.data()), len_(v.size()) {}
  FormatArg(std::string_view v) : kind_(Kind::kNarrow), n_(v.data() ? v.data() : ""), len_(v.size()) {}
  FormatArg(const CString& v);  // defined in CString.h
  FormatArg(std::nullptr_t) : kind_(Kind::kPointer), p_(nullptr) {}
  template <typename T, typename = std::enable_if_t<!std::is_same_v<std::remove_cv_t<T>, char> &&
                                                    !std::is_same_v<std::remove_cv_t<T>, wchar_t> &&
                                                    !std::is_same_v<std::remove_cv_t<T>, char8_t> &&
                                                    !std::is_same_v<std::remove_cv_t<T>, char16_t> &&
                                                    !std::is_same_v<std::remove_cv_t<T>, char32_t>>>
  FormatArg(T* v) : kind_(Kind::kPointer), p_(const_cast<const void*>(static_cast<const volatile void*>(v))) {}
  template <typename E, typename = std::enable_if_t<std::is_enum_v<E>>, typename = void>
  FormatArg(E v) : FormatArg(static_cast<std::underlying_type_t<E>>(v)) {}

  Kind kind() const { return kind_; }
  std::int64_t AsSigned() const;    // any kind as a signed 64-bit value
  std::uint64_t AsUnsigned() const;  // any kind as an unsigned 64-bit value
  double AsDouble() const;
  // Text of a string argument; for a pointer argument that is null, null.
  const wchar_t* wide() const { return kind_ == Kind::kWide ? w_ : nullptr; }
  const char* narrow() const { return kind_ == Kind::kNarrow ? n_ : nullptr; }
  std::size_t length() const { return len_; }
  const void* pointer() const { return kind_ == Kind::kPointer ? p_ : nullptr; }

 private:
  Kind kind_;
  union {
    std::int64_t i_;
    std::uint64_t u_;
    double d_;
    const wchar_t* w_;
    const char* n_;
    const void* p_;
  };
  std::size_t len_ = 0;
};

// Formats `format` with `count` captured arguments and appends to `out`.
void AppendFormatted(std::wstring& out, const wchar_t* format, const FormatArg* args, std::size_t count);

template <typename... Args>
std::wstring FormatWide(const wchar_t* format, const Args&... args) {
  std::wstring out;
  if constexpr (sizeof...(Args) == 0) {
    AppendFormatted(out, format, nullptr, 0);
  } else {
    const FormatArg captured[] = {FormatArg(args)...};
    AppendFormatted(out, format, captured, sizeof...(Args));
  }
  return out;
}

}  // namespace nimbrel

#include "nimbrel/detail/StringFormatImpl.h"
