// Matching in the basic-tags engine: 100 songs against 500 albums of 12
// tracks each (600,000 title comparisons per search), realistic titles, next
// to the bare loop of prepared differences with the early-stop limit over the
// same pairs. The engine runs a whole search against an in-process plug-in
// that hands out prepared album details; a tracks callback keeps every song
// in the list, so every song meets every track.
#include <benchmark/benchmark.h>

#include <list>
#include <random>
#include <string>
#include <vector>

#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/StringComparer.h"

namespace {

constexpr int kAlbums = 500, kTracks = 12, kSongs = 100;

std::wstring Title(std::mt19937& random) {
  static const std::vector<std::wstring> words = {
      L"Love",  L"Me",    L"Don't", L"Stop",  L"Night",    L"City",  L"Heart", L"Blue",   L"River", L"Dream",
      L"Fire",  L"Gold",  L"Road",  L"Home",  L"Summer",   L"Rain",  L"Dance", L"Lonely", L"Wild",  L"Time",
      L"Light", L"Shadow", L"Yesterday", L"Tomorrow", L"Angel", L"Baby", L"Girl", L"Boy", L"Song", L"Mind"};
  static const std::vector<std::wstring> tails = {L"", L"", L"", L" (Live)", L" - Remastered 2011", L" [Mono]",
                                                  L" (Radio Edit)", L" - Demo"};
  std::wstring title;
  const int count = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < count; ++i) title += (i ? L" " : L"") + words[random() % words.size()];
  return title + tails[random() % tails.size()];
}

struct Catalogue {
  std::vector<std::list<Nimbrel::TrackInfo>> albums;
  std::list<Nimbrel::SongQuery> songs;
  Catalogue() {
    std::mt19937 random(2026);
    albums.resize(kAlbums);
    for (auto& album : albums) {
      for (int t = 1; t <= kTracks; ++t) {
        Nimbrel::TrackInfo track;
        track.title = Title(random);
        track.trackNumber = static_cast<std::uint32_t>(t);
        album.push_back(track);
      }
    }
    for (int s = 0; s < kSongs; ++s) {
      Nimbrel::SongQuery song;
      song.artist = L"Band";
      // Half the songs are on some album (in a different case), half are not.
      song.title = s % 2 ? Title(random) : albums[random() % kAlbums].front().title + L" ";
      song.songId = static_cast<std::uint32_t>(s + 1);
      songs.push_back(song);
    }
  }
};

const Catalogue& TheCatalogue() {
  static const Catalogue catalogue;
  return catalogue;
}

class BenchPlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString&, void*) override { return 1; }
  std::int32_t GetProperty(const CString& name, void* out) override {
    if (name == L"SourceName" || name == L"SourceId") *static_cast<CString*>(out) = L"bench";
    else if (name == L"SupportedSearch") *static_cast<std::int32_t*>(out) = 0;
    else return 0;
    return 1;
  }
  std::int32_t CallMethod(const CString&, void*) override { return 0; }
  std::int32_t FindAlbumsByArtist(const CString*, std::list<Nimbrel::AlbumResult>& albums) override {
    for (int a = 0; a < kAlbums; ++a) {
      Nimbrel::AlbumResult album;
      album.albumInfo.artist = L"Band";
      album.albumInfo.album = L"Album " + std::to_wstring(a);
      album.albumInfo.albumNumber = a;
      albums.push_back(album);
    }
    return 1;
  }
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo*,
                               std::list<Nimbrel::TrackInfo>* tracks) override {
    const auto& source = TheCatalogue().albums[static_cast<std::size_t>(album->albumNumber)];
    tracks->insert(tracks->end(), source.begin(), source.end());
    return 1;
  }
  std::int32_t Connect(IBasicTagsSearchEngine*) override { return 1; }
  std::int32_t FindAlbums(const CString*, const CString*, std::list<Nimbrel::AlbumResult>&, bool) override {
    return 0;
  }
};

void KeepTracks(Nimbrel::AlbumInfo, Nimbrel::CoverInfo, std::list<Nimbrel::TrackInfo>, const wchar_t*) {}
void CountFound(void* object, unsigned, const Nimbrel::SongInfo*) { ++*static_cast<std::int64_t*>(object); }

void BM_EngineFindTracks(benchmark::State& state) {
  BenchPlugin plugin;
  std::int64_t found = 0;
  for (auto _ : state) {
    CBasicTagsCommonSearchEngine engine;
    engine.Connect(&plugin);
    float limit = 100.0f;
    std::int32_t timeOut = 1 << 30;
    engine.SetProperty(L"MaxMatchDifference", &limit);
    engine.SetProperty(L"TimeOut", &timeOut);
    engine.SetProperty(L"NimbrelObject", &found);
    engine.SetProperty(L"PFTracksCallback", reinterpret_cast<void*>(&KeepTracks));
    engine.SetProperty(L"PFSongInfoCallback", reinterpret_cast<void*>(&CountFound));
    engine.GetAllBasicTags(TheCatalogue().songs);
  }
  state.counters["ns_per_comparison"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSongs * kAlbums * kTracks,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["found_per_search"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EngineFindTracks)->Unit(benchmark::kMillisecond);

// The same pairs and the same acceptance loop, with every title prepared beforehand.
void BM_BarePreparedDifference(benchmark::State& state) {
  const nimbrel::StringComparer comparer(0.1f, false);
  std::vector<nimbrel::StringComparer::Prepared> songs, tracks;
  for (const auto& song : TheCatalogue().songs) songs.push_back(comparer.Prepare(song.title.c_str()));
  for (const auto& album : TheCatalogue().albums)
    for (const auto& track : album) tracks.push_back(comparer.Prepare(track.title.c_str()));
  std::int64_t found = 0;
  for (auto _ : state) {
    for (std::size_t album = 0; album < kAlbums; ++album) {
      for (const auto& song : songs) {
        float best = 100.0f;
        bool match = false;
        for (std::size_t t = album * kTracks; t < (album + 1) * kTracks; ++t) {
          const float difference = comparer.Difference(song, tracks[t], best);
          if (difference < best) {
            best = difference;
            match = true;
            if (difference == 0.0f) break;
          }
        }
        found += match;
      }
    }
  }
  state.counters["ns_per_comparison"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSongs * kAlbums * kTracks,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["found_per_search"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BarePreparedDifference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
