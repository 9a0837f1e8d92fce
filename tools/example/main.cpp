// Example host: fills a settings record, applies it through the library's
// configuration, writes a few log entries and tells where the log went.
// When the program ends, the library merges its trace file into the parent log.
//
// Usage: nimbrel_example [folder]   (default: <temporary folder>nimbrel-example/)
#include <cstdio>
#include <string>

#include "config/NimbrelConfig.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "platform/Env.h"
#include "platform/TextCodec.h"

int main(int argc, char** argv) {
  const CString temp = argc > 1 ? CString() : PrepareTempFolder();
  if (argc <= 1 && temp.IsEmpty()) {
    std::fprintf(stderr, "%s is refused (a link, another user's or writable by others); name a folder\n",
                 platform::ToUtf8(platform::Env::Current()->TempFolder()).c_str());
    return 1;
  }
  CString base = argc > 1 ? CString(platform::FromNativeName(argv[1])) : temp + L"nimbrel-example/";
  if (base[base.GetLength() - 1] != L'/') base += L'/';

  NimbrelSettings settings;
  settings.LogFolder = base + L"logs";
  settings.WorkingDirectory = base + L"work";
  settings.TraceLevel = L"Info";
  settings.UpdateUrl = L"http://127.0.0.1:8377/update.xml";

  // The configuration creates the log and working folders one level deep.
  if (!CreateDirectoryRecursive(base)) {
    std::fprintf(stderr, "cannot create %s\n", platform::ToUtf8(base.str()).c_str());
    return 1;
  }

  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.SetMainSettings(settings);

  LogF(30, L"example: settings applied, working directory %s", config.WorkingDirectory);
  LogF(30, L"example: 100%% of the percent signs stay literal: %s", L"50% done, %d stays %d");
  LogF(20, L"example: a warning with a number %d and non-ASCII text %s", 42, L"Björk – Jóga");
  LogF(40, L"example: this debug entry is above the trace level \"Info\" and is not written");

  const CString trace = CMasterlog::Instance().TraceFilePath();
  const CString parent = CMasterlog::Instance().ParentLogPath();
  std::printf("working directory: %s\n", platform::ToUtf8(config.WorkingDirectory.str()).c_str());
  std::printf("log folder: %s\n", platform::ToUtf8(config.LogFolder.str()).c_str());
  std::printf("trace file (while running): %s\n", platform::ToUtf8(trace.str()).c_str());
  std::printf("parent log (the trace is merged into it at exit): %s\n", platform::ToUtf8(parent.str()).c_str());
  return 0;
}
