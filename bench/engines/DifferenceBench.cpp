// Cost of the string difference on typical song titles (10 to 40
// characters), against a plain implementation of the same measure that
// normalises with CString and allocates its class and mark arrays and a full
// table on every call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engines/StringComparer.h"
#include "nimbrel/CString.h"

namespace {

// Titles of 10 to 40 characters, some bracketed, as found on albums.
const std::vector<std::wstring>& Titles() {
  static const std::vector<std::wstring> titles = {
      L"Yesterday - Mono",
      L"Yesterday (Remastered 2009)",
      L"Hello (Live)",
      L"Hello (Demo Version)",
      L"Bohemian Rhapsody",
      L"Bohemian Rhapsody - Remastered 2011",
      L"Track 9 - Interlude",
      L"Love Me Do [Mono]",
      L"Smells Like Teen Spirit",
      L"Smells Like Teen Spirit (Live)",
      L"Don't Stop Me Now",
      L"Don't Stop Me Now - 2011 Mix",
      L"Ça plane pour moi",
      L"99 Luftballons {Single Edit}",
      L"Where Is My Mind?",
      L"Song 2 (Radio Edit)",
  };
  return titles;
}

float Reference(const wchar_t* a, const wchar_t* b, float weight) {
  static constexpr int kCost[5][5] = {
      {20, 25, 25, 10, 30}, {25, 20, 60, 15, 20}, {25, 60, 100, 70, 70}, {10, 15, 70, 1, 5}, {30, 20, 70, 5, 0}};
  auto units = [](const wchar_t* s) {
    CString text(s);
    text.Trim();
    text.MakeUpper();
    std::u16string out;
    for (const wchar_t c : text.str()) {
      if (static_cast<unsigned>(c) < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
      } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      }
    }
    return out;
  };
  auto classOf = [](char16_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return 2;
    if (c == 0x20 || c == 0x39 || c == 0x08 || c == 0x0B) return 3;
    if (c == 0) return 4;
    if (c >= '0' && c <= '9') return 1;
    if ((c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E))
      return 0;
    return 2;
  };
  auto marks = [](const std::u16string& s) {
    std::vector<char> m(s.size());
    for (const char16_t* pair : {u"()", u"[]", u"{}", u"<>"}) {
      const std::size_t open = s.find(pair[0]);
      if (open == std::u16string::npos) continue;
      const std::size_t close = s.find(pair[1], open);
      if (close == std::u16string::npos) continue;
      std::fill(m.begin() + open + 1, m.begin() + close, 1);
      break;
    }
    return m;
  };
  const std::u16string x = units(a), y = units(b);
  std::vector<int> cx(x.size()), cy(y.size());
  std::transform(x.begin(), x.end(), cx.begin(), classOf);
  std::transform(y.begin(), y.end(), cy.begin(), classOf);
  const std::vector<char> mx = marks(x), my = marks(y);
  const std::size_t n = x.size(), m = y.size(), w = m + 1;
  std::unique_ptr<float[]> d(new float[(n + 1) * w]);
  d[0] = 0;
  for (std::size_t i = 1; i <= n; ++i) d[i * w] = static_cast<float>(double(d[(i - 1) * w]) + kCost[cx[i - 1]][4]);
  for (std::size_t j = 1; j <= m; ++j) d[j] = static_cast<float>(double(d[j - 1]) + kCost[4][cy[j - 1]]);
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      double replace = 0, remove = kCost[cx[i - 1]][4], insert = kCost[4][cy[j - 1]];
      if (x[i - 1] != y[j - 1]) {
        replace = kCost[cx[i - 1]][cy[j - 1]];
        if (mx[i - 1] && my[j - 1]) {
          replace *= double(weight);
          remove *= double(weight);
          insert *= double(weight);
        }
      }
      d[i * w + j] =
          static_cast<float>(std::min({double(d[(i - 1) * w + j - 1]) + replace, double(d[(i - 1) * w + j]) + remove,
                                       double(d[i * w + j - 1]) + insert}));
    }
  }
  return d[n * w + m];
}

// Every ordered pair of titles, one per iteration.
template <typename Compare>
void RunPairs(benchmark::State& state, Compare compare) {
  const std::size_t count = Titles().size();
  std::size_t i = 0, j = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(compare(i, j));
    if (++j == count) {
      j = 0;
      if (++i == count) i = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Reference(benchmark::State& state) {
  const auto& t = Titles();
  RunPairs(state, [&](std::size_t i, std::size_t j) { return Reference(t[i].c_str(), t[j].c_str(), 0.1f); });
}
BENCHMARK(BM_Reference);

void BM_Difference(benchmark::State& state) {
  const auto& t = Titles();
  const nimbrel::StringComparer comparer;
  for (const auto& a : t) {
    for (const auto& b : t) {
      if (comparer.Difference(a.c_str(), b.c_str()) != Reference(a.c_str(), b.c_str(), 0.1f)) {
        state.SkipWithError("results differ from the reference");
        return;
      }
    }
  }
  RunPairs(state, [&](std::size_t i, std::size_t j) { return comparer.Difference(t[i].c_str(), t[j].c_str()); });
}
BENCHMARK(BM_Difference);

void BM_DifferencePrepared(benchmark::State& state) {
  const nimbrel::StringComparer comparer;
  std::vector<nimbrel::StringComparer::Prepared> prepared;
  for (const auto& title : Titles()) prepared.push_back(comparer.Prepare(title.c_str()));
  RunPairs(state, [&](std::size_t i, std::size_t j) { return comparer.Difference(prepared[i], prepared[j]); });
}
BENCHMARK(BM_DifferencePrepared);

// As the engines ask: is the difference below the threshold of 100?
void BM_DifferencePreparedLimit(benchmark::State& state) {
  const nimbrel::StringComparer comparer;
  std::vector<nimbrel::StringComparer::Prepared> prepared;
  for (const auto& title : Titles()) prepared.push_back(comparer.Prepare(title.c_str()));
  RunPairs(state, [&](std::size_t i, std::size_t j) { return comparer.Difference(prepared[i], prepared[j], 100.0f); });
}
BENCHMARK(BM_DifferencePreparedLimit);

}  // namespace

BENCHMARK_MAIN();
