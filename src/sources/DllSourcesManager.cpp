#include "sources/DllSourcesManager.h"

#include <exception>
#include <utility>

#include "foundation/Masterlog.h"
#include "foundation/StopWatch.h"
#include "net/ProxyResolver.h"
#include "nimbrel/NimbrelSettings.h"
#include "nimbrel/SourcePlugin.h"
#include "platform/DynamicLibrary.h"
#include "platform/TextCodec.h"
#include "platform/Thread.h"

namespace {
constexpr int kError = 10;
// An address inside this module.
void PinSelf() {}

// Logs the exception being handled as an error of `where`; never throws.
void LogCaught(const wchar_t* where) noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      LogF(kError, L"%s failed: %s", where, platform::FromUtf8(e.what()));
    } catch (...) {
      LogF(kError, L"%s failed: unknown exception", where);
    }
  } catch (...) {
  }
}
// Holds the use lock exclusively for its scope.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(CSourcesUseLock& lock) : lock_(lock) { lock_.LockExclusive(); }
  ~ExclusiveUse() { lock_.UnlockExclusive(); }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  CSourcesUseLock& lock_;
};
}  // namespace

CDllSourcesManager::CDllSourcesManager() = default;

CDllSourcesManager::~CDllSourcesManager() {
  std::list<std::unique_ptr<platform::Thread>> threads;
  {
    CSingleLock lock(&threadsLock_, true);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread->Join();
}

CDllSourcesManager& CDllSourcesManager::Instance() {
  static CDllSourcesManager instance;
  return instance;
}

CDllSources* CDllSourcesManager::Registry(std::int32_t kind) {
  switch (kind) {
    case kSourceGeneral:
      return &general_;
    case kSourceLyrics:
      return &lyrics_;
    default:
      return nullptr;
  }
}

std::size_t CDllSourcesManager::GetSourceCount(std::int32_t kind) {
  if (kind == kSourceAll) return general_.GetSourceCount() + lyrics_.GetSourceCount();
  CDllSources* registry = Registry(kind);
  return registry ? registry->GetSourceCount() : 0;
}

std::size_t CDllSourcesManager::LoadSources(CString folder, std::int32_t kind) {
  if (CDllSources* registry = Registry(kind)) return registry->LoadSources(folder);
  if (kind == kSourceAll) {
    general_.LoadSources(folder);
    lyrics_.LoadSources(folder);
  }
  return general_.GetSourceCount() + lyrics_.GetSourceCount();
}

bool CDllSourcesManager::IsSourceLoaded(const CString& name, std::int32_t kind) {
  CDllSources* registry = Registry(kind);
  return registry && registry->IsSourceLoaded(name);
}

bool CDllSourcesManager::LoadSource(const CString& name, std::int32_t kind, const CString& folder) {
  CDllSources* registry = Registry(kind);
  return registry && registry->LoadSource(name, folder);
}

bool CDllSourcesManager::AcquireSource(const CString& name, std::int32_t kind) {
  CDllSources* registry = Registry(kind);
  return registry && registry->AcquireSource(name);
}

bool CDllSourcesManager::AcquireLeastBusySource(CString& name, std::int32_t kind,
                                                const std::list<std::wstring>& tried) {
  CDllSources* registry = Registry(kind);
  return registry && registry->AcquireLeastBusySource(name, tried);
}

bool CDllSourcesManager::AcquireNextSource(CString& name, std::int32_t kind, const std::list<std::wstring>& tried) {
  CDllSources* registry = Registry(kind);
  return registry && registry->AcquireNextSource(name, tried);
}

void CDllSourcesManager::ReleaseSource(const CString& name, std::int32_t kind) {
  if (CDllSources* registry = Registry(kind)) registry->ReleaseSource(name);
}

std::size_t CDllSourcesManager::GetSourceNames(std::int32_t kind, std::list<std::wstring>& names) {
  if (CDllSources* registry = Registry(kind)) return registry->GetSourceNames(names);
  if (kind == kSourceAll) {
    general_.GetSourceNames(names);
    lyrics_.GetSourceNames(names);
  }
  return names.size();
}

CBasicTagsDllInterface* CDllSourcesManager::GetGeneralInterface(const CString& name) {
  return static_cast<CBasicTagsDllInterface*>(general_.GetInterface(name));
}

CLyricsDllInterface* CDllSourcesManager::GetLyricsInterface(const CString& name) {
  GetDllInterfaceFunction entry = lyrics_.GetInterfaceFunction(name);
  return entry ? static_cast<CLyricsDllInterface*>(entry()) : nullptr;
}

bool CDllSourcesManager::PrepareUpdate(const NimbrelSettings& settings) {
  StopWatch scope(L"CDllSourcesManager::PrepareUpdate");
  // The updater deletes and replaces module files: none may stay mapped. No
  // thread may be inside a plug-in or hold one of its interfaces meanwhile.
  {
    if (useLock_.HeldSharedByThisThread()) {
      LogF(kError, L"CDllSourcesManager::PrepareUpdate: called by a thread that uses the plug-ins");
    }
    ExclusiveUse unloading(useLock_);
    general_.UnloadSources();
    lyrics_.UnloadSources();
  }
  const CString proxy = nimbrel::ResolveProxy(settings.HttpProxy.str());
  update_.SetParameters(settings.UpdateUrl, settings.WorkingDirectory, proxy);
  return true;
}

void CDllSourcesManager::UpdateSourcesAsync(const NimbrelSettings& settings, UpdateCompletionRoutine completion) {
  StopWatch scope(L"CDllSourcesManager::UpdateSourcesAsync");
  // Whatever fails before the thread runs, the routine is called once with 0:
  // without it the plug-ins would stay unloaded and anyone waiting for the
  // update's end would wait forever.
  bool started = false;
  try {
    PrepareUpdate(settings);
    ReapThreads();
    // The update's thread may outlive a host's attempt to unload us, and its
    // completion routine loads modules: stay loaded until the process ends.
    static const bool pinned = platform::PinModuleContaining(reinterpret_cast<const void*>(&PinSelf));
    (void)pinned;
    auto thread = std::make_unique<platform::Thread>();
    started = thread->Start([this, completion] {
      // Nothing may leave a thread of ours.
      bool updated = false;
      try {
        updated = update_.Update();
      } catch (...) {
        LogCaught(L"CDllSourcesManager::UpdateSourcesAsync: update");
      }
      try {
        if (completion) completion(updated ? 1u : 0u);
      } catch (...) {
        LogCaught(L"CDllSourcesManager::UpdateSourcesAsync: completion routine");
      }
    });
    if (!started) {
      LogF(kError, L"CDllSourcesManager::UpdateSourcesAsync: cannot start the update thread: %s",
           LastErrorText());
    } else {
      CSingleLock lock(&threadsLock_, true);
      threads_.push_back(std::move(thread));
    }
  } catch (...) {
    LogCaught(L"CDllSourcesManager::UpdateSourcesAsync");
  }
  if (!started && completion) completion(0u);
}

bool CDllSourcesManager::UpdateSourcesSync(const NimbrelSettings& settings) {
  if (!PrepareUpdate(settings)) return false;
  return update_.Update();
}

void CDllSourcesManager::ReapThreads() {
  CSingleLock lock(&threadsLock_, true);
  for (auto it = threads_.begin(); it != threads_.end();) {
    if ((*it)->HasEnded()) {
      (*it)->Join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}
