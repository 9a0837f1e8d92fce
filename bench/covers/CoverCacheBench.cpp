// The cover cache's hot paths: GetCover for an address whose picture is
// already in the folder (no network), and FindCachedCover by prefix in a
// folder holding 10,000 pictures.
#include <benchmark/benchmark.h>

#include <string>

#include "covers/CoverCache.h"
#include "platform/File.h"
#include "platform/TextCodec.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

constexpr int kFolderFiles = 10000;
const std::string kPicture = "\xFF\xD8\xFF\xE0" + std::string(4000, 'p') + "\xFF\xD9";

CCoverCache::Options InFolder(const testing_support::ScratchFolder& scratch) {
  CCoverCache::Options options;
  options.folder = CString(scratch / L"covers");
  return options;
}

void BM_GetCoverCacheHit(benchmark::State& state) {
  testing_support::ClearProxyEnvironment();
  testing_support::HttpTestServer server;
  server.ServeText("/cover.jpg", kPicture, "image/jpeg");
  testing_support::ScratchFolder scratch;
  CCoverCache cache(InFolder(scratch));
  const CString url(platform::FromUtf8(server.Url("/cover.jpg")));
  CString out;
  // As if downloaded in an earlier run.
  platform::File::WriteAll(cache.MakeCoverPath(L"Artist", L"Album", L"", url).str(), kPicture);
  for (auto _ : state) {
    if (cache.GetCover(L"Artist", L"Album", L"", out, url, L"", false) != CCoverCache::RET_FOUND_LOCALLY) {
      state.SkipWithError("not found locally");
      break;
    }
  }
  if (server.RequestCount() != 0) state.SkipWithError("the server was asked");
}
BENCHMARK(BM_GetCoverCacheHit)->Unit(benchmark::kMicrosecond);

// arg 0: a look-up by keys only (prefix), 1: by keys and address, 2: a miss.
void BM_FindCachedCover10k(benchmark::State& state) {
  testing_support::ScratchFolder scratch;
  CCoverCache cache(InFolder(scratch));
  for (int i = 0; i < kFolderFiles; ++i) {
    const CString n(std::to_wstring(i));
    platform::File::WriteAll(
        cache.MakeCoverPath(L"Artist " + n, L"Album " + n, L"", L"http://127.0.0.1/" + n + L".jpg").str(), kPicture);
  }
  const CString url = state.range(0) == 1 ? CString(L"http://127.0.0.1/4321.jpg") : CString();
  const CString artist = state.range(0) == 2 ? CString(L"Nobody") : CString(L"Artist 4321");
  const std::int32_t expected = state.range(0) == 2 ? 0 : 1;
  CString out;
  for (auto _ : state) {
    if (cache.FindCachedCover(artist, L"Album 4321", L"", url, out) != expected) {
      state.SkipWithError("unexpected result");
      break;
    }
  }
}
BENCHMARK(BM_FindCachedCover10k)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
