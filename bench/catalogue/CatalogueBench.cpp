// The offline catalogue at the size of a large collection: 100,000 releases
// of 10 tracks (1,000,000 tracks), artists and titles made of generated
// words, built once (a few tens of seconds) in a temporary file. Measured:
// one search by artist and title (what the engine asks per song), one by
// artist, the details of the release found; and the rate of import-tags in
// files per second over a folder of generated, tagged MP3 files. Beside them,
// what every plug-in search pays to see its settings file and environment
// again (the file unchanged), to compare with a search.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../../plugins/catalogue/CatalogueStore.h"
#include "../../plugins/common/PluginSettings.h"
#include "../../plugins/catalogue/tool/TagsImport.h"
#include "meridex/Tags.h"
#include "support/AudioSamples.h"

namespace {

constexpr int kReleases = 100000;
constexpr int kTracksPerRelease = 10;
constexpr int kTagFiles = 300;

// A pronounceable word for `n`, different for every n.
std::string Word(unsigned n) {
  static const char* const kSyllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "to", "vi", "be", "do",
                                           "fu", "ga", "hi", "jo", "pe", "zu"};
  std::string word;
  do {
    word += kSyllables[n % 16];
    n /= 16;
  } while (n);
  return word;
}
std::string ArtistOf(int release) { return Word(static_cast<unsigned>(release / 4) * 7919u) + " " + Word(static_cast<unsigned>(release / 4)); }
std::string TitleOf(int release, int track) {
  return Word(static_cast<unsigned>(release * kTracksPerRelease + track) * 2654435761u) + " " + Word(static_cast<unsigned>(track));
}

std::filesystem::path Scratch(const std::string& name) {
  return std::filesystem::temp_directory_path() / ("catalogue-bench-" + std::to_string(getpid()) + "-" + name);
}

// The million-track catalogue, built at first use and removed at exit.
struct BigCatalogue {
  std::filesystem::path file = Scratch("big.sqlite");
  catalogue::CatalogueStore store;
  BigCatalogue() {
    if (!store.OpenForWriting(file.string()) || !store.Begin()) std::abort();
    for (int r = 0; r < kReleases; ++r) {
      catalogue::Release release{"release-" + std::to_string(r), "Album " + Word(static_cast<unsigned>(r)), ArtistOf(r),
                                 "rock", 2000, "", {}};
      for (int t = 0; t < kTracksPerRelease; ++t) release.tracks.push_back({1, t + 1, TitleOf(r, t)});
      if (!store.Add(release)) std::abort();
    }
    if (!store.Commit()) std::abort();
    store.Close();
    if (!store.OpenReadOnly(file.string())) std::abort();
  }
  ~BigCatalogue() {
    store.Close();
    std::filesystem::remove(file);
  }
  static BigCatalogue& Get() {
    static BigCatalogue catalogue;
    return catalogue;
  }
};

void BM_FindByArtistAndTitle(benchmark::State& state) {
  auto& big = BigCatalogue::Get();
  int r = 0;
  for (auto _ : state) {
    r = (r + 7877) % kReleases;
    const auto hits = big.store.FindByTitle(ArtistOf(r), TitleOf(r, r % kTracksPerRelease));
    if (hits.empty()) state.SkipWithError("a track of the catalogue was not found");
    benchmark::DoNotOptimize(hits);
  }
}
BENCHMARK(BM_FindByArtistAndTitle)->Unit(benchmark::kMicrosecond);

void BM_FindByArtist(benchmark::State& state) {
  auto& big = BigCatalogue::Get();
  int r = 0;
  for (auto _ : state) {
    r = (r + 7877) % kReleases;
    const auto hits = big.store.FindByArtist(ArtistOf(r));
    if (hits.size() < 4) state.SkipWithError("an artist's four releases were not found");
    benchmark::DoNotOptimize(hits);
  }
}
BENCHMARK(BM_FindByArtist)->Unit(benchmark::kMicrosecond);

void BM_AlbumDetails(benchmark::State& state) {
  auto& big = BigCatalogue::Get();
  int r = 0;
  catalogue::Release release;
  for (auto _ : state) {
    r = (r + 7877) % kReleases;
    if (!big.store.Details("release-" + std::to_string(r), 1, release)) state.SkipWithError("no release");
  }
}
BENCHMARK(BM_AlbumDetails)->Unit(benchmark::kMicrosecond);

// import-tags over kTagFiles files of 30 albums: files per second.
void BM_ImportTags(benchmark::State& state) {
  const auto folder = Scratch("tags");
  std::filesystem::create_directories(folder);
  const std::string mp3 = testing_support::MakeMp3();
  for (int i = 0; i < kTagFiles; ++i) {
    const std::string path = (folder / ("song" + std::to_string(i) + ".mp3")).string();
    std::ofstream(path, std::ios::binary) << mp3;
    Meridex::CTags tags;
    tags.AddArtist(L"Artist " + std::to_wstring(i / 30), false);
    tags.SetAlbum(L"Album " + std::to_wstring(i / 10));
    tags.SetTitle(L"Song " + std::to_wstring(i));
    tags.SetTrackNumber(std::to_wstring(i % 10 + 1));
    tags.SetYear(L"1999");
    if (!tags.SaveFile(CString(std::wstring(path.begin(), path.end()))).ok) std::abort();
  }
  const auto file = Scratch("tags.sqlite");
  for (auto _ : state) {
    catalogue::CatalogueStore store;
    std::ostringstream errors;
    if (!store.OpenForWriting(file.string())) std::abort();
    const auto counts = catalogue::ImportTaggedFolder(folder.string(), store, errors);
    if (counts.files != kTagFiles || counts.releases != kTagFiles / 10) state.SkipWithError("not every file was learnt");
  }
  state.counters["files/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kTagFiles,
                                                 benchmark::Counter::kIsRate);
  std::filesystem::remove_all(folder);
  std::filesystem::remove(file);
}
BENCHMARK(BM_ImportTags)->Unit(benchmark::kMillisecond)->UseRealTime();

// A settings file of a few lines, unchanged between searches: a stat and the
// environment, no parse.
void BM_SettingsRefresh(benchmark::State& state) {
  const auto file = Scratch("plugins.conf");
  std::ofstream(file) << "Contact = me@example.org\n[catalogue]\nCatalogueFile = /tmp/c.sqlite\n";
  std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ::setenv("NIMBREL_PLUGINS_CONF", file.c_str(), 1);
  plugin_settings::LayeredSettings settings("catalogue", {"CatalogueFile", "DataFolder"});
  settings.Refresh();
  for (auto _ : state) benchmark::DoNotOptimize(settings.Refresh());
  if (settings.Get("CatalogueFile") != "/tmp/c.sqlite") state.SkipWithError("the file was not read");
  ::unsetenv("NIMBREL_PLUGINS_CONF");
  std::filesystem::remove(file);
}
BENCHMARK(BM_SettingsRefresh)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
