// Tagging MP3 and FLAC files through nimbrel-tag's run (reading, the
// library, writing): files per second, with the time split between the
// three. First tagging of 10,000 files whose answers no cache holds yet;
// re-tagging 1,000 files whose answers are all in the caches; and a run over
// files that already hold every value.
//
// Album folders of twenty songs, tagged with artist and title only. The
// source is the catalogue test plug-in (basic tags and lyrics). For
// re-tagging, a first pass fills the library's local tags cache, so every
// timed pass is answered from it. Before each timed pass the files get their
// original bytes back (not timed), so each pass reads, searches and writes
// every file.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchRun.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrel_tag;

constexpr int kAlbums = 50;         // re-tagging: 1,000 files
constexpr int kFirstAlbums = 500;   // first tagging: 10,000 files
constexpr int kSongs = 20;

struct World : bench_run::Collection {
  // `bandPerAlbum`: each album by its own artist, as in a real collection,
  // instead of every album by one artist.
  explicit World(int albums = kAlbums, bool bandPerAlbum = false) : Collection("nimbrel-tag-bench") {
    fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "Catalogue.so", root + "plugins/General/Catalogue.so");
    fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "LyricsCatalogue.so", root + "plugins/Lyrics/LyricsCatalogue.so");
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\n";
    for (int i = 0; i < albums; ++i) {
      const std::string band = bandPerAlbum ? "Band " + std::to_string(i) : std::string("Band");
      // Album keys of their own, so that one world's albums never answer for another's.
      data << "album " << band << "\tAlbum " << i << "\t" << (bandPerAlbum ? "b" : "k") << i << "\t";
      for (int j = 0; j < kSongs; ++j) data << "\t" << bench_run::Title(i, j);
      data << "\n";
      for (int j = 0; j < kSongs; ++j) data << "lyric " << band << "\t" << bench_run::Title(i, j) << "\tl\tLa la la " << i << "-" << j << "\n";
    }
    data.close();
    ::setenv("NIMBREL_TEST_CATALOGUE_FILE", (root + "catalogue.txt").c_str(), 1);

    for (int i = 0; i < albums; ++i)
      bench_run::MakeAlbum(root, i, kSongs, bandPerAlbum ? "Band " + std::to_string(i) : "Band", files, originals);

    nimbrel.reset(bench_run::StartLibrary(root));
    NimbrelOptions options;
    options.SearchCover = false;
    options.OverwritePolicy = 2;
    nimbrel->SetOptions(options);
  }

  RunTotals Run() {
    TagOptions options;
    options.library.SearchCover = false;
    options.library.OverwritePolicy = 2;
    return bench_run::Run(*nimbrel, options, signals, files);
  }
};

// Runs first (benchmarks run in the order they are listed), so no cache of
// the process holds an answer yet: each song is searched in the catalogue.
// Argument 1: every album by its own artist; 0: all 10,000 songs by one.
void BM_FirstTagging(benchmark::State& state) {
  World world(kFirstAlbums, state.range(0) == 1);
  RunTotals totals;
  for (auto _ : state) totals = world.Run();
  if (totals.tagged != world.files.size()) state.SkipWithError("not every file was tagged");
  state.SetItemsProcessed(static_cast<std::int64_t>(world.files.size()));
  state.counters["read_ms"] = totals.readSeconds * 1000.0;
  state.counters["library_ms"] = totals.librarySeconds * 1000.0;
  state.counters["write_ms"] = totals.writeSeconds * 1000.0;
  state.counters["files"] = static_cast<double>(world.files.size());
}
BENCHMARK(BM_FirstTagging)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_RetagFromCaches(benchmark::State& state) {
  static World world;
  world.Restore();
  world.Run();  // fills the caches
  RunTotals sum;
  for (auto _ : state) {
    state.PauseTiming();
    world.Restore();
    state.ResumeTiming();
    const RunTotals totals = world.Run();
    if (totals.tagged != world.files.size()) state.SkipWithError("not every file was tagged");
    sum.readSeconds += totals.readSeconds;
    sum.librarySeconds += totals.librarySeconds;
    sum.writeSeconds += totals.writeSeconds;
  }
  const double files = static_cast<double>(world.files.size());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(world.files.size()));
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = sum.readSeconds / n * 1000.0;
  state.counters["library_ms"] = sum.librarySeconds / n * 1000.0;
  state.counters["write_ms"] = sum.writeSeconds / n * 1000.0;
  state.counters["files"] = files;
}
BENCHMARK(BM_RetagFromCaches)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A run over files that already hold every value: nothing is written, so
// this is reading and asking the library only.
void BM_NothingToChange(benchmark::State& state) {
  static World& world = *new World;
  world.Restore();
  world.Run();  // tags every file and fills the caches
  RunTotals sum;
  for (auto _ : state) {
    const RunTotals totals = world.Run();
    if (totals.unchanged != world.files.size()) state.SkipWithError("a file was not found complete");
    sum.readSeconds += totals.readSeconds;
    sum.librarySeconds += totals.librarySeconds;
    sum.writeSeconds += totals.writeSeconds;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(world.files.size()));
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = sum.readSeconds / n * 1000.0;
  state.counters["library_ms"] = sum.librarySeconds / n * 1000.0;
  state.counters["write_ms"] = sum.writeSeconds / n * 1000.0;
}
BENCHMARK(BM_NothingToChange)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
