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

// Waits for a background update started by an earlier InitialiseNimbrel: its
// completion routine reads the settings and loads plug-ins, so neither may
// change under it.
CNimbrelConfig& ConfigurationAfterRunningUpdate() {
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.updateFinished.Wait();
  return config;
}

}  // namespace

void InitialiseNimbrel(const NimbrelSettings& settings) {
  platform::ModuleStateGuard moduleState;
  CNimbrelConfig& config = ConfigurationAfterRunningUpdate();
  config.SetMainSettings(settings);
  config.updateFinished.ResetEvent();
  // The configuration's settings, so that the update writes where the
  // completion routine loads from (an empty working directory is settled there).
  CDllSourcesManager::Instance().UpdateSourcesAsync(config, SourcesUpdated);
}

bool NimbrelSourcesUpdateSync(const NimbrelSettings& settings) {
  platform::ModuleStateGuard moduleState;
  CNimbrelConfig& config = ConfigurationAfterRunningUpdate();
  config.SetMainSettings(settings);
  return CDllSourcesManager::Instance().UpdateSourcesSync(config);
}
