// Throughput of the tagging object end to end, in process, through the real
// plug-in registry:
//
// Warm: 10,000 in-memory songs (100 artists of 100 titles), basic tags and
// lyrics wanted, the tag-cache server on loopback answering 404. A first run
// (not measured) has the plug-ins answer every song; the measured second run
// of a fresh object over the same songs is answered by the local tags cache
// alone. Reported: songs per second from the first AddSong to the last
// GetSongTags, and the process's CPU time per song.
//
// Cold: 1,000 songs against two basic-tags plug-ins whose every search call
// takes 20 ms, no tag-cache server. At most four calls run per plug-in at
// once, so the plug-in calls the run made need at least calls x 20 ms / 8;
// reported: songs per second, that bound in songs per second, and the ratio.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>  // the test plug-in folder reports failures through it

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/NimbrelCore.h"
#include "core/TaggingWorld.h"
#include "meridex/Tags.h"

namespace {

using testing_support::TaggingWorld;

constexpr std::uint32_t kLimitMs = 600000;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Adds every song, waits for the run's end and collects every song's tags.
// False when a song was refused or not finished.
bool TagAll(CNimbrelCore& core, std::vector<Meridex::CTags>& songs) {
  std::vector<unsigned> ids;
  ids.reserve(songs.size());
  for (Meridex::CTags& song : songs) {
    ids.push_back(core.AddSong(song, false));
    if (!ids.back()) return false;
  }
  if (!core.JobCounters().WaitUntilIdle(kLimitMs)) return false;
  Meridex::CTags out;
  for (unsigned id : ids) {
    if (!core.GetSongTags(id, out, true)) return false;
  }
  return true;
}

void BM_WarmRetagging(benchmark::State& state) {
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}});
  std::string basic = "search 0\n", lyrics = "search 0\n";
  std::vector<Meridex::CTags> songs;
  for (int a = 0; a < 100; ++a) {
    const std::string artist = TaggingWorld::UniqueName();
    basic += "generate " + artist + "\t10\t10\n";
    for (int i = 1; i <= 10; ++i) {
      for (int j = 1; j <= 10; ++j) {
        const std::string title = "Song " + std::to_string(i) + "-" + std::to_string(j);
        lyrics += "lyric " + artist + "\t" + title + "\t" + artist + title + "\tla la " + title + "\n";
        songs.push_back(TaggingWorld::Song(Wide(artist), Wide(title)));
      }
    }
  }
  if (!world.Load(L"Catalogue", basic) || !world.Load(L"LyricsCatalogue", lyrics)) {
    state.SkipWithError("the catalogues refused their data");
    return;
  }
  {
    CNimbrelCore first;  // fills the local tags cache
    if (!TagAll(first, songs)) {
      state.SkipWithError("the first run did not finish every song");
      return;
    }
  }
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBefore = CpuSeconds();
    const std::size_t requestsBefore = world.server().RequestCount();
    CNimbrelCore core;
    if (!TagAll(core, songs)) {
      state.SkipWithError("a warm run did not finish every song");
      return;
    }
    cpu += CpuSeconds() - cpuBefore;
    state.counters["server_requests_per_song"] =
        static_cast<double>(world.server().RequestCount() - requestsBefore) / static_cast<double>(songs.size());
  }
  const double total = static_cast<double>(songs.size()) * static_cast<double>(state.iterations());
  state.counters["songs_per_s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
  state.counters["cpu_us_per_song"] = cpu * 1e6 / total;
}
BENCHMARK(BM_WarmRetagging)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ColdTwoSlowSources(benchmark::State& state) {
  constexpr int kCallMs = 20;
  constexpr int kSlots = 2 * 4;
  TaggingWorld world({{L"Catalogue"}, {L"CatalogueB", L"CatalogueB"}}, false);
  double seconds = 0, boundSeconds = 0, songCount = 0;
  const std::vector<std::wstring> slots{L"FindAlbums", L"FindAlbumsCount", L"FindAlbumsByArtist", L"GetAlbumDetails"};
  for (auto _ : state) {
    state.PauseTiming();
    // Names of their own each time: the tags cache must not know them.
    std::string data = "search 2\nlatency " + std::to_string(kCallMs) + "\n";
    std::vector<Meridex::CTags> songs;
    // An artist of its own for every song: nothing one search learns answers another.
    for (int a = 0; a < 1000; ++a) {
      const std::string artist = TaggingWorld::UniqueName();
      data += "generate " + artist + "\t1\t1\n";
      songs.push_back(TaggingWorld::Song(Wide(artist), L"Song 1-1"));
    }
    if (!world.Load(L"Catalogue", data) || !world.Load(L"CatalogueB", data)) {
      state.SkipWithError("the catalogues refused their data");
      return;
    }
    auto core = std::make_unique<CNimbrelCore>();
    NimbrelOptions options;
    options.SearchCover = false;
    options.SearchLyrics = false;
    options.SuccessCriterion = 0;
    core->SetOptions(options);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    if (!TagAll(*core, songs)) {
      state.SkipWithError("a cold run did not finish every song");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    core.reset();
    int calls = 0;
    for (const wchar_t* source : {L"Catalogue", L"CatalogueB"}) {
      for (const std::wstring& slot : slots) calls += std::max(world.Calls(source, slot), 0);
    }
    boundSeconds += calls * kCallMs / 1000.0 / kSlots;
    songCount += static_cast<double>(songs.size());
    state.counters["calls_per_song"] = static_cast<double>(calls) / static_cast<double>(songs.size());
    state.ResumeTiming();
  }
  state.counters["songs_per_s"] = songCount / seconds;
  state.counters["bound_songs_per_s"] = songCount / boundSeconds;
  state.counters["ratio_to_bound"] = boundSeconds / seconds;
}
BENCHMARK(BM_ColdTwoSlowSources)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
