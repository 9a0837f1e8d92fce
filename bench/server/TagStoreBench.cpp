// The tag-cache server's store and replay memory under what an attacker can
// send with the public key. Hand-run, not part of CI:
//   ./build/bench/server/tag_store_bench
// - a look-up of a song with 10,000 records (10,000 different albums filled
//   in, one address each), while another thread looks up other songs: the
//   look-up's time, and the other songs' (goal: under 10 ms);
// - the replay memory under a flood of distinct signed fills at 2,000 and
//   5,000 a second for 25 simulated minutes (the window is 20): the requests
//   remembered, its bytes, and the requests refused as busy once it is full.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/TextCodec.h"
#include "server/RequestAuthenticator.h"
#include "server/SqliteTagStore.h"
#include "servercache/RequestSigning.h"
#include "support/ScratchFolder.h"

namespace {

cache_server::TagRecord Record(const std::string& album) {
  cache_server::TagRecord r;
  r.artist = "Artist";
  r.title = "Title";
  r.album = album;
  r.genre = "Rock";
  r.year = 1999;
  r.trackNumber = 1;
  r.source = "discs";
  return r;
}

void BM_LookUpOfASongWith10000Records(benchmark::State& state) {
  testing_support::ScratchFolder folder;
  cache_server::SqliteTagStore store;
  std::string error;
  if (!store.Open(platform::ToUtf8(folder / L"bench.sqlite"), error)) state.SkipWithError(error.c_str());
  std::vector<cache_server::ExportItem> items;
  for (int i = 0; i < 10000; ++i) {
    cache_server::ExportItem item;
    item.key = cache_server::MakeSongKey("Artist", "Title");
    item.record = cache_server::StoredRecord{Record("Album " + std::to_string(i)), 1000, 1000 + i, 1};
    item.clients = {"192.0.2." + std::to_string(i % 250) + ":" + std::to_string(i)};
    items.push_back(std::move(item));
  }
  for (int i = 0; i < 1000; ++i) {
    cache_server::ExportItem item;
    item.key = cache_server::MakeSongKey("Other", "Song " + std::to_string(i));
    item.record = cache_server::StoredRecord{Record("Other"), 1000, 1000, 1};
    items.push_back(std::move(item));
  }
  if (!store.Import(items, error)) state.SkipWithError(error.c_str());

  // Other songs looked up meanwhile, timed one by one.
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> otherCount{0}, otherWorstUs{0};
  std::thread other([&] {
    for (int i = 0; !stop; ++i) {
      cache_server::LookupOutcome outcome;
      std::string e;
      const auto start = std::chrono::steady_clock::now();
      store.Lookup(cache_server::MakeSongKey("Other", "Song " + std::to_string(i % 1000)), false, 2000, outcome, e);
      const auto us =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
      if (us > otherWorstUs) otherWorstUs = us;
      ++otherCount;
    }
  });
  for (auto _ : state) {
    cache_server::LookupOutcome outcome;
    if (!store.Lookup(cache_server::MakeSongKey("Artist", "Title"), false, 2000, outcome, error) ||
        outcome.kind != cache_server::LookupOutcome::Kind::kFound || outcome.record.album != "Album 9999") {
      state.SkipWithError("wrong answer");
      break;
    }
  }
  stop = true;
  other.join();
  state.counters["other_lookups"] = static_cast<double>(otherCount.load());
  state.counters["other_worst_ms"] = static_cast<double>(otherWorstUs.load()) / 1000.0;
}
BENCHMARK(BM_LookUpOfASongWith10000Records)->Unit(benchmark::kMicrosecond);

std::string Stamp(std::int64_t t) {
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm tm{};
  gmtime_r(&time, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

void BM_ReplayMemoryUnderAFlood(benchmark::State& state) {
  const int perSecond = static_cast<int>(state.range(0));
  const std::string key = platform::ToWindows1252(nimbrel::kServerCacheSigningKey);
  std::size_t remembered = 0, bytes = 0, peakBytes = 0, busy = 0, accepted = 0;
  for (auto _ : state) {
    cache_server::RequestAuthenticator authenticator(key, 600);
    const std::int64_t t0 = 1767225600;
    for (std::int64_t second = 0; second < 25 * 60; ++second) {
      const std::string stamp = Stamp(t0 + second);
      for (int i = 0; i < perSecond; ++i) {
        const std::string text = "album=" + std::to_string(i) + "&timestamp=" + stamp;
        const auto verdict = authenticator.Check(
            text, nimbrel::Base64Encode(nimbrel::HmacSha256(key, text)), stamp, "192.0.2.1",
            cache_server::RequestAuthenticator::Replay::kOnce, t0 + second);
        busy += verdict == cache_server::RequestAuthenticator::Verdict::kBusy;
        accepted += verdict == cache_server::RequestAuthenticator::Verdict::kAccepted;
      }
      if (second % 60 == 59) peakBytes = std::max(peakBytes, authenticator.memoryBytes());
    }
    remembered = authenticator.remembered();
    bytes = authenticator.memoryBytes();
  }
  state.counters["remembered"] = static_cast<double>(remembered);
  state.counters["memory_MiB"] = static_cast<double>(bytes) / (1 << 20);
  state.counters["peak_MiB"] = static_cast<double>(peakBytes) / (1 << 20);
  state.counters["bytes_per_request"] = remembered ? static_cast<double>(bytes) / static_cast<double>(remembered) : 0;
  state.counters["accepted"] = static_cast<double>(accepted);
  state.counters["busy"] = static_cast<double>(busy);
}
BENCHMARK(BM_ReplayMemoryUnderAFlood)->Arg(2000)->Arg(5000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
