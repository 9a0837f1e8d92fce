// The process's view of time, of its temporary folder and of making files
// durable, behind an interface that tests can replace (in the spirit of an
// injectable environment).
//
// Code reads these services only through Env::Current(); a test installs its
// own Env with ScopedEnv and restores the previous one when done.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemTime.h"

namespace platform {

class File;

class Env {
 public:
  virtual ~Env() = default;

  // Milliseconds of a monotonic clock, truncated to 32 bits (wraps).
  virtual std::uint32_t TickCount();
  // Current local and UTC calendar time.
  virtual SystemTime LocalTime();
  virtual SystemTime UtcTime();
  // Seconds since 1970-01-01 UTC.
  virtual std::int64_t UnixTime();
  // Blocks the calling thread for `ms` milliseconds.
  virtual void SleepMs(std::uint32_t ms);
  // The user's temporary folder, always with a trailing "/": $TMPDIR when
  // set, else /tmp/nimbrel-<uid>/ (not created here).
  virtual std::wstring TempFolder();
  // True when TempFolder() is a folder of ours (the per-user one under
  // /tmp): whoever uses it must make it with MakePrivateFolder and refuse it
  // unless it is ready. A folder the user chose ($TMPDIR) is taken as is.
  virtual bool TempFolderIsPrivate();
  // The web sites that the connectivity check probes, in order, as host
  // names (optionally with ":port"): three large public portals, then the
  // maker's own site.
  virtual std::vector<std::wstring> ConnectivityProbeHosts();

  // What makes a saved file durable, so that a test can make a sync fail
  // and watch which files were flushed before they were put in place.
  // File::Sync on `file`.
  virtual bool SyncFile(File& file);
  // platform::SyncFileSystem (FileSystem.h).
  virtual bool SyncFileSystem(std::wstring_view folder);
  // platform::RenameReplacing (FileSystem.h).
  virtual bool RenameReplacing(std::wstring_view from, std::wstring_view to);

  // The real environment.
  static Env* Default();
  // The environment in force; Default() unless a test replaced it.
  static Env* Current();
  // Replaces the environment in force; null restores Default(). Returns the previous one.
  static Env* Install(Env* env);
};

// Installs an environment for a scope.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env) : previous_(Env::Install(env)) {}
  ~ScopedEnv() { Env::Install(previous_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

}  // namespace platform
