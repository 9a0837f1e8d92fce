#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/PosixIo.h"
#include "platform/TextCodec.h"

namespace platform {

namespace {

std::mutex g_sinkMutex;
DebugOutputSink g_sink;

bool ReadTracerPid() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (!status) return false;
  bool traced = false;
  char line[256];
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      long pid = 0;
      traced = std::sscanf(line + 10, "%ld", &pid) == 1 && pid != 0;
      break;
    }
  }
  std::fclose(status);
  return traced;
}

void WriteToStderr(std::string bytes) {
  if (bytes.empty() || bytes.back() != '\n') bytes += '\n';
  // One write per text where possible, so that lines of different threads do not mix.
  posix::WriteFully(STDERR_FILENO, bytes.data(), bytes.size());
}

}  // namespace

bool IsDebuggerAttached() {
  static const bool attached = ReadTracerPid();
  return attached;
}

void OutputDebugString(std::wstring_view text) {
  const int saved = errno;  // a diagnostic must not disturb the caller's error
  if (IsDebuggerAttached()) WriteToStderr(ToUtf8(text));
  {
    // The sink is called under the lock: once SetDebugOutputSink returns, the
    // previous sink is never called again. A sink must not write debug output itself.
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_sink) g_sink(text);
  }
  errno = saved;
}

void SetDebugOutputSink(DebugOutputSink sink) {
  DebugOutputSink previous;
  {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    previous.swap(g_sink);
    g_sink = std::move(sink);
  }
  // `previous` is destroyed here, outside the lock, in case its captures do work on destruction.
}

}  // namespace platform
