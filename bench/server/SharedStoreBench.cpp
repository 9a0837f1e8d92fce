// The tag-cache server on PostgreSQL next to the same server on SQLite, side
// by side in one run: 100,000 songs, 8 concurrent clients (the library's own
// client, kept-alive loopback connections), signed look-ups per second with
// their 99th-percentile latency; then two servers on one PostgreSQL, the
// clients split between them. Goal: PostgreSQL at least half of SQLite's
// look-ups per second, p99 < 20 ms. The database server is the benchmark's
// own (initdb into a temporary folder, a Unix socket); on one machine it
// shares the processors with the servers and the clients. Hand-run:
//   unshare -n sh -c 'ip link set lo up && exec ./build/bench/server/shared_store_bench'
// Arguments of BM_Lookups: 0 SQLite, 1 PostgreSQL, 2 two servers on PostgreSQL.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "platform/TextCodec.h"
#include "server/CacheServer.h"
#include "server/PostgresTagStore.h"
#include "server/ServerLog.h"
#include "server/SqliteTagStore.h"
#include "server/TestPostgres.h"
#include "servercache/NimbrelServerCache.h"
#include "servercache/RequestSigning.h"
#include "support/ScratchFolder.h"

namespace {

constexpr int kSongs = 100000;
constexpr int kClients = 8;
constexpr int kRequestsPerClient = 500;  // per iteration

std::string Artist(int i) { return "Artist " + std::to_string(i / 10); }
std::string Title(int i) { return "Title number " + std::to_string(i); }

std::vector<cache_server::ExportItem> Songs() {
  std::vector<cache_server::ExportItem> items;
  for (int i = 0; i < kSongs; ++i) {
    cache_server::ExportItem item;
    item.key = cache_server::MakeSongKey(Artist(i), Title(i));
    cache_server::TagRecord& r = item.record.record;
    r.artist = Artist(i);
    r.title = Title(i);
    r.album = "Album " + std::to_string(i / 10);
    r.genre = "Rock";
    r.year = 1960 + i % 60;
    r.trackNumber = i % 10 + 1;
    r.source = i % 2 ? "discs" : "tapes";
    item.record.firstSeen = item.record.lastSeen = 1767225600;
    item.record.fills = 1;
    item.clients = {"192.0.2.1"};
    items.push_back(std::move(item));
  }
  return items;
}

struct Server {
  Server(cache_server::TagStore& store) {
    cache_server::ServerOptions options;
    options.port = 0;
    options.key = platform::ToWindows1252(nimbrel::kServerCacheSigningKey);
    options.ratePerSecond = 0;
    server = std::make_unique<cache_server::CacheServer>(store, options);
    std::string error;
    if (!server->Start(error)) std::fprintf(stderr, "%s\n", error.c_str());
    thread = std::thread([this] { server->Run(); });
    settings.TagCacheHost = platform::FromUtf8("127.0.0.1:" + std::to_string(server->port())).c_str();
    settings.HttpProxy = L"0";
  }
  ~Server() {
    server->Stop();
    thread.join();
  }
  std::unique_ptr<cache_server::CacheServer> server;
  std::thread thread;
  NimbrelSettings settings;
};

struct Setup {
  Setup() {
    cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
    std::string error;
    if (!server_testing::TestPostgres::Instance().Start(error)) std::fprintf(stderr, "%s\n", error.c_str());
    const std::vector<cache_server::ExportItem> items = Songs();
    if (!sqlite.Open(platform::ToUtf8(folder / L"bench.sqlite"), error) || !sqlite.Import(items, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
    }
    const std::string db = server_testing::TestPostgres::Instance().NewSchema();
    for (auto* store : {&postgres, &postgres2}) {
      if (!store->Open(db, error)) std::fprintf(stderr, "%s\n", error.c_str());
    }
    if (!postgres.Import(items, error)) std::fprintf(stderr, "%s\n", error.c_str());
    server_testing::TestPostgres::Instance().Sql("ANALYZE");
    servers.push_back(std::make_unique<Server>(sqlite));
    servers.push_back(std::make_unique<Server>(postgres));
    servers.push_back(std::make_unique<Server>(postgres2));  // the second server on the same database
  }
  ~Setup() {
    servers.clear();
    server_testing::TestPostgres::Instance().Stop();
  }
  testing_support::ScratchFolder folder;
  cache_server::SqliteTagStore sqlite;
  cache_server::PostgresTagStore postgres{cache_server::CachePolicy(), 8};
  cache_server::PostgresTagStore postgres2{cache_server::CachePolicy(), 8};
  std::vector<std::unique_ptr<Server>> servers;
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void BM_Lookups(benchmark::State& state) {
  Setup& setup = Shared();
  const int which = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<CNimbrelServerCache>> clients;
  for (int c = 0; c < kClients; ++c) {
    const Server& server = *setup.servers[which == 0 ? 0 : which == 1 ? 1 : 1 + c % 2];
    clients.push_back(std::make_unique<CNimbrelServerCache>(server.settings));
  }
  std::atomic<std::int64_t> cursor{0};
  std::atomic<int> wrong{0};
  std::vector<double> all;
  std::int64_t total = 0;
  for (auto _ : state) {
    std::vector<std::vector<double>> latencies(kClients);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, c] {
        for (int k = 0; k < kRequestsPerClient; ++k) {
          const int i = static_cast<int>((cursor++ * 7919) % kSongs);
          const auto before = std::chrono::steady_clock::now();
          Nimbrel::SongInfo info;
          std::vector<std::wstring> names;
          if (clients[c]->Lookup(platform::FromUtf8(Artist(i)), platform::FromUtf8(Title(i)), info, names, false) !=
              CNimbrelServerCache::kFound) {
            ++wrong;
          }
          latencies[c].push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
        }
      });
    }
    for (std::thread& t : threads) t.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    total += kClients * kRequestsPerClient;
  }
  std::sort(all.begin(), all.end());
  state.counters["lookups_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["p50_ms"] = all.empty() ? 0 : all[all.size() / 2];
  state.counters["p99_ms"] = all.empty() ? 0 : all[all.size() * 99 / 100];
  state.counters["wrong_answers"] = wrong.load();
}
BENCHMARK(BM_Lookups)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
