#include "support/FakeEnv.h"

#include <chrono>

namespace testing_support {

namespace {

platform::SystemTime Broken(std::int64_t ms) {
  using namespace std::chrono;
  const sys_days days = floor<std::chrono::days>(sys_time<milliseconds>(milliseconds(ms)));
  const year_month_day ymd(days);
  const hh_mm_ss<milliseconds> tod(milliseconds(ms) - duration_cast<milliseconds>(days.time_since_epoch()));
  platform::SystemTime t;
  t.year = static_cast<int>(ymd.year());
  t.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  t.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  t.dayOfWeek = static_cast<int>(weekday(days).c_encoding());
  t.hour = static_cast<int>(tod.hours().count());
  t.minute = static_cast<int>(tod.minutes().count());
  t.second = static_cast<int>(tod.seconds().count());
  t.milliseconds = static_cast<int>(tod.subseconds().count());
  return t;
}

}  // namespace

FakeEnv::FakeEnv(int year, int month, int day, int hour, int minute, int second) {
  using namespace std::chrono;
  const sys_days d = std::chrono::year(year) / std::chrono::month(static_cast<unsigned>(month)) /
                     std::chrono::day(static_cast<unsigned>(day));
  nowMs_ = duration_cast<milliseconds>(d.time_since_epoch()).count() +
           ((hour * 60 + minute) * 60 + second) * 1000LL;
  temp_ = platform::Env::Default()->TempFolder();
  tempIsPrivate_ = platform::Env::Default()->TempFolderIsPrivate();
}

std::uint32_t FakeEnv::TickCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::uint32_t>(nowMs_);
}

platform::SystemTime FakeEnv::LocalTime() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Broken(nowMs_);
}

platform::SystemTime FakeEnv::UtcTime() { return LocalTime(); }

std::int64_t FakeEnv::UnixTime() {
  std::lock_guard<std::mutex> lock(mutex_);
  return nowMs_ / 1000;
}

void FakeEnv::SleepMs(std::uint32_t ms) {
  slept_ += ms;
  AdvanceMs(ms);
}

std::wstring FakeEnv::TempFolder() {
  std::lock_guard<std::mutex> lock(mutex_);
  return temp_;
}

bool FakeEnv::TempFolderIsPrivate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tempIsPrivate_;
}

std::vector<std::wstring> FakeEnv::ConnectivityProbeHosts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return probeHosts_;
}

void FakeEnv::SetConnectivityProbeHosts(std::vector<std::wstring> hosts) {
  std::lock_guard<std::mutex> lock(mutex_);
  probeHosts_ = std::move(hosts);
}

void FakeEnv::AdvanceMs(std::int64_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  nowMs_ += ms;
}

void FakeEnv::SetTempFolder(std::wstring folder, bool isPrivate) {
  std::lock_guard<std::mutex> lock(mutex_);
  temp_ = std::move(folder);
  tempIsPrivate_ = isPrivate;
}

}  // namespace testing_support
