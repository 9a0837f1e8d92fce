#include "config/WriteStatistic.h"

#include <limits>
#include <utility>
#include <string>

#include "foundation/Masterlog.h"
#include "nimbrel/IStatisticsSink.h"

namespace {

constexpr int kInfo = 30;
constexpr const wchar_t* kPrefix = L"`anonymous-namespace'::WriteStatistic";

std::uint32_t ReadCount(const StatisticsReader& read, const wchar_t* name) {
  std::uint32_t value = 0;
  read(CString(name), &value);
  return value;
}

std::uint32_t Minus(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

int ToSinkValue(std::uint32_t value) {
  constexpr auto kLargest = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  return static_cast<int>(value > kLargest ? kLargest : value);
}

}  // namespace

void WriteStatistic(const StatisticsReader& read, IStatisticsSink* sink, const std::atomic<bool>& stopRequested) {
  CString source;
  read(CString(L"SourceName"), &source);
  const std::uint32_t searched = ReadCount(read, L"StatisticSearchedTracks");
  const std::uint32_t found = ReadCount(read, L"StatisticFoundNumber");
  const std::uint32_t time = ReadCount(read, L"StatisticTime");
  const std::uint32_t pages = ReadCount(read, L"StatisticDownloadCounter");
  const std::uint32_t successes = ReadCount(read, L"StatisticSuccessfulDownloads");
  const std::uint32_t downloadTime = ReadCount(read, L"StatisticTotalDownloadTime");

  LogF(kInfo, L"%s: %s has downloaded %d pages in %d sec.", kPrefix, source, pages, downloadTime / 1000);
  LogF(kInfo, L"%s: %s has found %d tracks in %d sec.", kPrefix, source, found, time / 1000);
  if (!sink) return;
  const std::pair<const wchar_t*, std::uint32_t> values[] = {
      {L"Success_", found},
      {L"Failure_", Minus(searched, found)},
      {L"DownloadsSuccess_", successes},
      {L"DownloadsFailure_", Minus(pages, successes)},
      {L"DownloadTime_", pages == 0 ? 0 : downloadTime / pages},
  };
  for (const auto& [prefix, value] : values) {
    if (stopRequested.load()) return;
    sink->AddValue(std::wstring(prefix) + source.str(), ToSinkValue(value));
  }
}
