// The exported set-up functions: the host's settings into the configuration,
// and the plug-in update, asynchronous or synchronous.
//
// No exception crosses into the host: each export and the update's
// completion routine log a failure as an error and carry on.
#include <exception>

#include "config/NimbrelConfig.h"
#include "foundation/Masterlog.h"
#include "nimbrel/Nimbrel.h"
#include "platform/ModuleState.h"
#include "platform/TextCodec.h"
#include "sources/DllSourcesManager.h"

namespace {

constexpr int kError = 10;

// Runs `body`; an exception is logged as an error of `where` (and logging
// itself may not throw out either). True when `body` returned normally.
template <class Body>
bool Guarded(const wchar_t* where, Body body) noexcept {
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    try {
      LogF(kError, L"%s: failed: %s", where, platform::FromUtf8(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      LogF(kError, L"%s: failed: unknown exception", where);
    } catch (...) {
    }
  }
  return false;
}

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
// change under it.
CNimbrelConfig& ConfigurationAfterRunningUpdate() {
  CNimbrelConfig& config = CNimbrelConfig::Instance();
  config.updateFinished.Wait();
  return config;
}

}  // namespace

void InitialiseNimbrel(const NimbrelSettings& settings) {
  platform::ModuleStateGuard moduleState;
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
  platform::ModuleStateGuard moduleState;
  bool updated = false;
  Guarded(L"NimbrelSourcesUpdateSync", [&] {
    CNimbrelConfig& config = ConfigurationAfterRunningUpdate();
    config.SetMainSettings(settings);
    updated = CDllSourcesManager::Instance().UpdateSourcesSync(settings);
  });
  return updated;
}
