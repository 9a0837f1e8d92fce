// The tag-cache server on PostgreSQL next to the same server on SQLite, side
// by side in one run: 100,000 songs, 8 concurrent clients (the library's own
// client, kept-alive loopback connections), signed look-ups per second with
// their 99th-percentile latency; then two servers on one PostgreSQL, the
// clients split between them. Goal: PostgreSQL at least half of SQLite's
// look-ups per second, p99 < 20 ms. The database server is the benchmark's
// own (initdb into a temporary folder, a Unix socket); on one machine it
// shares the processors with the servers and the clients. Hand-run:
//   unshare -n sh -c 'ip link set lo up && exec ./build/bench/server/shared_store_bench'
// Arguments: 0 SQLite, 1 PostgreSQL, 2 two servers on PostgreSQL. Besides
// the rate and latencies, the processor time per request of the server and
// of the database server, from which a deployment can be sized.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
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
    cache_server::PgConnection size;
    cache_server::PgResult bytes;
    if (size.Open(db, error) &&
        size.Execute("SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c JOIN pg_namespace n"
                     " ON n.oid=c.relnamespace WHERE n.nspname=current_schema() AND c.relkind='r'",
                     error, &bytes)) {
      postgresBytes = static_cast<double>(bytes.Int(0, 0));
    }
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
  double postgresBytes = 0;  // tables and indexes of the songs
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

double CpuS(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Processor time of the database server's processes (the postmaster's
// children: a backend per connection, the writers), in seconds.
double DatabaseCpuS() {
  std::ifstream pidFile(server_testing::TestPostgres::Instance().folder() + "/data/postmaster.pid");
  long postmaster = 0;
  pidFile >> postmaster;
  double ticks = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // Fields after the command's closing parenthesis: state, ppid, ... utime (12th), stime (13th).
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    std::vector<std::string> fields;
    while (fields.size() < 13 && rest >> field) fields.push_back(field);
    if (fields.size() == 13 && std::stol(fields[1]) == postmaster) ticks += std::stod(fields[11]) + std::stod(fields[12]);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs `request(client, n)` kRequestsPerClient times on each of kClients
// threads against the servers `which` names; reports the rate, the latency
// percentiles and the processor time per request of the server (this
// process less its client threads) and of the database server.
template <typename Request>
void RunClients(benchmark::State& state, Request request) {
  Setup& setup = Shared();
  const int which = static_cast<int>(state.range(0));
  std::vector<std::unique_ptr<CNimbrelServerCache>> clients;
  for (int c = 0; c < kClients; ++c) {
    const Server& server = *setup.servers[which == 0 ? 0 : which == 1 ? 1 : 1 + c % 2];
    clients.push_back(std::make_unique<CNimbrelServerCache>(server.settings));
  }
  std::atomic<int> wrong{0};
  std::vector<double> all;
  std::int64_t total = 0;
  double clientCpuS = 0;
  std::mutex clientCpuMutex;
  const double processStart = CpuS(CLOCK_PROCESS_CPUTIME_ID), databaseStart = DatabaseCpuS();
  for (auto _ : state) {
    std::vector<std::vector<double>> latencies(kClients);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, c] {
        const double threadStart = CpuS(CLOCK_THREAD_CPUTIME_ID);
        for (int k = 0; k < kRequestsPerClient; ++k) {
          const auto before = std::chrono::steady_clock::now();
          if (!request(*clients[c])) ++wrong;
          latencies[c].push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count());
        }
        std::lock_guard<std::mutex> lock(clientCpuMutex);
        clientCpuS += CpuS(CLOCK_THREAD_CPUTIME_ID) - threadStart;
      });
    }
    for (std::thread& t : threads) t.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    total += kClients * kRequestsPerClient;
  }
  const double n = static_cast<double>(std::max<std::int64_t>(total, 1));
  const double processS = CpuS(CLOCK_PROCESS_CPUTIME_ID) - processStart;
  std::sort(all.begin(), all.end());
  state.counters["per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
  state.counters["p50_ms"] = all.empty() ? 0 : all[all.size() / 2];
  state.counters["p99_ms"] = all.empty() ? 0 : all[all.size() * 99 / 100];
  state.counters["wrong"] = wrong.load();
  state.counters["server_cpu_us"] = (processS - clientCpuS) * 1e6 / n;
  state.counters["db_cpu_us"] = which == 0 ? 0 : (DatabaseCpuS() - databaseStart) * 1e6 / n;
  state.counters["pg_MB_per_1M_songs"] = setup.postgresBytes / 1e6 * (1e6 / kSongs);
}

void BM_Lookups(benchmark::State& state) {
  std::atomic<std::int64_t> cursor{0};
  RunClients(state, [&](CNimbrelServerCache& client) {
    const int i = static_cast<int>((cursor++ * 7919) % kSongs);
    Nimbrel::SongInfo info;
    std::vector<std::wstring> names;
    return client.Lookup(platform::FromUtf8(Artist(i)), platform::FromUtf8(Title(i)), info, names, false) ==
           CNimbrelServerCache::kFound;
  });
}
BENCHMARK(BM_Lookups)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// Fills of new songs (each one new record, vote and replay mark).
void BM_Fills(benchmark::State& state) {
  static std::atomic<std::int64_t> cursor{0};
  RunClients(state, [&](CNimbrelServerCache& client) {
    const std::int64_t i = kSongs + cursor++;
    Nimbrel::SongInfo song(L"Filler", L"New song " + std::to_wstring(i), L"Album");
    song.source = L"discs";
    return client.Fill(song) == 1;
  });
}
BENCHMARK(BM_Fills)->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
