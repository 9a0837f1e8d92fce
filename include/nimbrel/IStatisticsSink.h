// The host's receiver of search statistics.
#pragma once

#include <string>

// Implemented by the host. The library calls only AddValue, after every
// single-source search, with keys such as "Success_musicbrainz". The
// slots before it belong to the host; their position is kept so that a
// sink compiled by the host lines up with what the library calls.
class IStatisticsSink {
 public:
  virtual ~IStatisticsSink() = default;
  // Host's own use; never called by the library.
  virtual void BeginRun() {}
  // Host's own use; never called by the library.
  virtual void EndRun() {}
  // Receives one named counter value. Called from worker threads.
  virtual void AddValue(std::wstring key, int value) = 0;
};
