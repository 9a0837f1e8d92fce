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
//
// Many distinct songs: songs never seen before (albums of ten by artists of
// their own, or more songs per artist), basic tags and lyrics wanted,
// answered by the catalogue plug-ins, no tag-cache server. Handed over
// through the host interface a thousand at a time, as a host tags a
// collection, each thousand collected before the next. Reported: time per
// song of the last thousand / the first (and / the second, the first
// includes starting the workers; and the median of the last five / of the
// first five), resident memory at a tenth, half and the whole of the run.
// Arguments: songs, songs per artist; the default run is 20,000 songs by
// artists of ten and 2,000 by artists of a thousand,
// `--songs=100000` runs 100,000 and 10,000.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>  // the test plug-in folder reports failures through it

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
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

// Resident memory of the process in MB.
double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void BM_ManyDistinctSongs(benchmark::State& state) {
  constexpr int kBatch = 1000, kPerAlbum = 10;
  const int total = static_cast<int>(state.range(0)), perArtist = static_cast<int>(state.range(1));
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}}, false);
  std::string basic = "search 0\n", lyrics = "search 0\n";
  std::vector<std::pair<std::wstring, std::wstring>> songs;
  songs.reserve(static_cast<std::size_t>(total));
  std::string artist;
  for (int i = 0; i < total; ++i) {
    if (i % perArtist == 0) artist = TaggingWorld::UniqueName();
    if (i % kPerAlbum == 0) {
      // Keys of their own: an album key names one album of one source.
      basic += "album " + artist + "\tAlbum " + std::to_string(i / kPerAlbum) + "\tk" + std::to_string(i) + "\t";
    }
    const std::string title = "Song " + std::to_string(i);
    basic += "\t" + title + (i % kPerAlbum == kPerAlbum - 1 || i + 1 == total ? "\n" : "");
    lyrics += "lyric " + artist + "\t" + title + "\tl" + std::to_string(i) + "\tla la " + title + "\n";
    songs.emplace_back(Wide(artist), Wide(title));
  }
  if (!world.Load(L"Catalogue", basic) || !world.Load(L"LyricsCatalogue", lyrics)) {
    state.SkipWithError("the catalogues refused their data");
    return;
  }
  std::vector<double> batchSeconds;
  std::map<int, double> resident;
  for (auto _ : state) {
    CNimbrelCore core;
    NimbrelOptions options;
    options.SearchCover = false;
    core.SetOptions(options);
    INimbrel& host = core;
    for (int start = 0; start < total; start += kBatch) {
      const auto began = std::chrono::steady_clock::now();
      std::vector<unsigned> ids;
      for (int i = start; i < std::min(total, start + kBatch); ++i) {
        Meridex::CTags tags = TaggingWorld::Song(songs[static_cast<std::size_t>(i)].first,
                                                 songs[static_cast<std::size_t>(i)].second);
        ids.push_back(host.AddSong(tags, false));
        if (!ids.back()) {
          state.SkipWithError("a song was refused");
          return;
        }
      }
      if (!core.JobCounters().WaitUntilIdle(kLimitMs)) {
        state.SkipWithError("a batch did not finish");
        return;
      }
      Meridex::CTags out;
      for (unsigned id : ids) {
        CString album;
        if (!host.GetSongTags(id, out, true) || !out.GetAlbum(album) || album.IsEmpty()) {
          state.SkipWithError("a song was not found");
          return;
        }
      }
      batchSeconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
      const int done = std::min(total, start + kBatch);
      if (done == total / 10 || done == total / 2 || done == total) resident[done] = ResidentMb();
    }
  }
  const double first = batchSeconds.front(), second = batchSeconds.size() > 1 ? batchSeconds[1] : first;
  state.counters["us_per_song_first"] = first / kBatch * 1e6;
  state.counters["us_per_song_last"] = batchSeconds.back() / kBatch * 1e6;
  state.counters["last_to_first"] = batchSeconds.back() / first;
  state.counters["last_to_second"] = batchSeconds.back() / second;
  // The same by the median of five thousands at each end: on a shared
  // machine one thousand may meet a burst of other work.
  if (batchSeconds.size() >= 10) {
    const auto median = [](std::vector<double> five) {
      std::nth_element(five.begin(), five.begin() + 2, five.end());
      return five[2];
    };
    const double head = median({batchSeconds.begin(), batchSeconds.begin() + 5});
    const double tail = median({batchSeconds.end() - 5, batchSeconds.end()});
    state.counters["last5_to_first5_median"] = tail / head;
  }
  double worst = 0;
  for (double seconds : batchSeconds) worst = std::max(worst, seconds);
  state.counters["slowest_to_first"] = worst / first;
  for (const auto& [done, mb] : resident) state.counters["rss_mb_" + std::to_string(done / 1000) + "k"] = mb;
  state.counters["songs_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}

}  // namespace

// `--songs=N`: the distinct-songs runs with N and N / 10 songs instead of
// 20,000 and 2,000; other arguments are Google Benchmark's.
int main(int argc, char** argv) {
  long songs = 20000;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--songs=", 8) == 0) songs = std::atol(argv[i] + 8);
    else rest.push_back(argv[i]);
  }
  benchmark::RegisterBenchmark("BM_ManyDistinctSongs", BM_ManyDistinctSongs)
      ->Args({songs, 10})
      ->Args({songs / 10, 1000})
      ->ArgNames({"songs", "per_artist"})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(1);
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
