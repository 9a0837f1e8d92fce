#include "config/NimbrelConfig.h"

#include "foundation/FileUtils.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "foundation/StopWatch.h"
#include "meridex/Logging.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

CNimbrelConfig::CNimbrelConfig(CMasterlog& log) : log_(log) {
  TraceLevel = L"Debug";
  HttpProxy = L"0";
  TagCacheHost = L"localhost:8377";
}

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
  tagCacheEnabled = !TagCacheHost.IsEmpty();
  if (!tagCacheEnabled) log_.LogF(30, L"CNimbrelConfig::SetMainSettings: no tag-cache host, the server cache is off");

  if (WorkingDirectory.IsEmpty()) {
    const CString exe(platform::ExecutablePath());
    WorkingDirectory = exe.Left(exe.ReverseFind(platform::kPathSeparator) + 1);
  } else {
    AddTrailingBackslash(WorkingDirectory);
    AssureDirExists(WorkingDirectory);
  }
}
