#include "config/WriteStatistic.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "nimbrel/IStatisticsSink.h"
#include "support/ProcessLog.h"

namespace {

using Values = std::vector<std::pair<std::wstring, int>>;

struct Sink : IStatisticsSink {
  void AddValue(std::wstring key, int value) override {
    values.emplace_back(key, value);
    if (stopAfter && values.size() == stopAfter) *stop = true;
  }
  Values values;
  std::size_t stopAfter = 0;
  std::atomic<bool>* stop = nullptr;
};

// An engine's statistics by name; names it does not hold are refused.
StatisticsReader Reader(std::map<std::wstring, std::uint32_t> counts, const wchar_t* source = L"musicbrainz") {
  return [counts, source](const CString& name, void* out) -> std::int32_t {
    if (name == L"SourceName") {
      *static_cast<CString*>(out) = source;
      return 1;
    }
    const auto found = counts.find(name.str());
    if (found == counts.end()) return 0;
    *static_cast<std::uint32_t*>(out) = found->second;
    return 1;
  };
}

bool Logged(const std::wstring& text) {
  return testing_support::ProcessLogText().find(L"`anonymous-namespace'::WriteStatistic: " + text) != std::wstring::npos;
}

TEST(WriteStatistic, ReportsFiveValuesAndLogsWithOrWithoutSink) {
  testing_support::ProcessLogText();
  std::atomic<bool> stop{false};
  Sink sink;
  WriteStatistic(Reader({{L"StatisticSearchedTracks", 10}, {L"StatisticFoundNumber", 4}, {L"StatisticTime", 2500},
                         {L"StatisticDownloadCounter", 8}, {L"StatisticSuccessfulDownloads", 6},
                         {L"StatisticTotalDownloadTime", 4100}}),
                 &sink, stop);
  EXPECT_EQ(sink.values, (Values{{L"Success_musicbrainz", 4}, {L"Failure_musicbrainz", 6},
                                 {L"DownloadsSuccess_musicbrainz", 6}, {L"DownloadsFailure_musicbrainz", 2},
                                 {L"DownloadTime_musicbrainz", 512}}));
  EXPECT_TRUE(Logged(L"musicbrainz has downloaded 8 pages in 4 sec."));
  EXPECT_TRUE(Logged(L"musicbrainz has found 4 tracks in 2 sec."));

  WriteStatistic(Reader({}, L"idle"), nullptr, stop);  // nothing known reads as 0
  EXPECT_TRUE(Logged(L"idle has downloaded 0 pages in 0 sec."));
  EXPECT_TRUE(Logged(L"idle has found 0 tracks in 0 sec."));
}

TEST(WriteStatistic, AStopBetweenReportsEndsThemAndNothingGoesBelowZero) {
  std::atomic<bool> stop{false};
  Sink sink;
  sink.stopAfter = 2;
  sink.stop = &stop;
  // More found than searched and more successes than pages: differences stay 0.
  WriteStatistic(Reader({{L"StatisticSearchedTracks", 1}, {L"StatisticFoundNumber", 3}}), &sink, stop);
  EXPECT_EQ(sink.values, (Values{{L"Success_musicbrainz", 3}, {L"Failure_musicbrainz", 0}}));

  stop = false;
  Sink large;
  WriteStatistic(Reader({{L"StatisticFoundNumber", 0xFFFFFFF0u}, {L"StatisticSearchedTracks", 0xFFFFFFFFu},
                         {L"StatisticDownloadCounter", 0xFFFFFFFFu}, {L"StatisticSuccessfulDownloads", 1},
                         {L"StatisticTotalDownloadTime", 0xFFFFFFFFu}}),
                 &large, stop);
  EXPECT_EQ(large.values, (Values{{L"Success_musicbrainz", 0x7FFFFFFF}, {L"Failure_musicbrainz", 15},
                                  {L"DownloadsSuccess_musicbrainz", 1}, {L"DownloadsFailure_musicbrainz", 0x7FFFFFFF},
                                  {L"DownloadTime_musicbrainz", 1}}));
}

}  // namespace
