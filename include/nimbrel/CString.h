// CString: the wide string of the host interface and of the plug-in SDK.
//
// A header-only value type over std::wstring with the operations of the MFC
// string that host programs and plug-ins are written against. Positions and
// lengths count wchar_t units. Case operations use the compiled simple Unicode
// case mapping, never the process's locale (the host owns it).
// Format and AppendFormat follow wide MFC semantics (see StringFormat.h).
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

#include "nimbrel/StringFormat.h"
#include "nimbrel/detail/CaseMapping.h"

namespace nimbrel {

// Simple (one-to-one) Unicode case mapping of one pinned Unicode version,
// compiled in (detail/CaseMapping.h), independent of any installed locale.
inline wchar_t ToUpper(wchar_t c) {
  return c < 0x80 ? (c >= L'a' && c <= L'z' ? c - 32 : c)
                  : static_cast<wchar_t>(case_detail::SimpleUpper(static_cast<char32_t>(c)));
}
inline wchar_t ToLower(wchar_t c) {
  return c < 0x80 ? (c >= L'A' && c <= L'Z' ? c + 32 : c)
                  : static_cast<wchar_t>(case_detail::SimpleLower(static_cast<char32_t>(c)));
}
// The case fold of every case-insensitive comparison: the lower case of the
// upper case, so that final sigma, dotless and dotted i, the Kelvin sign and
// long s compare equal to their ordinary letters. Two characters fold alike
// exactly when their upper cases of the fold are alike (the string matching
// compares those).
inline wchar_t FoldCase(wchar_t c) { return ToLower(ToUpper(c)); }
// White space by the same fixed rules (the C library's UTF-8 class: no
// no-break spaces), so Trim does not depend on the host's locale.
inline bool IsSpace(wchar_t c) {
  return c < 0x80 ? (c == L' ' || (c >= L'\t' && c <= L'\r')) : case_detail::IsWideSpace(static_cast<char32_t>(c));
}

// Case-insensitive comparison of the folded characters: <0, 0 or >0.
inline int CompareNoCase(std::wstring_view a, std::wstring_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const wchar_t x = FoldCase(a[i]);
    const wchar_t y = FoldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace nimbrel

class CString {
 public:
  CString() = default;
  CString(const wchar_t* s) : s_(s ? s : L"") {}
  CString(const wchar_t* s, int length) : s_(s ? std::wstring(s, Count(length)) : std::wstring()) {}
  CString(std::wstring s) : s_(std::move(s)) {}
  CString(std::wstring_view s) : s_(s) {}
  CString(wchar_t c, int repeat = 1) : s_(Count(repeat), c) {}

  // Length in wchar_t units.
  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  const wchar_t* GetString() const { return s_.c_str(); }
  operator const wchar_t*() const { return s_.c_str(); }
  operator std::wstring_view() const { return s_; }
  const std::wstring& str() const { return s_; }
  std::wstring& str() { return s_; }

  wchar_t GetAt(int i) const { return s_.at(static_cast<std::size_t>(i)); }
  wchar_t operator[](int i) const { return s_.at(static_cast<std::size_t>(i)); }
  void SetAt(int i, wchar_t c) { s_.at(static_cast<std::size_t>(i)) = c; }

  // Searches; -1 when not found. A start beyond the end finds nothing.
  int Find(wchar_t c, int start = 0) const {
    return start < 0 ? -1 : Found(s_.find(c, static_cast<std::size_t>(start)));
  }
  int Find(const wchar_t* sub, int start = 0) const {
    if (start < 0 || !sub || static_cast<std::size_t>(start) > s_.size()) return -1;
    return Found(s_.find(sub, static_cast<std::size_t>(start)));
  }
  int ReverseFind(wchar_t c) const { return Found(s_.rfind(c)); }
  int FindOneOf(const wchar_t* set) const { return set ? Found(s_.find_first_of(set)) : -1; }

  // Substrings; out-of-range counts and positions are clamped as in MFC.
  CString Left(int n) const { return CString(s_.substr(0, Clamp(n))); }
  CString Right(int n) const {
    const std::size_t k = Clamp(n);
    return CString(s_.substr(s_.size() - k));
  }
  CString Mid(int first) const { return CString(s_.substr(Clamp(first))); }
  CString Mid(int first, int count) const { return CString(s_.substr(Clamp(first), Count(count))); }

  CString& TrimLeft() { return TrimLeftIf(nimbrel::IsSpace); }
  CString& TrimRight() { return TrimRightIf(nimbrel::IsSpace); }
  CString& Trim() { return TrimRight().TrimLeft(); }
  CString& TrimLeft(wchar_t t) { return TrimLeftIf([t](wchar_t c) { return c == t; }); }
  CString& TrimRight(wchar_t t) { return TrimRightIf([t](wchar_t c) { return c == t; }); }
  CString& Trim(wchar_t t) { return TrimRight(t).TrimLeft(t); }
  CString& TrimLeft(const wchar_t* set) { return TrimLeftIf([set](wchar_t c) { return InSet(set, c); }); }
  CString& TrimRight(const wchar_t* set) { return TrimRightIf([set](wchar_t c) { return InSet(set, c); }); }
  CString& Trim(const wchar_t* set) { return TrimRight(set).TrimLeft(set); }

  CString& MakeUpper() {
    for (auto& c : s_) c = nimbrel::ToUpper(c);
    return *this;
  }
  CString& MakeLower() {
    for (auto& c : s_) c = nimbrel::ToLower(c);
    return *this;
  }

  // Replaces every occurrence; returns the number of replacements.
  int Replace(wchar_t from, wchar_t to) {
    int n = 0;
    for (auto& c : s_)
      if (c == from) c = to, ++n;
    return n;
  }
  // Matches do not overlap and are found left to right in the original text.
  int Replace(const wchar_t* from, const wchar_t* to) {
    if (!from || !*from) return 0;
    // Built in a new string: replacing in place costs a shift of the tail per match.
    // s_ stays untouched until the swap, so `from` and `to` may point into it.
    const std::wstring_view f(from), t(to ? to : L"");
    std::wstring result;
    std::size_t done = 0;
    int n = 0;
    for (std::size_t pos = s_.find(f); pos != std::wstring::npos; pos = s_.find(f, done)) {
      result.append(s_, done, pos - done).append(t);
      done = pos + f.size();
      ++n;
    }
    if (n > 0) {
      result.append(s_, done);
      s_.swap(result);
    }
    return n;
  }
  int Remove(wchar_t c) {
    const auto before = s_.size();
    s_.erase(std::remove(s_.begin(), s_.end(), c), s_.end());
    return static_cast<int>(before - s_.size());
  }
  int Insert(int index, const wchar_t* text) {
    s_.insert(Clamp(index), text ? text : L"");
    return GetLength();
  }
  // A negative index counts from 0, as in MFC.
  int Delete(int index, int count = 1) {
    const std::size_t at = Clamp(index);
    if (count > 0) s_.erase(at, static_cast<std::size_t>(count));
    return GetLength();
  }

  int Compare(const wchar_t* other) const { return Sign(s_.compare(other ? other : L"")); }
  int CompareNoCase(const wchar_t* other) const { return nimbrel::CompareNoCase(s_, other ? other : L""); }

  // Formats with wide MFC semantics and replaces the content.
  template <typename... Args>
  void Format(const wchar_t* format, const Args&... args) {
    s_ = nimbrel::FormatWide(format, args...);
  }
  template <typename... Args>
  void AppendFormat(const wchar_t* format, const Args&... args) {
    s_ += nimbrel::FormatWide(format, args...);
  }

  CString& operator=(const wchar_t* s) {
    s_ = s ? s : L"";
    return *this;
  }
  CString& operator=(std::wstring s) {
    s_ = std::move(s);
    return *this;
  }
  CString& operator+=(const CString& o) {
    s_ += o.s_;
    return *this;
  }
  CString& operator+=(const wchar_t* o) {
    if (o) s_ += o;
    return *this;
  }
  CString& operator+=(wchar_t c) {
    s_ += c;
    return *this;
  }

  friend CString operator+(const CString& a, const CString& b) { return CString(a.s_ + b.s_); }
  friend CString operator+(const CString& a, const wchar_t* b) { return CString(a.s_ + (b ? b : L"")); }
  friend CString operator+(const wchar_t* a, const CString& b) { return CString((a ? a : L"") + b.s_); }
  friend CString operator+(const CString& a, wchar_t b) { return CString(a.s_ + b); }
  friend CString operator+(wchar_t a, const CString& b) { return CString(a + b.s_); }

  friend bool operator==(const CString& a, const CString& b) { return a.s_ == b.s_; }
  friend bool operator==(const CString& a, const wchar_t* b) { return a.s_ == (b ? b : L""); }
  friend bool operator<(const CString& a, const CString& b) { return a.s_ < b.s_; }
  // Without these, >, <= and >= would compare the buffers' addresses through
  // the conversion to const wchar_t*, and s < L"x" would be ambiguous.
  friend std::strong_ordering operator<=>(const CString& a, const CString& b) { return a.s_ <=> b.s_; }
  friend std::strong_ordering operator<=>(const CString& a, const wchar_t* b) {
    return std::wstring_view(a.s_) <=> std::wstring_view(b ? b : L"");
  }

 private:
  static std::size_t Count(int n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }
  static int Found(std::size_t pos) { return pos == std::wstring::npos ? -1 : static_cast<int>(pos); }
  static int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }
  static bool InSet(const wchar_t* set, wchar_t c) { return set && std::wstring_view(set).find(c) != std::wstring_view::npos; }
  std::size_t Clamp(int n) const {
    return n <= 0 ? 0 : std::min(static_cast<std::size_t>(n), s_.size());
  }
  template <typename Pred>
  CString& TrimLeftIf(Pred p) {
    std::size_t i = 0;
    while (i < s_.size() && p(s_[i])) ++i;
    s_.erase(0, i);
    return *this;
  }
  template <typename Pred>
  CString& TrimRightIf(Pred p) {
    std::size_t n = s_.size();
    while (n > 0 && p(s_[n - 1])) --n;
    s_.resize(n);
    return *this;
  }

  std::wstring s_;
};

inline nimbrel::FormatArg::FormatArg(const CString& v) : FormatArg(v.str()) {}
