// Tagging 48 files that each carry a 5 MB cover through nimbrel-tag's run:
// the peak memory and the peak bytes in the temporary folder while the run
// goes on, and the time against copying the same files.
//
// The files are MP3 and FLAC with artist and title; the catalogue test
// plug-in gives each its album, so every pass reads, searches and rewrites
// every file (the originals come back before each pass, not timed). The
// cover is a PNG header declaring 3000x3000 pixels followed by 5 MB of
// other chunk data: what matters is its size.
//
// peak_rss_mb: VmHWM minus VmRSS at the start of the pass (the high-water
// mark is reset through /proc/self/clear_refs before each pass).
// peak_tmp_mb: the most the temporary folder ($TMPDIR, a folder of the
// benchmark's own) held at once, sampled every millisecond.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "BenchRun.h"
#include "Reporter.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "Text.h"
#include "meridex/Tags.h"
#include "nimbrel/Nimbrel.h"
#include "support/AudioSamples.h"

namespace {

namespace fs = std::filesystem;
using namespace nimbrel_tag;

constexpr int kFiles = 48;
constexpr std::size_t kCoverBytes = 5u << 20;

std::string BigEndian(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string Cover(int seed) {
  std::string png = "\x89PNG\r\n\x1a\n";
  png += BigEndian(13) + "IHDR" + BigEndian(3000) + BigEndian(3000) + std::string("\x08\x02\x00\x00\x00", 5) +
         BigEndian(0);
  const std::size_t filler = kCoverBytes - png.size() - 24;
  std::string data(filler, '\0');
  std::mt19937 random(static_cast<unsigned>(seed));
  for (char& c : data) c = static_cast<char>(random());
  png += BigEndian(static_cast<std::uint32_t>(filler)) + "zzZz" + data + BigEndian(0);
  png += BigEndian(0) + "IEND" + BigEndian(0xAE426082);
  return png;
}

// A field of /proc/self/status, in kB.
long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return 0;
}

std::uintmax_t FolderBytes(const std::string& folder) {
  std::uintmax_t sum = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      const std::uintmax_t size = it->file_size(sizeError);
      if (!sizeError) sum += size;
    }
  }
  return sum;
}

struct World {
  std::string root;
  std::string temp;
  std::vector<std::string> files;
  std::map<std::string, std::string> originals;
  std::unique_ptr<INimbrel> nimbrel;
  SignalWatch signals;

  World() {
    std::string base = std::string(std::getenv("NIMBREL_BENCH_DIR") ? std::getenv("NIMBREL_BENCH_DIR") : "/tmp") +
                       "/nimbrel-cover-bench-XXXXXX";
    if (!::mkdtemp(base.data())) std::abort();
    root = base + "/";
    temp = root + "tmp/";
    fs::create_directories(temp);
    ::setenv("TMPDIR", temp.c_str(), 1);
    for (const char* kind : {"General", "Lyrics"}) fs::create_directories(root + "plugins/" + kind);
    fs::copy_file(NIMBREL_TEST_PLUGIN_DIR "Catalogue.so", root + "plugins/General/Catalogue.so");
    std::ofstream data(root + "catalogue.txt");
    data << "search 0\nalbum Band\tCovered\tk1\t";
    for (int j = 0; j < kFiles; ++j) data << "\tSong " << j;
    data << "\n";
    data.close();
    ::setenv("NIMBREL_TEST_CATALOGUE_FILE", (root + "catalogue.txt").c_str(), 1);

    const std::string folder = root + "music/";
    fs::create_directories(folder);
    for (int j = 0; j < kFiles; ++j) {
      const bool flac = j % 2 == 1;
      const std::string path = folder + std::to_string(j) + (flac ? ".flac" : ".mp3");
      std::ofstream(path, std::ios::binary) << (flac ? testing_support::MakeFlac() : testing_support::MakeMp3());
      std::ofstream(root + "cover.png", std::ios::binary | std::ios::trunc) << Cover(j);
      Meridex::CTags tags;
      tags.AddArtist(L"Band", false);
      tags.SetTitle(CString(L"Song " + std::to_wstring(j)));
      tags.AddPicture(Meridex::CPictureTag(CString(plugin_text::Widen(root + "cover.png")), L"image/png", 3, L"", false));
      if (!tags.SaveFile(CString(plugin_text::Widen(path)))) std::abort();
      originals[path] = bench_run::FileBytes(path);
      files.push_back(path);
    }
    fs::remove(root + "cover.png");

    nimbrel.reset(bench_run::StartLibrary(root));
  }

  ~World() { fs::remove_all(root); }

  void Restore() { bench_run::Restore(originals); }
  // Flushes the music folder's file system, so that a timed part pays only
  // for the writes it makes itself (the restored originals are not its own).
  void Settle() const {
    const int fd = ::open((root + "music").c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
      ::syncfs(fd);
      ::close(fd);
    }
  }

  RunTotals Run() {
    TagOptions options;
    options.library.SearchCover = true;
    options.library.SearchLyrics = false;
    options.library.OverwritePolicy = 2;
    return bench_run::Run(*nimbrel, options, signals, files);
  }
};

World& TheWorld() {
  static World world;
  return world;
}

void BM_TagFilesWithLargeCovers(benchmark::State& state) {
  World& world = TheWorld();
  double peakRss = 0, peakTemp = 0;
  RunTotals sum;
  for (auto _ : state) {
    state.PauseTiming();
    world.Restore();
    world.Settle();
    std::ofstream("/proc/self/clear_refs") << "5";
    const long baseRss = StatusKb("VmRSS:");
    std::atomic<bool> done{false};
    std::uintmax_t tempMax = 0;
    std::thread sampler([&] {
      while (!done.load()) {
        tempMax = std::max(tempMax, FolderBytes(world.temp));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    state.ResumeTiming();
    const RunTotals totals = world.Run();
    state.PauseTiming();
    done = true;
    sampler.join();
    if (totals.tagged != world.files.size()) state.SkipWithError("not every file was tagged");
    sum.readSeconds += totals.readSeconds;
    sum.librarySeconds += totals.librarySeconds;
    sum.writeSeconds += totals.writeSeconds;
    peakRss = std::max(peakRss, (StatusKb("VmHWM:") - baseRss) / 1024.0);
    peakTemp = std::max(peakTemp, static_cast<double>(tempMax) / (1 << 20));
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
  state.counters["peak_rss_mb"] = peakRss;
  state.counters["peak_tmp_mb"] = peakTemp;
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = sum.readSeconds / n * 1000.0;
  state.counters["library_ms"] = sum.librarySeconds / n * 1000.0;
  state.counters["write_ms"] = sum.writeSeconds / n * 1000.0;
  state.counters["cover_mb"] = static_cast<double>(kCoverBytes) / (1 << 20);
}
BENCHMARK(BM_TagFilesWithLargeCovers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The same files copied beside themselves and made durable with one flush
// of the file system, as the run flushes a group: what writing them costs
// without any tagging.
void BM_CopyTheFiles(benchmark::State& state) {
  World& world = TheWorld();
  world.Settle();
  for (auto _ : state) {
    for (const std::string& path : world.files)
      fs::copy_file(path, path + ".copy", fs::copy_options::overwrite_existing);
    world.Settle();
    state.PauseTiming();
    for (const std::string& path : world.files) fs::remove(path + ".copy");
    world.Settle();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_CopyTheFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
