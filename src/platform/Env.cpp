#include "platform/Env.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/NoDestructor.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

// The environment installed by a test; null means the default one.
std::atomic<Env*> g_installed{nullptr};

SystemTime FromTm(const struct tm& tm, int milliseconds) {
  SystemTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.dayOfWeek = tm.tm_wday;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.milliseconds = milliseconds;
  return t;
}

// Now as whole seconds for the C calendar functions plus the milliseconds within that second.
void Now(time_t& seconds, int& milliseconds) {
  using namespace std::chrono;
  const auto ms = duration_cast<std::chrono::milliseconds>(system_clock::now().time_since_epoch()).count();
  auto whole = ms / 1000;
  auto rest = ms % 1000;
  if (rest < 0) {  // before 1970: keep the milliseconds positive
    rest += 1000;
    --whole;
  }
  seconds = static_cast<time_t>(whole);
  milliseconds = static_cast<int>(rest);
}

}  // namespace

std::uint32_t Env::TickCount() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

SystemTime Env::LocalTime() {
  time_t seconds;
  int milliseconds;
  Now(seconds, milliseconds);
  struct tm tm {};
  localtime_r(&seconds, &tm);
  return FromTm(tm, milliseconds);
}

SystemTime Env::UtcTime() {
  time_t seconds;
  int milliseconds;
  Now(seconds, milliseconds);
  struct tm tm {};
  gmtime_r(&seconds, &tm);
  return FromTm(tm, milliseconds);
}

std::int64_t Env::UnixTime() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void Env::SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::wstring Env::TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  // /tmp is shared by every user; ours is a folder of our own below it.
  std::wstring folder = (tmp && *tmp) ? FromNativeName(tmp) : L"/tmp/nimbrel-" + std::to_wstring(::getuid());
  if (folder.back() != L'/') folder += L'/';
  return folder;
}

bool Env::TempFolderIsPrivate() {
  const char* tmp = std::getenv("TMPDIR");
  return !(tmp && *tmp);
}

std::vector<std::wstring> Env::ConnectivityProbeHosts() {
  return {L"www.google.com", L"www.yahoo.com", L"www.microsoft.com", L"www.nimbrel.org"};
}

bool Env::SyncFile(File& file) { return file.Sync(); }

bool Env::SyncFileSystem(std::wstring_view folder) { return platform::SyncFileSystem(folder); }

bool Env::RenameReplacing(std::wstring_view from, std::wstring_view to) { return platform::RenameReplacing(from, to); }

Env* Env::Default() {
  // Never destroyed: objects that log while the process unloads still read the clock.
  static NoDestructor<Env> instance;
  return instance.get();
}

Env* Env::Current() {
  Env* env = g_installed.load(std::memory_order_acquire);
  return env ? env : Default();
}

Env* Env::Install(Env* env) {
  Env* previous = g_installed.exchange(env, std::memory_order_acq_rel);
  return previous ? previous : Default();
}

}  // namespace platform
