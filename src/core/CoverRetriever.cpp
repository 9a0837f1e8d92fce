#include "core/CoverRetriever.h"

#include <exception>
#include <vector>

#include "config/EngineProperties.h"
#include "config/NimbrelConfig.h"
#include "covers/CoverCache.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "foundation/Masterlog.h"
#include "net/ProxyResolver.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"
#include "sources/DllSourcesManager.h"

namespace {
constexpr int kError = 10;

// "thumbn" or "large": the first key of a picture stored under an article number.
CString SizeName(bool thumbnail) { return thumbnail ? CString(L"thumbn") : CString(L"large"); }

CString ResolveProxyText(const CString& setting) { return CString(nimbrel::ResolveProxy(setting.str())); }

// Logs the exception being handled; never throws.
void LogCaught() noexcept {
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      LogF(kError, L"CNimbrelCore::GetCover: the cover plug-in failed: %s", platform::FromUtf8(e.what()));
    } catch (...) {
      LogF(kError, L"CNimbrelCore::GetCover: the cover plug-in failed: unknown exception");
    }
  } catch (...) {
  }
}
}  // namespace

CCoverRetriever::CCoverRetriever(ISearchContext& context, CCoverCache* covers, CDllSourcesManager* sources,
                                 CNimbrelConfig* config)
    : context_(context),
      covers_(covers ? *covers : CCoverCache::Instance()),
      sources_(sources ? *sources : CDllSourcesManager::Instance()),
      config_(config ? *config : CNimbrelConfig::Instance()) {}

bool CCoverRetriever::GetCover(const CString& artist, const CString& album, const CString& asin, CString& outPath,
                               bool abortable, bool thumbnail) {
  const CString noUrl, noProxy, noText;
  if (!artist.IsEmpty() && !album.IsEmpty() &&
      covers_.GetCover(artist, album, noText, outPath, noUrl, noProxy, thumbnail) > 0) {
    return true;
  }
  const CString size = SizeName(thumbnail);
  if (asin.IsEmpty()) return false;
  if (covers_.GetCover(size, asin, noText, outPath, noUrl, noProxy, thumbnail) > 0) return true;

  CString address;
  bool answered = false;
  try {
    answered = AskCoverAddress(asin, abortable, address);
  } catch (...) {
    // A plug-in that throws has no cover to give; nothing of it may reach
    // the host or the search that asked.
    LogCaught();
    return false;
  }
  if (!answered || address.IsEmpty()) return false;
  if (thumbnail) address.Replace(L".jpg", kThumbnailSuffix);
  if (abortable && context_.StopRequested()) return false;
  const CString proxy = ResolveProxyText(config_.HttpProxy);
  return covers_.GetCover(size, asin, noText, outPath, address, proxy, thumbnail) > 0;
}

void CCoverRetriever::HoldSources() {
  CSourcesUseLock& lock = sources_.UseLock();
  // Inside a search that holds the plug-ins, waiting would deadlock with an
  // update waiting for that search; and the plug-ins cannot go away meanwhile.
  if (lock.HeldSharedByThisThread()) {
    lock.LockShared();
    return;
  }
  for (;;) {
    if (!config_.updateFinished.Wait(platform::kInfinite)) {
      CMasterlog::Instance().LogLastError(kError, L"CNimbrelCore::GetCover: Wait for UpdateFinishedEvent failed!",
                                          platform::LastError());
      lock.LockShared();
      return;
    }
    lock.LockShared();
    // An update may have begun between the wait and the hold: its plug-in
    // files are then being replaced, and nothing may be loaded from them.
    if (config_.updateFinished.IsSignalled()) return;
    lock.UnlockShared();
  }
}

bool CCoverRetriever::AskCoverAddress(const CString& asin, bool abortable, CString& address) {
  if (abortable && context_.StopRequested()) return false;
  HoldSources();
  struct Release {
    CSourcesUseLock& lock;
    ~Release() { lock.UnlockShared(); }
  } release{sources_.UseLock()};

  CBasicTagsCommonSearchEngine engine(nullptr, &covers_);
  const CString source(kCoverSource);
  if (!sources_.IsSourceLoaded(source, kSourceGeneral) &&
      !sources_.LoadSource(source, kSourceGeneral, config_.WorkingDirectory)) {
    return false;
  }
  CBasicTagsDllInterface* plugin = sources_.GetGeneralInterface(source);
  if (!plugin || engine.Connect(plugin) == 0) return false;

  const NimbrelOptions options = context_.Options();
  const std::vector<EngineProperty> properties = CommonEngineProperties(
      // The object handed on is the context; no callback of this engine uses it.
      config_, &context_, options, ResolveProxyText, CMasterlog::Instance().ParentLogPath());
  for (const EngineProperty& property : properties) {
    engine.SetProperty(property.name, const_cast<void*>(property.ValuePointer()));
  }

  CoverByAsinArgs args{&asin, &address};
  if (!abortable) return engine.CallMethod(L"GetCover_by_asin", &args) != 0;
  // Registered before the last look at the stop state: a stop from then on
  // reaches the engine through the register.
  EngineRegistration<CBasicTagsCommonSearchEngine> registration(context_.BasicEngines(), &engine);
  if (context_.StopRequested()) return false;
  return engine.CallMethod(L"GetCover_by_asin", &args) != 0;
}
