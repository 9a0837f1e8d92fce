// The cost of nimbrel-tag's history of writes, and the speed of undo.
//
// BM_TagWithHistory: re-tagging 10,000 files (500 albums of 20, MP3 and
// FLAC, artist and title only) whose answers the library's caches hold, so
// that reading and writing weigh most and the history's share is the
// largest it gets; argument 0 without the history, 1 with it. The goal is
// the rate with at least 0.9 times the rate without.
// BM_UndoRun: undoing such a run of 10,000 files (goal: 1,000 files/s).
// Before each timed pass the files get their original bytes back (not timed).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "BenchRun.h"
#include "UndoRun.h"
#include "WriteHistory.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrel_tag;

constexpr int kAlbums = 500;
constexpr int kSongs = 20;

struct World : bench_run::Collection {
  World() : Collection("nimbrel-history-bench") {
    fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "Catalogue.so", root + "plugins/General/Catalogue.so");
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\n";
    for (int i = 0; i < kAlbums; ++i) {
      data << "album Band\tAlbum " << i << "\tk" << i << "\t";
      for (int j = 0; j < kSongs; ++j) data << "\t" << bench_run::Title(i, j);
      data << "\n";
    }
    data.close();
    ::setenv("NIMBREL_TEST_CATALOGUE_FILE", (root + "catalogue.txt").c_str(), 1);
    for (int i = 0; i < kAlbums; ++i) bench_run::MakeAlbum(root, i, kSongs, "Band", files, originals);
    nimbrel.reset(bench_run::StartLibrary(root));
    Run(nullptr);  // fills the caches
  }

  RunTotals Run(WriteHistory* history) {
    TagOptions options;
    options.library.SearchCover = false;
    options.library.SearchLyrics = false;
    options.library.OverwritePolicy = 2;
    nimbrel->SetOptions(options.library);
    return bench_run::Run(*nimbrel, options, signals, files, history);
  }
};

World& TheWorld() {
  static World& world = *new World;
  return world;
}

void BM_TagWithHistory(benchmark::State& state) {
  World& world = TheWorld();
  const bool withHistory = state.range(0) == 1;
  WriteHistory history(world.root + "state/history.sqlite");
  std::string error;
  if (withHistory && !history.Open(error)) state.SkipWithError(error.c_str());
  for (auto _ : state) {
    state.PauseTiming();
    world.Restore();
    ::sync();
    if (withHistory && !history.BeginRun("bench", error)) state.SkipWithError(error.c_str());
    state.ResumeTiming();
    const RunTotals totals = world.Run(withHistory ? &history : nullptr);
    if (totals.tagged != world.files.size()) state.SkipWithError("not every file was tagged");
    state.counters["write_ms"] = totals.writeSeconds * 1000.0;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(world.files.size()));
}
BENCHMARK(BM_TagWithHistory)->Arg(0)->Arg(1)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_UndoRun(benchmark::State& state) {
  World& world = TheWorld();
  WriteHistory history(world.root + "state/undo.sqlite");
  std::string error;
  if (!history.Open(error)) state.SkipWithError(error.c_str());
  std::FILE* sink = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    state.PauseTiming();
    world.Restore();
    if (!history.BeginRun("bench", error)) state.SkipWithError(error.c_str());
    world.Run(&history);
    ::sync();
    const std::vector<HistoryFile> files = history.FilesOfRun(history.Runs().back().id);
    state.ResumeTiming();
    UndoRun undo(history, false, sink, sink);
    undo.Restore(files);
    if (undo.Restored() != world.files.size()) state.SkipWithError("not every file was restored");
  }
  std::fclose(sink);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(world.files.size()));
}
BENCHMARK(BM_UndoRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
