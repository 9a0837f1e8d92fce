// An environment whose clock the test sets and advances; sleeping advances
// the clock instead of blocking.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace testing_support {

class FakeEnv : public platform::Env {
 public:
  // Starts at the given local date and time (UTC equals local here).
  FakeEnv(int year = 2026, int month = 1, int day = 15, int hour = 12, int minute = 0, int second = 0);

  std::uint32_t TickCount() override;
  platform::SystemTime LocalTime() override;
  platform::SystemTime UtcTime() override;
  std::int64_t UnixTime() override;
  void SleepMs(std::uint32_t ms) override;
  std::wstring TempFolder() override;
  bool TempFolderIsPrivate() override;
  // Empty unless set, so that a connectivity check under a FakeEnv never
  // leaves the machine; tests set loopback "127.0.0.1:<port>" texts.
  std::vector<std::wstring> ConnectivityProbeHosts() override;

  void AdvanceMs(std::int64_t ms);
  // `isPrivate`: the folder is to be made and checked as one of ours.
  void SetTempFolder(std::wstring folder, bool isPrivate = false);
  void SetConnectivityProbeHosts(std::vector<std::wstring> hosts);
  std::int64_t sleptMs() const { return slept_; }

 private:
  mutable std::mutex mutex_;
  std::int64_t nowMs_;  // milliseconds since 1970
  std::atomic<std::int64_t> slept_{0};
  std::wstring temp_;
  bool tempIsPrivate_ = false;
  std::vector<std::wstring> probeHosts_;
};

}  // namespace testing_support
