// The process's master log for tests that look for log entries: opened by
// the first call, at the most detailed level, in a folder that outlives every
// test, and read back from the trace file.
#pragma once

#include <string>

#include "foundation/Masterlog.h"
#include "platform/File.h"
#include "platform/TextCodec.h"
#include "support/ScratchFolder.h"

namespace testing_support {

// The whole trace file so far. Call it once before the step whose entries a
// test looks for, so the log is open when they are written.
inline std::wstring ProcessLogText() {
  static ScratchFolder folder;
  static const bool opened = [] {
    CMasterlog::Instance().Open(folder.path().c_str(), L"test", 60);
    LogF(10, L"log opened");
    return true;
  }();
  (void)opened;
  std::string bytes;
  platform::File::ReadAll(CMasterlog::Instance().TraceFilePath().str(), bytes);
  return platform::FromUtf16Le(bytes);
}

}  // namespace testing_support
