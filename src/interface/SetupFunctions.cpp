// The exported set-up functions: the host's settings into the configuration,
// and the plug-in update, asynchronous or synchronous.
#include "config/NimbrelConfig.h"
#include "nimbrel/Nimbrel.h"
#include "platform/ModuleState.h"
#include "sources/DllSourcesManager.h"

namespace {

// Ends an asynchronous update, whatever its result: the plug-ins left on disk
// are loaded, then searches waiting for the update may go on.
void SourcesUpdated(std::uint32_t /*result*/) {
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  CDllSourcesManager::Instance().LoadSources(config.WorkingDirectory, kSourceAll);
  config.updateFinished.SetEvent();
}

}  // namespace

void InitialiseNimbrel(const NimbrelSettings& settings) {
  platform::ModuleStateGuard moduleState;
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.SetMainSettings(settings);
  config.updateFinished.ResetEvent();
  // The configuration's settings, so that the update writes where the
  // completion routine loads from (an empty working directory is settled there).
  CDllSourcesManager::Instance().UpdateSourcesAsync(config, SourcesUpdated);
}

bool NimbrelSourcesUpdateSync(const NimbrelSettings& settings) {
  platform::ModuleStateGuard moduleState;
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.SetMainSettings(settings);
  return CDllSourcesManager::Instance().UpdateSourcesSync(config);
}
