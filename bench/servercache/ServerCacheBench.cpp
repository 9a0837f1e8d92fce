// The tag-cache client on loopback:
//  - 1,000 sequential look-ups against a server answering 200 at once, with
//    and without kept connections (kept: per thread), and in the same run the same POST through
//    bare libcurl with a fresh handle per request (the goal: ours / bare at
//    least 0.8);
//  - the same look-ups over https (a self-signed certificate made at start,
//    trusted by this program only), with and without kept connections;
//  - signatures per second;
//  - 100,000 distinct fills recorded as sent: the time per fill over the last
//    thousand against the first thousand (the goal: within 2x).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "TlsAnswerServer.h"
#include "platform/Env.h"
#include "platform/HttpClient.h"
#include "platform/TextCodec.h"
#include "servercache/NimbrelServerCache.h"
#include "support/HttpTestServer.h"

namespace {

constexpr int kRequests = 1000;
const std::string kAnswer = "artist=AC/DC\r\ntitle=T.N.T.\r\nalbum=High Voltage\r\ngenre=Rock\r\nyear=1975\r\n";

testing_support::HttpTestServer& Server() {
  static testing_support::HttpTestServer* const server = [] {
    auto* s = new testing_support::HttpTestServer;
    s->ServeText("/lookup.php", kAnswer);
    s->ServeText("/fill.php", "");
    return s;
  }();
  return *server;
}

std::string CertificateFile() { return platform::ToUtf8(platform::Env::Current()->TempFolder()) + "servercache_bench.pem"; }

TlsAnswerServer& TlsServer() {
  static TlsAnswerServer* const server = new TlsAnswerServer(CertificateFile(), kAnswer);
  return *server;
}

void RunLookups(benchmark::State& state, const std::wstring& host, bool keepAlive) {
  NimbrelSettings settings;
  settings.TagCacheHost = host.c_str();
  settings.HttpProxy = L"0";
  CNimbrelServerCache cache(settings);
  cache.keepAlive = keepAlive;
  for (auto _ : state) {
    Nimbrel::SongInfo info;
    std::vector<std::wstring> names;
    if (cache.Lookup(L"AC/DC", L"T.N.T.", info, names, true) != 1) {
      state.SkipWithError("look-up failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Lookup(benchmark::State& state) { RunLookups(state, platform::FromUtf8(Server().HostPort()), true); }
BENCHMARK(BM_Lookup)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

void BM_LookupNoReuse(benchmark::State& state) { RunLookups(state, platform::FromUtf8(Server().HostPort()), false); }
BENCHMARK(BM_LookupNoReuse)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

std::wstring TlsHost() { return L"https://127.0.0.1:" + std::to_wstring(TlsServer().port()); }
void BM_LookupHttps(benchmark::State& state) { RunLookups(state, TlsHost(), true); }
BENCHMARK(BM_LookupHttps)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);
void BM_LookupHttpsNoReuse(benchmark::State& state) { RunLookups(state, TlsHost(), false); }
BENCHMARK(BM_LookupHttpsNoReuse)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The same request as a look-up, signed once, posted with a fresh easy handle each time.
void BM_BareCurl(benchmark::State& state) {
  const std::string url = Server().Url("/lookup.php");
  std::wstring text = L"artist=AC%2FDC&searcher=1&timestamp=2026-01-15T12%3A00%3A00Z&title=T.N.T.&type=tags&version=1";
  text += L"&signature=" + CNimbrelServerCache::Sign(text);
  const std::string body = platform::ToUtf8(text);
  for (auto _ : state) {
    std::string out;
    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &out);
    const CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    if (result != CURLE_OK || out != kAnswer) {
      state.SkipWithError("bare libcurl post failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareCurl)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

void BM_Sign(benchmark::State& state) {
  const std::wstring text =
      L"album=High%20Voltage&artist=AC%2FDC&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0"
      L"&coverurl=&genre=Rock&source=discs&timestamp=2026-01-15T12%3A00%3A00Z&title=T.N.T.&tracknr=7"
      L"&type=tags&version=1&year=1975";
  for (auto _ : state) benchmark::DoNotOptimize(CNimbrelServerCache::Sign(text));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sign);

// 100,000 distinct fills, all accepted and recorded; microseconds per fill
// over the first and the last thousand.
void BM_HundredThousandFills(benchmark::State& state) {
  constexpr int kFills = 100000;
  constexpr int kWindow = 1000;
  NimbrelSettings settings;
  settings.TagCacheHost = platform::FromUtf8(Server().HostPort()).c_str();
  settings.HttpProxy = L"0";
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    CNimbrelServerCache cache(settings);
    Clock::duration first{}, last{};
    Clock::time_point windowStart = Clock::now();
    // Process CPU time as well (the test server's threads included): a busy
    // machine disturbs it far less than the wall clock.
    std::clock_t cpuStart = std::clock(), cpuFirst = 0;
    for (int i = 0; i < kFills; ++i) {
      Nimbrel::SongInfo song(L"Artist " + std::to_wstring(i % 997), L"Title " + std::to_wstring(i), L"Album");
      song.source = L"discs";
      if (cache.Fill(song) != 1) {
        state.SkipWithError("fill failed");
        return;
      }
      if (i == kWindow - 1) {
        first = Clock::now() - windowStart;
        cpuFirst = std::clock() - cpuStart;
      }
      if (i == kFills - kWindow - 1) {
        windowStart = Clock::now();
        cpuStart = std::clock();
      }
    }
    last = Clock::now() - windowStart;
    const std::clock_t cpuLast = std::clock() - cpuStart;
    Server().ClearRequests();
    const auto us = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count() / kWindow; };
    state.counters["first_us_per_fill"] = us(first);
    state.counters["last_us_per_fill"] = us(last);
    state.counters["last_over_first"] = us(last) / us(first);
    if (cpuFirst > 0) state.counters["cpu_last_over_first"] = static_cast<double>(cpuLast) / cpuFirst;
  }
}
BENCHMARK(BM_HundredThousandFills)->Iterations(1)->Repetitions(1)->Unit(benchmark::kSecond);

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.real_accumulated_time <= 0) continue;
      rates[run.run_name.function_name].push_back(static_cast<double>(run.iterations) / run.real_accumulated_time);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& name) {
    std::vector<double>& values = rates[name];
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }
  std::map<std::string, std::vector<double>> rates;
};

}  // namespace

int main(int argc, char** argv) {
  // Loopback only: no proxy named by the environment may take the requests.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    ::unsetenv(name);
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  platform::SetHttpTrustedCertificatesFile(CertificateFile());
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=5";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions, interleave});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double reuse = reporter.Median("BM_Lookup");
  const double fresh = reporter.Median("BM_LookupNoReuse");
  const double bare = reporter.Median("BM_BareCurl");
  if (bare > 0) {
    std::printf("medians, look-ups/s: http kept %.0f, http fresh %.0f, bare libcurl fresh %.0f; "
                "ratio kept/bare %.2f, fresh/bare %.2f\n",
                reuse, fresh, bare, reuse / bare, fresh / bare);
  }
  std::printf("medians, look-ups/s over https: kept %.0f, fresh %.0f (https server: %llu requests on %llu "
              "connections)\n",
              reporter.Median("BM_LookupHttps"), reporter.Median("BM_LookupHttpsNoReuse"),
              static_cast<unsigned long long>(TlsServer().requests()),
              static_cast<unsigned long long>(TlsServer().connections()));
  benchmark::Shutdown();
  std::remove(CertificateFile().c_str());
  return 0;
}
