// Look-up cost of the local tags cache as it fills: FindBasicResults after
// adding 1,000 and 100,000 artists of three titles each (the larger fill
// overflows the cache, whose oldest titles have left), once for a query whose
// artist and title are stored up to case and blanks, once for a query that is
// only near a stored artist (an extra blank inside), which must miss.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/LocalTagsCache.h"

namespace {

constexpr int kTitlesPerArtist = 3;
constexpr std::size_t kQueries = 1024;

std::wstring RandomName(std::mt19937& random, const wchar_t* prefix) {
  std::wstring name = prefix;
  const int words = 1 + static_cast<int>(random() % 3);
  for (int w = 0; w < words; ++w) {
    if (w > 0) name += L' ';
    const int letters = 3 + static_cast<int>(random() % 7);
    name += static_cast<wchar_t>(L'A' + random() % 26);
    for (int i = 1; i < letters; ++i) name += static_cast<wchar_t>(L'a' + random() % 26);
  }
  return name;
}

struct Filled {
  CLocalTagsCache cache;
  std::vector<std::wstring> artists;
  std::vector<std::wstring> titles;  // the first title of each artist
};

// One filled cache per size, built once for all runs of the benchmarks.
const Filled& FilledCache(int artistCount) {
  static std::map<int, std::unique_ptr<Filled>> filled;
  std::unique_ptr<Filled>& slot = filled[artistCount];
  if (!slot) {
    slot = std::make_unique<Filled>();
    std::mt19937 random(42);
    for (int a = 0; a < artistCount; ++a) {
      const std::wstring artist = RandomName(random, L"") + L" " + std::to_wstring(a);
      slot->artists.push_back(artist);
      for (int t = 0; t < kTitlesPerArtist; ++t) {
        const std::wstring title = RandomName(random, L"");
        if (t == 0) slot->titles.push_back(title);
        Nimbrel::SongInfo record(artist, title, L"Album " + std::to_wstring(a));
        record.albumInfo.albumKey = L"key " + std::to_wstring(a);
        slot->cache.AddBasicResult(artist, title, L"source", record, true);
      }
    }
  }
  return *slot;
}

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return text;
}

void RunQueries(benchmark::State& state, bool exact) {
  const Filled& filled = FilledCache(static_cast<int>(state.range(0)));
  std::mt19937 random(7);
  std::vector<std::pair<std::wstring, std::wstring>> queries;
  for (std::size_t q = 0; q < kQueries; ++q) {
    // The most recent artists, which a full cache still holds.
    const std::size_t recent = std::min<std::size_t>(filled.artists.size(), 4000);
    const std::size_t pick = filled.artists.size() - 1 - random() % recent;
    std::wstring artist = filled.artists[pick];
    if (exact) {
      artist = L" " + Upper(artist) + L" ";
    } else {
      artist.insert(artist.size() / 2, L"x");  // near a stored artist, never equal
    }
    queries.emplace_back(artist, Upper(filled.titles[pick]));
  }

  std::size_t next = 0;
  for (auto _ : state) {
    const auto& [artist, title] = queries[next++ % kQueries];
    std::vector<Nimbrel::SongInfo> records;
    std::set<std::wstring> covered;
    const std::int32_t result = filled.cache.FindBasicResults(artist, title, records, covered);
    if (result != (exact ? 1 : -1)) {
      state.SkipWithError(exact ? "query not found" : "a near query was answered");
      break;
    }
    benchmark::DoNotOptimize(records.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FindExact(benchmark::State& state) { RunQueries(state, true); }
void BM_FindNear(benchmark::State& state) { RunQueries(state, false); }

BENCHMARK(BM_FindExact)->Arg(1000)->Arg(100000);
BENCHMARK(BM_FindNear)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
