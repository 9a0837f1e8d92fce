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
#include <map>
#include <memory>

#include "BenchRun.h"
#include "UndoRun.h"
#include "WriteHistory.h"
#include "meridex/Tags.h"
#include "support/AudioSamples.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrel_tag;

constexpr int kAlbums = 500;
constexpr int kSongs = 20;

std::string Title(int album, int song) {
  return "Tune " + std::string(1, static_cast<char>('A' + album / 26)) + static_cast<char>('a' + album % 26) +
         static_cast<char>('a' + song);
}

struct World {
  std::string root;
  std::vector<std::string> files;
  std::map<std::string, std::string> originals;
  std::unique_ptr<INimbrel> nimbrel;
  SignalWatch signals;

  World() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/nimbrel-history-bench-XXXXXX";
    if (!::mkdtemp(base.data())) std::abort();
    root = base + "/";
    for (const char* kind : {"General", "Lyrics"}) fs::create_directories(root + "plugins/" + kind);
    fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "Catalogue.so", root + "plugins/General/Catalogue.so");
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\n";
    for (int i = 0; i < kAlbums; ++i) {
      data << "album Band\tAlbum " << i << "\tk" << i << "\t";
      for (int j = 0; j < kSongs; ++j) data << "\t" << Title(i, j);
      data << "\n";
    }
    data.close();
    ::setenv("NIMBREL_TEST_CATALOGUE_FILE", (root + "catalogue.txt").c_str(), 1);
    for (int i = 0; i < kAlbums; ++i) {
      const std::string folder = root + "music/Album " + std::to_string(i) + "/";
      fs::create_directories(folder);
      for (int j = 0; j < kSongs; ++j) {
        const bool flac = j % 2 == 1;
        const std::string path = folder + std::to_string(j) + (flac ? ".flac" : ".mp3");
        std::ofstream(path, std::ios::binary) << (flac ? testing_support::MakeFlac() : testing_support::MakeMp3());
        Meridex::CTags tags;
        tags.AddArtist(L"Band", false);
        tags.SetTitle(CString(plugin_text::Widen(Title(i, j))));
        if (!tags.SaveFile(CString(plugin_text::Widen(path)))) std::abort();
        std::ifstream in(path, std::ios::binary);
        originals[path] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        files.push_back(path);
      }
    }
    nimbrel.reset(bench_run::StartLibrary(root));
    Run(nullptr);  // fills the caches
  }

  ~World() { fs::remove_all(root); }

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
    bench_run::Restore(world.originals);
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
    bench_run::Restore(world.originals);
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
