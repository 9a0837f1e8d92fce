// The tag-cache server with 1,000,000 songs: signed look-ups and fills per
// second from 8 concurrent clients (the library's own client, each on its
// kept-alive loopback connection), with their median and 99th-percentile
// latency, and the database's size; the same look-ups while 200 connections
// from another address (127.0.0.2) trickle their requests a byte at a time
// (goal: p99 < 100 ms, no wrong answer, i.e. no look-up refused). Hand-run, not part of CI:
//   ./build/bench/server/cache_server_bench
// The database is generated through the store's bulk import (one
// transaction per 50,000 songs) in a scratch folder, once per run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "net/NetText.h"
#include "platform/Env.h"
#include "platform/TcpSocket.h"
#include "platform/TextCodec.h"
#include "server/CacheServer.h"
#include "server/ServerLog.h"
#include "server/SqliteTagStore.h"
#include "servercache/NimbrelServerCache.h"
#include "servercache/RequestSigning.h"
#include "support/ScratchFolder.h"

namespace {

constexpr int kSongs = 1000000;
constexpr int kClients = 8;
constexpr int kRequestsPerClient = 500;  // per iteration

std::wstring Artist(int i) { return L"Artist " + std::to_wstring(i / 10); }
std::wstring Title(int i) { return L"Title number " + std::to_wstring(i); }

struct Setup {
  Setup() {
    cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
    path = platform::ToUtf8(folder / L"bench.sqlite");
    std::string error;
    {
      cache_server::SqliteTagStore bulk;
      if (!bulk.Open(path, error)) std::fprintf(stderr, "%s\n", error.c_str());
      const auto start = std::chrono::steady_clock::now();
      std::vector<cache_server::ExportItem> batch;
      for (int i = 0; i < kSongs; ++i) {
        cache_server::ExportItem item;
        item.key = cache_server::MakeSongKey(platform::ToUtf8(Artist(i)), platform::ToUtf8(Title(i)));
        cache_server::TagRecord& r = item.record.record;
        r.artist = platform::ToUtf8(Artist(i));
        r.title = platform::ToUtf8(Title(i));
        r.album = "Album " + std::to_string(i / 10);
        r.genre = "Rock";
        r.year = 1960 + i % 60;
        r.trackNumber = i % 10 + 1;
        r.coverUrl = "http://covers.example/" + std::to_string(i / 10) + ".jpg";
        r.source = i % 2 ? "discs" : "tapes";
        item.record.firstSeen = item.record.lastSeen = 1767225600;
        item.record.fills = 1;
        batch.push_back(std::move(item));
        if (batch.size() == 50000 || i + 1 == kSongs) {
          if (!bulk.Import(batch, error)) std::fprintf(stderr, "%s\n", error.c_str());
          batch.clear();
        }
      }
      generateS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }  // closing checkpoints the write-ahead log into the file
    bytes = static_cast<double>(std::filesystem::file_size(path));
    store = std::make_unique<cache_server::SqliteTagStore>();
    if (!store->Open(path, error)) std::fprintf(stderr, "%s\n", error.c_str());
    cache_server::ServerOptions options;
    options.port = 0;
    options.key = platform::ToWindows1252(nimbrel::kServerCacheSigningKey);
    options.ratePerSecond = 0;
    server = std::make_unique<cache_server::CacheServer>(*store, options);
    if (!server->Start(error)) std::fprintf(stderr, "%s\n", error.c_str());
    thread = std::thread([this] { server->Run(); });
    settings.TagCacheHost = platform::FromUtf8("127.0.0.1:" + std::to_string(server->port())).c_str();
    settings.HttpProxy = L"0";
  }
  ~Setup() {
    server->Stop();
    thread.join();
  }

  testing_support::ScratchFolder folder;
  std::string path;
  double generateS = 0;
  double bytes = 0;
  std::unique_ptr<cache_server::SqliteTagStore> store;
  std::unique_ptr<cache_server::CacheServer> server;
  std::thread thread;
  NimbrelSettings settings;
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

// Runs `request(client, n)` kRequestsPerClient times on each of kClients
// threads; reports the rate and the latency percentiles. `request` returns
// whether the answer was the expected one.
template <typename Request>
void RunClients(benchmark::State& state, Request request) {
  Setup& setup = Shared();
  std::vector<std::unique_ptr<CNimbrelServerCache>> clients;
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<CNimbrelServerCache>(setup.settings));
  static std::atomic<std::int64_t> cursor{0};
  std::vector<double> all;
  std::atomic<int> wrong{0};
  std::int64_t total = 0;
  // Processor time of the whole process (clients and server): with the
  // machine shared, requests per processor-second tell more than the rate.
  const std::clock_t cpuStart = std::clock();
  for (auto _ : state) {
    std::vector<std::vector<double>> latencies(kClients);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, c] {
        for (int k = 0; k < kRequestsPerClient; ++k) {
          const std::int64_t n = cursor++;
          const auto before = std::chrono::steady_clock::now();
          if (!request(*clients[c], n)) ++wrong;
          latencies[c].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
        }
      });
    }
    for (std::thread& t : threads) t.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    total += kClients * kRequestsPerClient;
  }
  const double cpuS = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  std::sort(all.begin(), all.end());
  state.counters["cpu_us_per_request"] = total ? cpuS * 1e6 / static_cast<double>(total) : 0;
  state.counters["requests_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["p50_ms"] = all.empty() ? 0 : all[all.size() / 2];
  state.counters["p99_ms"] = all.empty() ? 0 : all[all.size() * 99 / 100];
  state.counters["wrong_answers"] = wrong.load();
  state.counters["db_MB_per_1M_songs"] = setup.bytes / 1e6 * (1e6 / kSongs);
  state.counters["generate_s"] = setup.generateS;
}

