// Sequential small GETs on loopback: DownloadText against bare libcurl with a
// fresh easy handle per request (as every download of ours has its own), in
// the same run, against the same test server. Prints both rates and the ratio
// ours / bare (the goal is at least 0.8).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "net/Downloads.h"
#include "platform/TextCodec.h"
#include "support/HttpTestServer.h"

namespace {

constexpr int kRequests = 1000;
const std::string kBody(512, 'b');

testing_support::HttpTestServer& Server() {
  static testing_support::HttpTestServer* const server = [] {
    auto* s = new testing_support::HttpTestServer;
    s->ServeText("/small", kBody);
    return s;
  }();
  return *server;
}

void BM_DownloadText(benchmark::State& state) {
  const std::wstring url = platform::FromUtf8(Server().Url("/small"));
  for (auto _ : state) {
    CString out;
    if (!nimbrel::DownloadText(url, out, L"") || out.GetLength() != static_cast<int>(kBody.size())) {
      state.SkipWithError("download failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DownloadText)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void BM_BareCurl(benchmark::State& state) {
  const std::string url = Server().Url("/small");
  for (auto _ : state) {
    std::string out;
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &out);
    const CURLcode result = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK || out.size() != kBody.size()) {
      state.SkipWithError("bare libcurl download failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareCurl)->Iterations(kRequests)->Unit(benchmark::kMicrosecond);

// Console output as usual, plus the requests per second of every repetition.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration || run.real_accumulated_time <= 0) continue;
      const std::string& name = run.run_name.function_name;
      rates[name].push_back(static_cast<double>(run.iterations) / run.real_accumulated_time);
      if (run.cpu_accumulated_time > 0) {
        cpuRates[name].push_back(static_cast<double>(run.iterations) / run.cpu_accumulated_time);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  static double Median(std::vector<double>& values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }
  // Requests per second of wall-clock time, and per second of this process's
  // CPU time (the test server's threads included), which a busy machine
  // disturbs far less.
  std::map<std::string, std::vector<double>> rates;
  std::map<std::string, std::vector<double>> cpuRates;
};

}  // namespace

int main(int argc, char** argv) {
  // Loopback only: no proxy named by the environment may take the requests.
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // Repetitions of both, interleaved at random, so that the load of a shared
  // machine falls on both alike; the medians are compared. Flags given on the
  // command line come later and win.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=5";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, {repetitions, interleave});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = RateReporter::Median(reporter.rates["BM_DownloadText"]);
  const double bare = RateReporter::Median(reporter.rates["BM_BareCurl"]);
  const double oursCpu = RateReporter::Median(reporter.cpuRates["BM_DownloadText"]);
  const double bareCpu = RateReporter::Median(reporter.cpuRates["BM_BareCurl"]);
  if (ours > 0 && bare > 0 && oursCpu > 0 && bareCpu > 0) {
    std::printf("median of the repetitions: DownloadText %.0f requests/s, bare libcurl %.0f requests/s, "
                "ratio ours/bare %.2f (per CPU second: %.0f and %.0f, ratio %.2f)\n",
                ours, bare, ours / bare, oursCpu, bareCpu, oursCpu / bareCpu);
  }
  benchmark::Shutdown();
  return 0;
}
