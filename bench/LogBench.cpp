// Throughput of the master log: formatted entries written to a trace file,
// and entries dropped by the trace level (the cost callers pay for detail
// logging that is switched off).
#include <benchmark/benchmark.h>

#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "platform/Env.h"
#include "platform/Process.h"

namespace {

CString BenchFolder() {
  CString folder(platform::Env::Current()->TempFolder());
  folder.AppendFormat(L"nimbrel-log-bench-%u/", platform::CurrentProcessId());
  CreateDirectoryRecursive(folder);
  return folder;
}

void BM_LogWritten(benchmark::State& state) {
  const CString folder = BenchFolder();
  {
    CMasterlog log;
    log.Open(folder, L"bench", 40);
    int i = 0;
    for (auto _ : state) log.LogF(30, L"CBench::Run: entry %d of artist %s, title %s", ++i, L"Artist", L"Title");
    state.SetItemsProcessed(state.iterations());
    log.Close();
  }
  RemoveDirectoryRec(folder);
}
BENCHMARK(BM_LogWritten);

void BM_LogFiltered(benchmark::State& state) {
  const CString folder = BenchFolder();
  {
    CMasterlog log;
    log.Open(folder, L"bench", 30);
    int i = 0;
    for (auto _ : state) log.LogF(50, L"CBench::Run: detail %d %s", ++i, L"dropped");
    state.SetItemsProcessed(state.iterations());
    log.Close();
  }
  RemoveDirectoryRec(folder);
}
BENCHMARK(BM_LogFiltered);

}  // namespace

BENCHMARK_MAIN();
