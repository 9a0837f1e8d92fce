// nimbrel-tag with the web plug-ins (musicbrainz, lrclib, amazon) as a user
// installs them, their services replaced by loopback addresses:
// - BM_NoNetwork: nothing answers (every service refuses the connection), as
//   on a machine without network. Files per second, and the lines the
//   plug-ins said about it (one per unreachable service is the aim).
// - BM_RequestsOfTwoRuns: 100 songs of 10 albums by 10 artists, tagged twice
//   with empty caches, against a loopback MusicBrainz that counts requests.
//   Runs at the service's real pace (a request a second), so it takes as
//   many seconds as it makes requests. Also the songs tagged in each run
//   (a dry run: every song found counts, in both runs) and the requests by
//   kind.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "BenchRun.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "Text.h"
#include "meridex/Tags.h"
#include "nimbrel/Nimbrel.h"
#include "support/AudioSamples.h"
#include "support/HttpTestServer.h"

namespace {

namespace fs = std::filesystem;
using testing_support::HttpResponse;
using testing_support::RecordedRequest;

constexpr int kAlbums = 10;
constexpr int kSongs = 10;

std::string Id(const char* kind, int n) {
  char id[40];
  std::snprintf(id, sizeof id, "%08d-%s-4000-8000-000000000000", n, kind);
  return id;
}
std::string Title(int album, int song) { return "Album " + std::to_string(album) + " Song " + std::to_string(song); }
// The number after `word` + "%20" in a request target, or -1.
int NumberAfter(const std::string& target, const std::string& word) {
  const auto at = target.find(word + "%20");
  return at == std::string::npos ? -1 : std::atoi(target.c_str() + at + word.size() + 3);
}

// A loopback MusicBrainz in the service's shapes for the collection above.
void ServeMusicBrainz(testing_support::HttpTestServer& server) {
  const auto credit = [](int a) {
    return R"("artist-credit":[{"name":"Band )" + std::to_string(a) + R"(","joinphrase":"","artist":{"id":")" +
           Id("1111", a) + R"(","name":"Band )" + std::to_string(a) + R"("}}])";
  };
  server.Handle("/ws/2/recording", [credit](const RecordedRequest& r) {
    const int a = NumberAfter(r.target, "Album"), s = NumberAfter(r.target, "Song");
    const std::string release = R"({"id":")" + Id("0000", a) + R"(","title":"Album )" + std::to_string(a) +
                                R"(","status":"Official","release-group":{"id":")" + Id("2222", a) +
                                R"(","primary-type":"Album","secondary-types":[]},"date":"2001","media":[{"position":1,"format":"CD","track":[{"id":"t)" + std::to_string(a * 100 + s) + R"(","number":")" +
                                std::to_string(s + 1) + R"(","title":")" + Title(a, s) + R"(","length":200000}],"track-count":10,"track-offset":)" +
                                std::to_string(s) + "}]}";
    return HttpResponse{200, "OK", {}, R"({"count":1,"offset":0,"recordings":[{"id":")" + Id("3333", a * 100 + s) + R"(","score":100,"title":")" + Title(a, s) +
                                          R"(","length":200000,)" + credit(a) + R"(,"releases":[)" + release + "]}]}"};
  });
  server.Handle("/ws/2/artist", [](const RecordedRequest& r) {
    const int a = NumberAfter(r.target, "Band");
    return HttpResponse{200, "OK", {}, R"({"count":1,"artists":[{"id":")" + Id("1111", a) + R"(","name":"Band )" +
                                          std::to_string(a) + R"(","sort-name":"Band","score":100}]})"};
  });
  // The tracks of album `a`, as a look-up and a browse with recordings list them.
  const auto tracks = [credit](int a) {
    std::string list;
    for (int s = 0; s < kSongs; ++s) {
      list += std::string(s ? "," : "") + R"({"id":"t)" + std::to_string(a * 100 + s) + R"(","position":)" +
              std::to_string(s + 1) + R"(,"number":")" + std::to_string(s + 1) + R"(","title":")" + Title(a, s) +
              R"(","length":200000,)" + credit(a) + R"(,"recording":{"id":")" + Id("3333", a * 100 + s) +
              R"(","title":")" + Title(a, s) + R"(","length":200000}})";
    }
    return list;
  };
  for (int a = 0; a < kAlbums; ++a) {  // the look-ups; routes are whole paths
    server.ServeText("/ws/2/release/" + Id("0000", a),
                     R"({"id":")" + Id("0000", a) + R"(","title":"Album )" + std::to_string(a) +
                         R"(","status":"Official","date":"2001",)" + credit(a) + R"(,"release-group":{"id":")" +
                         Id("2222", a) + R"(","primary-type":"Album","secondary-types":[],"genres":[{"name":"rock","count":3}]},)" +
                         R"("media":[{"position":1,"format":"CD","track-count":10,"track-offset":0,"tracks":[)" + tracks(a) +
                         "]}]}",
                     "application/json");
  }
  server.Handle("/ws/2/release", [credit, tracks](const RecordedRequest& r) {
    const auto artist = r.target.find("artist=");
    const int a = artist == std::string::npos ? -1 : std::atoi(r.target.c_str() + artist + 7);
    // Asked with its recordings, each medium lists its tracks.
    std::string media = R"([{"position":1,"format":"CD","track-count":10)";
    if (r.target.find("recordings") != std::string::npos) media += R"(,"track-offset":0,"tracks":[)" + tracks(a) + "]";
    media += "}]";
    return HttpResponse{200, "OK", {}, R"({"release-count":1,"release-offset":0,"releases":[{"id":")" + Id("0000", a) +
                                          R"(","title":"Album )" + std::to_string(a) + R"(","status":"Official","date":"2001",)" +
                                          credit(a) + R"(,"release-group":{"id":")" + Id("2222", a) +
                                          R"(","primary-type":"Album","secondary-types":[]},"media":)" + media + "}]}"};
  });
}

