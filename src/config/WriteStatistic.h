// The summary of one single-source search: two log lines, and five values
// per source for the host's statistics sink.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "nimbrel/CString.h"

class IStatisticsSink;

// Reads one named property of a search engine, as the engine's GetProperty.
using StatisticsReader = std::function<std::int32_t(const CString& name, void* out)>;

// Reads "SourceName" and the six statistics through `read` (a property it
// does not give reads as 0), writes two information lines to the log, then,
// when `sink` is not null, hands it "Success_", "Failure_",
// "DownloadsSuccess_", "DownloadsFailure_" and "DownloadTime_" followed by
// the source name, checking `stopRequested` before each and ending when it
// holds. Differences never go below 0 and values beyond the sink's int are
// reported as its largest value.
void WriteStatistic(const StatisticsReader& read, IStatisticsSink* sink, const std::atomic<bool>& stopRequested);

// The same for an engine.
template <class Engine>
void WriteStatistic(Engine& engine, IStatisticsSink* sink, const std::atomic<bool>& stopRequested) {
  WriteStatistic([&engine](const CString& name, void* out) { return engine.GetProperty(name, out); }, sink,
                 stopRequested);
}
