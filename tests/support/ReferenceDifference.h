// The string difference computed the plain way, as a yardstick for the fast
// one: the text cut into UTF-16 units, a class and a mark per unit, and one
// flat table of (len(a) + 1) x (len(b) + 1) floats allocated per call, every
// cost looked up and weighted cell by cell. Shared by the tests (identical
// results) and the benchmark (speed).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "nimbrel/CString.h"

namespace testing_support {

struct ReferenceDifference {
  float operator()(const wchar_t* a, const wchar_t* b) const {
    static constexpr int kCost[5][5] = {
        {20, 25, 25, 10, 30}, {25, 20, 60, 15, 20}, {25, 60, 100, 70, 70}, {10, 15, 70, 1, 5}, {30, 20, 70, 5, 0}};
    const std::u16string x = Units(a), y = Units(b);
    const std::vector<bool> mx = Marks(x), my = Marks(y);
    const std::size_t n = x.size(), m = y.size(), w = m + 1;
    std::vector<float> d((n + 1) * w);
    for (std::size_t i = 1; i <= n; ++i) d[i * w] = static_cast<float>(double(d[(i - 1) * w]) + kCost[Class(x[i - 1])][4]);
    for (std::size_t j = 1; j <= m; ++j) d[j] = static_cast<float>(double(d[j - 1]) + kCost[4][Class(y[j - 1])]);
    for (std::size_t i = 1; i <= n; ++i) {
      for (std::size_t j = 1; j <= m; ++j) {
        const int cx = Class(x[i - 1]), cy = Class(y[j - 1]);
        const bool same = x[i - 1] == y[j - 1];
        const double k = !same && mx[i - 1] && my[j - 1] ? double(weight) : 1.0;
        const double replace = same ? 0.0 : kCost[cx][cy] * k;
        d[i * w + j] = static_cast<float>(std::min({double(d[(i - 1) * w + j - 1]) + replace,
                                                    double(d[(i - 1) * w + j]) + kCost[cx][4] * k,
                                                    double(d[i * w + j - 1]) + kCost[4][cy] * k}));
      }
    }
    return d[n * w + m];
  }

  // Trimmed, cut into UTF-16 units, each unit's case fold upper-cased on its own (so
  // surrogates keep their case) unless case-sensitive.
  std::u16string Units(const wchar_t* s) const {
    CString text(s);
    text.Trim();
    std::u16string units;
    for (const wchar_t c : text.str()) {
      const auto code = static_cast<char32_t>(c);
      if (code >= 0x10000 && code <= 0x10FFFF) {
        units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
        units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
      } else {
        auto u = static_cast<char16_t>(code > 0x10FFFF ? 0xFFFD : code);
        if (!caseSensitive && (u < 0xD800 || u > 0xDFFF)) u = static_cast<char16_t>(nimbrel::ToUpper(nimbrel::FoldCase(u)));
        units.push_back(u);
      }
    }
    return units;
  }

  static int Class(char16_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return 2;
    if (c == 0x20 || c == 0x39 || c == 0x08 || c == 0x0B) return 3;
    if (c == 0) return 4;
    if (c >= '0' && c <= '9') return 1;
    if ((c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E))
      return 0;
    return 2;
  }

  static std::vector<bool> Marks(const std::u16string& s) {
    std::vector<bool> marks(s.size());
    for (const char16_t* pair : {u"()", u"[]", u"{}", u"<>"}) {
      const std::size_t open = s.find(pair[0]);
      const std::size_t close = open == s.npos ? s.npos : s.find(pair[1], open);
      if (close == s.npos) continue;
      for (std::size_t k = open + 1; k < close; ++k) marks[k] = true;
      break;
    }
    return marks;
  }

  float weight;
  bool caseSensitive;
};

}  // namespace testing_support