struct World {
  std::string root;
  std::vector<std::string> files;
  std::unique_ptr<INimbrel> nimbrel;
  nimbrel_tag::SignalWatch signals;

  // Every service at `base` (http://127.0.0.1:port); `lyrics` searches lyrics
  // too. The artists are `band` 0 to 9: the library remembers in its process
  // what each artist and title gave, so each benchmark has artists of its own.
  World(const std::string& base, bool lyrics, const std::string& band) {
    root = bench_run::NewFolder("nimbrel-web-bench");
    for (const char* kind : {"General", "Lyrics"}) fs::create_directories(root + "plugins/" + kind);
    for (const char* plugin : {"General/musicbrainz.so", "General/amazon.so", "Lyrics/lrclib.so"})
      fs::copy_file(std::string(NIMBREL_PLUGIN_BUILD_DIR "/") + plugin, root + "plugins/" + plugin);
    // The user's own plug-in settings stay out; the answer caches start empty.
    ::setenv("NIMBREL_PLUGINS_CONF", (root + "none.conf").c_str(), 1);
    ::setenv("NIMBREL_MUSICBRAINZ_DATAFOLDER", (root + "data/musicbrainz").c_str(), 1);
    ::setenv("NIMBREL_LRCLIB_DATAFOLDER", (root + "data/lrclib").c_str(), 1);
    ::setenv("NIMBREL_PLUGIN_CONTACT", "bench@example.org", 1);
    ::setenv("NIMBREL_MUSICBRAINZ_BASEURL", (base + "/ws/2").c_str(), 1);
    ::setenv("NIMBREL_MUSICBRAINZ_COVERARTURL", (base + "/caa").c_str(), 1);
    ::setenv("NIMBREL_LRCLIB_BASEURL", (base + "/api").c_str(), 1);
    ::setenv("NIMBREL_AMAZON_BASEURL", base.c_str(), 1);
    for (int a = 0; a < kAlbums; ++a) {
      const std::string album = root + "music/Album " + std::to_string(a) + "/";
      fs::create_directories(album);
      for (int s = 0; s < kSongs; ++s) {
        const std::string path = album + std::to_string(s) + ".mp3";
        std::ofstream(path, std::ios::binary) << testing_support::MakeMp3();
        Meridex::CTags tags;
        tags.AddArtist(CString(plugin_text::Widen(band + std::to_string(a))), false);
        tags.SetTitle(CString(plugin_text::Widen(Title(a, s))));
        if (!tags.SaveFile(CString(plugin_text::Widen(path)))) std::abort();
        files.push_back(path);
      }
    }
    nimbrel.reset(bench_run::StartLibrary(root));
    options.library.SearchCover = false;
    options.library.SearchLyrics = lyrics;
    options.library.OverwritePolicy = 2;
    options.dryRun = true;
    nimbrel->SetOptions(options.library);
  }
  ~World() {
    nimbrel.reset();
    fs::remove_all(root);
  }
  nimbrel_tag::RunTotals Run() { return bench_run::Run(*nimbrel, options, signals, files); }

