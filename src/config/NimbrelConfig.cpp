#include "config/NimbrelConfig.h"

#include "foundation/FileUtils.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "foundation/StopWatch.h"
#include "meridex/Logging.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

CNimbrelConfig::CNimbrelConfig(CMasterlog& log) : log_(log) {}

CNimbrelConfig::~CNimbrelConfig() { updateFinished.Wait(); }

CNimbrelConfig& CNimbrelConfig::Instance() {
  // The master log is constructed first, so it is destroyed after the configuration.
  static CNimbrelConfig instance(CMasterlog::Instance());
  return instance;
}

void CNimbrelConfig::SetMainSettings(const NimbrelSettings& settings) {
  StopWatch scope(L"CNimbrelConfig::SetMainSettings");
  static_cast<NimbrelSettings&>(*this) = settings;

  AssureDirExists(LogFolder);
  CFileUtils::CleanUpFolderRecursively(LogFolder, L"txt", 5);
  log_.Open(LogFolder, L"nimbrel", 10);
  log_.SetTraceLevel(TraceLevel);
  log_.LogF(50, L"WorkingDirectory  = %s", WorkingDirectory);
  Meridex::InitLogging(LogFolder, TraceLevel);
  AddTrailingBackslash(LogFolder);

  if (WorkingDirectory.IsEmpty()) {
    const CString exe(platform::ExecutablePath());
    WorkingDirectory = exe.Left(exe.ReverseFind(platform::kPathSeparator) + 1);
  } else {
    AddTrailingBackslash(WorkingDirectory);
    AssureDirExists(WorkingDirectory);
  }
}