// Each look-up asks for a different song (a stride through all of them), so
// that no two identical requests fall into one second (they would be replays).
int SongOf(std::int64_t n) { return static_cast<int>((n * 7919) % kSongs); }

void BM_SignedLookups(benchmark::State& state) {
  RunClients(state, [](CNimbrelServerCache& client, std::int64_t n) {
    const int i = SongOf(n);
    Nimbrel::SongInfo info;
    std::vector<std::wstring> names;
    return client.Lookup(Artist(i), Title(i), info, names, false) == CNimbrelServerCache::kFound;
  });
}
BENCHMARK(BM_SignedLookups)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_SignedFills(benchmark::State& state) {
  RunClients(state, [](CNimbrelServerCache& client, std::int64_t n) {
    const int i = SongOf(n);
    Nimbrel::SongInfo song(Artist(i), Title(i), L"Album " + std::to_wstring(i / 10));
    song.albumInfo.genre = L"Rock";
    song.albumInfo.year = 1999;
    song.trackInfo.trackNumber = static_cast<std::uint32_t>(i % 10 + 1);
    song.source = L"bench";  // a new source for an existing song: one more record
    return client.Fill(song) == 1;
  });
}
BENCHMARK(BM_SignedFills)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// The server's own share of a look-up: the request handler (form, signature,
// replay check, store) without HTTP and without the client, on one thread.
void BM_HandlerLookupOnly(benchmark::State& state) {
  Setup& setup = Shared();
  cache_server::RequestAuthenticator authenticator(platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600);
  cache_server::RequestHandler handler(*setup.store, authenticator);
  static std::int64_t n = 500000;
  int wrong = 0;
  for (auto _ : state) {
    const int i = SongOf(n++);
    const std::wstring text = L"artist=" + nimbrel::UrlEncode(Artist(i)) + L"&searcher=0&timestamp=" +
                              nimbrel::UrlEncode(CNimbrelServerCache::MakeTimestamp()) + L"&title=" +
                              nimbrel::UrlEncode(Title(i)) + L"&type=tags&version=1";
    const std::string body = platform::ToUtf8(text + L"&signature=" + CNimbrelServerCache::Sign(text));
    if (handler.Handle("/lookup.php", body, "127.0.0.1", platform::Env::Current()->UnixTime()).status != 200) ++wrong;
  }
  state.counters["wrong_answers"] = wrong;
}
BENCHMARK(BM_HandlerLookupOnly)->Unit(benchmark::kMicrosecond);

// `count` connections from 127.0.0.2, each sending a request one byte every
// 100 ms and opening again when the server closes it (a 503, a 408 at the
// request's deadline).
class Trickler {
 public:
  Trickler(int port, int count) : thread_([this, port, count] { Run(port, count); }) {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [&] { return connects_ >= count; });
  }
  ~Trickler() {
    stop_ = true;
    thread_.join();
  }
  std::int64_t connects() const { return connects_; }
  std::int64_t refused() const { return refused_; }

 private:
  void Run(int port, int count) {
    const std::string request =
        "POST /lookup.php HTTP/1.1\r\nHost: x\r\nContent-Length: 200\r\n\r\n" + std::string(200, 'a');
    std::vector<platform::TcpSocket> sockets(static_cast<std::size_t>(count));
    std::vector<std::size_t> sent(sockets.size(), 0);
    while (!stop_) {
      for (std::size_t i = 0; i < sockets.size(); ++i) {
        platform::TcpSocket& socket = sockets[i];
        if (!socket.IsValid()) {
          if (socket.Connect("127.0.0.1", static_cast<std::uint16_t>(port), "127.0.0.2")) {
            sent[i] = 0;
            std::lock_guard<std::mutex> lock(mutex_);
            ++connects_;
            opened_.notify_all();
          }
          continue;
        }
        char answer[512];
        const std::int64_t n = socket.Receive(answer, sizeof answer, 0);
        if (n != platform::TcpSocket::kTimedOut) {
          if (n > 0 && std::string(answer, static_cast<std::size_t>(n)).rfind("HTTP/1.1 503", 0) == 0) ++refused_;
          socket.Close();
          continue;
        }
        if (!socket.SendAll(&request[sent[i]++ % request.size()], 1)) socket.Close();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the trickle's pace
    }
  }

  std::mutex mutex_;
  std::condition_variable opened_;
  std::atomic<std::int64_t> connects_{0};
  std::atomic<std::int64_t> refused_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_LookupsWhileOneAddressTrickles(benchmark::State& state) {
  Setup& setup = Shared();
  Trickler trickler(setup.server->port(), 200);
  RunClients(state, [](CNimbrelServerCache& client, std::int64_t n) {
    const int i = SongOf(n);
    Nimbrel::SongInfo info;
    std::vector<std::wstring> names;
    return client.Lookup(Artist(i), Title(i), info, names, false) == CNimbrelServerCache::kFound;
  });
  state.counters["trickle_connects"] = static_cast<double>(trickler.connects());
  state.counters["trickle_refused"] = static_cast<double>(trickler.refused());
}
BENCHMARK(BM_LookupsWhileOneAddressTrickles)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