  nimbrel_tag::TagOptions options;
};

// Standard error into a file while it lives; the lines said then.
class CapturedErrors {
 public:
  CapturedErrors() : file_(std::tmpfile()), saved_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(fileno(file_), 2);
  }
  ~CapturedErrors() { std::fclose(file_); }
  std::string Stop() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    std::string text;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
    return text;
  }

 private:
  std::FILE* file_;
  int saved_;
};

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void BM_NoNetwork(benchmark::State& state) {
  std::string closed;
  {
    testing_support::HttpTestServer gone;  // its port is closed once it is gone
    closed = gone.Url("");
  }
  World world(closed, true, "Offline Band ");
  CapturedErrors errors;
  nimbrel_tag::RunTotals totals;
  for (auto _ : state) totals = world.Run();
  const std::string said = errors.Stop();
  state.SetItemsProcessed(static_cast<std::int64_t>(world.files.size()));
  state.counters["files_per_s"] = benchmark::Counter(static_cast<double>(world.files.size()), benchmark::Counter::kIsRate);
  state.counters["cannot_reach_lines"] = static_cast<double>(Count(said, "cannot reach"));
  state.counters["lines"] = static_cast<double>(Count(said, "\n"));
  std::fputs(said.c_str(), stdout);
}
BENCHMARK(BM_NoNetwork)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_RequestsOfTwoRuns(benchmark::State& state) {
  testing_support::HttpTestServer server;
  ServeMusicBrainz(server);
  World world(server.Url(""), false, "Band ");
  std::size_t first = 0, second = 0;
  nimbrel_tag::RunTotals firstTotals, secondTotals;
  for (auto _ : state) {
    firstTotals = world.Run();
    first = server.RequestCount();
    secondTotals = world.Run();
    second = server.RequestCount() - first;
  }
  state.counters["first_run_requests"] = static_cast<double>(first);
  state.counters["second_run_requests"] = static_cast<double>(second);
  // Few requests count only with every song found.
  state.counters["first_run_tagged"] = static_cast<double>(firstTotals.tagged);
  state.counters["second_run_tagged"] = static_cast<double>(secondTotals.tagged);
  // What the requests were, to see which kind to spare.
  for (const auto& request : server.Requests()) {
    const std::string& path = request.path;
    const char* kind = path.find("/ws/2/recording") != std::string::npos ? "recording_searches"
                       : path.find("/ws/2/artist") != std::string::npos  ? "artist_searches"
                       : path.find("/ws/2/release/") != std::string::npos ? "release_lookups"
                       : path.find("/ws/2/release") != std::string::npos  ? "release_browses"
                                                                           : "other_requests";
    state.counters[kind] += 1;
  }
}
BENCHMARK(BM_RequestsOfTwoRuns)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
