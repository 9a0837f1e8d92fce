// Cost of the string difference on typical song titles (10 to 40
// characters), against a plain implementation of the same measure that
// normalises with CString and allocates its arrays and a full table on every
// call.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engines/StringComparer.h"
#include "support/ReferenceDifference.h"

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

// The plain computation as the engines' default comparer would do it.
const testing_support::ReferenceDifference reference{0.1f, false};

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
  RunPairs(state, [&](std::size_t i, std::size_t j) { return reference(t[i].c_str(), t[j].c_str()); });
}
BENCHMARK(BM_Reference);

void BM_Difference(benchmark::State& state) {
  const auto& t = Titles();
  const nimbrel::StringComparer comparer;
  for (const auto& a : t) {
    for (const auto& b : t) {
      if (comparer.Difference(a.c_str(), b.c_str()) != reference(a.c_str(), b.c_str())) {
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
