// The exported set-up functions: the host's settings into the configuration,
// and the plug-in update, asynchronous or synchronous.
//
// No exception crosses into the host: each export and the update's
// completion routine log a failure as an error and carry on.
#include "config/NimbrelConfig.h"
#include "foundation/Guarded.h"
#include "nimbrel/Nimbrel.h"
#include "servercache/NimbrelServerCache.h"
#include "sources/DllSourcesManager.h"

namespace {

using nimbrel::Guarded;

// Ends an asynchronous update, whatever its result: the plug-ins left on disk
// are loaded, then searches waiting for the update may go on. The event is
// signalled even when loading fails.
void SourcesUpdated(std::uint32_t /*result*/) noexcept {
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  Guarded(L"SourcesUpdated", [&] { CDllSourcesManager::Instance().LoadSources(config.WorkingDirectory, kSourceAll); });
  config.updateFinished.SetEvent();
}

// Waits for a background update started by an earlier InitialiseNimbrel: its
// completion routine reads the settings and loads plug-ins, so neither may
// change under it. Fills queued for the tag-cache server outlive the searches
// and read the settings too: the queued ones are dropped, the running ones
// waited for.
CNimbrelConfig& ConfigurationAfterRunningUpdate() {
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.updateFinished.Wait();
  CNimbrelServerCache::Instance().DropFillsAndWait();
  return config;
}

}  // namespace

void InitialiseNimbrel(const NimbrelSettings& settings) {
  Guarded(L"InitialiseNimbrel", [&] {
    CNimbrelConfig& config = ConfigurationAfterRunningUpdate();
    config.SetMainSettings(settings);
    config.updateFinished.ResetEvent();
    // The host's own record: with no working directory the updater refuses
    // to run rather than write next to the executable; the completion
    // routine loads from the configuration's settled folder.
    CDllSourcesManager::Instance().UpdateSourcesAsync(settings, SourcesUpdated);
  });
}

bool NimbrelSourcesUpdateSync(const NimbrelSettings& settings) {
  bool updated = false;
  Guarded(L"NimbrelSourcesUpdateSync", [&] {
    CNimbrelConfig& config = ConfigurationAfterRunningUpdate();
    config.SetMainSettings(settings);
    updated = CDllSourcesManager::Instance().UpdateSourcesSync(settings);
  });
  return updated;
}
