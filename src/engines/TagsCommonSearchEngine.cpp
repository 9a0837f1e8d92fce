#include "engines/TagsCommonSearchEngine.h"

#include "foundation/Masterlog.h"

namespace {

constexpr int kError = 10;
constexpr int kWarning = 20;
constexpr int kInfo = 30;
constexpr int kDebug = 40;

template <class T>
constexpr const wchar_t* InterfaceName();
template <>
constexpr const wchar_t* InterfaceName<CBasicTagsDllInterface>() { return L"CBasicTagsDllInterface"; }
template <>
constexpr const wchar_t* InterfaceName<CLyricsDllInterface>() { return L"CLyricsDllInterface"; }

}  // namespace

template <class T>
CString CTagsCommonSearchEngine<T>::Prefix(const wchar_t* operation) {
  CString prefix;
  prefix.Format(L"CTagsCommonSearchEngine<class %s>::%s", InterfaceName<T>(), operation);
  return prefix;
}

template <class T>
std::int32_t CTagsCommonSearchEngine<T>::PassToPlugin(const CString& name, void* value) {
  const CString prefix = Prefix(L"SetProperty");
  LogF(kDebug, L"%s: %s: %s", prefix, name, *static_cast<const CString*>(value));
  if (!this->dllInterface) {
    LogF(kError, L"%s: %s: Interface = NULL", prefix, name);
    return 0;
  }
  return this->dllInterface->SetProperty(name, value) ? 1 : 0;
}

template <class T>
std::int32_t CTagsCommonSearchEngine<T>::SetProperty(const CString& name, void* value) {
  if (GetActiveSearchCount() != 0) return 0;
  const CString prefix = Prefix(L"SetProperty");
  if (name == L"MaxMatchDifference" && value) {
    maxMatchDifference = *static_cast<const float*>(value);
    LogF(kDebug, L"%s: %s: %lf", prefix, name, static_cast<double>(maxMatchDifference));
    return 1;
  }
  if (name == L"TimeOut" && value) {
    timeOut = *static_cast<const std::int32_t*>(value);
    LogF(kDebug, L"%s: %s: %d", prefix, name, timeOut);
    return 1;
  }
  if ((name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath") && value) {
    return PassToPlugin(name, value);
  }
  if (name == L"HttpProxy" && value) {
    proxy = *static_cast<const CString*>(value);
    LogF(kDebug, L"%s: %s: %s", prefix, name, proxy);
    // The plug-in's own requests take the host's proxy unless told otherwise;
    // a plug-in that makes none may refuse it.
    if (this->dllInterface) this->dllInterface->SetProperty(name, value);
    return 1;
  }
  if (name == L"LocalCacheFolder" && value) return PassToPlugin(name, value);
  if (name == L"HostIgnore") {
    hostIgnore = value;
    if (value) LogF(kDebug, L"%s: %s: ", prefix, name);
    return 1;
  }
  if (name == L"ForceSearchByArtist") {
    forceSearchByArtist = true;
    LogF(kDebug, L"%s: %s: true", prefix, name);
    return 1;
  }
  if (name == L"NimbrelObject") {
    nimbrelObject = value;
    LogF(kDebug, L"%s: %s: ", prefix, name);
    return 1;
  }
  LogF(kWarning, L"%s: %s:  - Can not be set.", prefix, name);
  return 0;
}

template <class T>
CTagsCommonSearchEngine<T>::~CTagsCommonSearchEngine() {
  // A plug-in may remember this engine for the thread that searched, to ask
  // it for a stop while it waits; from now on it must not. The value is
  // text, so that a plug-in that reads every value as text is not misled.
  if (!this->dllInterface) return;
  try {
    CString ended(L"1");
    this->dllInterface->SetProperty(CString(L"SearchEnded"), &ended);
  } catch (...) {
  }
}

template <class T>
std::int32_t CTagsCommonSearchEngine<T>::GetProperty(const CString& name, void* out) {
  const CString prefix = Prefix(L"GetProperty");
  if (out) {
    if (name == L"HostIgnore") {
      if (!hostIgnore) return 0;
      *static_cast<void**>(out) = hostIgnore;
      return 1;
    }
    const bool passedThrough = name == L"StatisticSuccessfulDownloads" || name == L"StatisticTotalDownloadTime" ||
                               name == L"StatisticDownloadCounter" || name == L"SourceName" || name == L"SourceId";
    if (passedThrough) {
      if (!this->dllInterface) {
        LogF(kError, L"%s: %s: Interface = NULL", prefix, name);
        return 0;
      }
      return this->dllInterface->GetProperty(name, out);
    }
    if (name == L"StatisticTime") {
      *static_cast<std::uint32_t*>(out) = searchTimer.Total();
      return 1;
    }
    if (name == L"StatisticFoundNumber") {
      *static_cast<std::uint32_t*>(out) = foundNumber.load();
      return 1;
    }
    if (name == L"StatisticSearchedTracks") {
      *static_cast<std::uint32_t*>(out) = searchedTracks.load();
      return 1;
    }
    if (name == L"MaxMatchDifference") {
      *static_cast<float*>(out) = maxMatchDifference;
      return 1;
    }
    if (name == L"HttpProxy") {
      *static_cast<CString*>(out) = proxy;
      return 1;
    }
    if (name == L"TimeOut") {
      *static_cast<std::int32_t*>(out) = timeOut;
      return 1;
    }
  }
  LogF(kError, L"%s: %s: Property not found.", prefix, name);
  return 0;
}

template <class T>
std::int32_t CTagsCommonSearchEngine<T>::CallMethod(const CString& name, void*) {
  LogF(kError, L"%s: Method not found: %s", Prefix(L"CallMethod"), name);
  return 0;
}

template <class T>
void CTagsCommonSearchEngine<T>::SetStop() {
  stopFlag = true;
}

template <class T>
bool CTagsCommonSearchEngine<T>::IsStopped() {
  return stopFlag.load() || IsTimeOut();
}

template <class T>
bool CTagsCommonSearchEngine<T>::IsTimeOut() {
  if (GetActiveSearchCount() == 0) return false;
  if (static_cast<std::uint32_t>(timeOut) >= searchTimer.Elapsed()) return false;
  if (this->dllInterface) {
    LogF(kInfo, L"%s: TIMEOUT - Source: %s", Prefix(L"IsTimeOut"), SourceProperty(L"SourceName"));
  }
  if (GetActiveSearchCount() != 0) this->SetStop();
  return true;
}

template <class T>
CString CTagsCommonSearchEngine<T>::SourceProperty(const wchar_t* name) {
  CString text;
  if (this->dllInterface) this->dllInterface->GetProperty(CString(name), &text);
  return text;
}

template <class T>
CTagsCommonSearchEngine<T>::SearchBracket::SearchBracket(CTagsCommonSearchEngine& engine, std::size_t songCount)
    : engine_(engine), entered_(songCount != 0) {
  if (!entered_) return;
  engine_.stopFlag = false;
  ++engine_.activeSearches;
  engine_.searchedTracks += static_cast<std::uint32_t>(songCount);
  engine_.searchTimer.Start();
}

template <class T>
CTagsCommonSearchEngine<T>::SearchBracket::~SearchBracket() {
  if (!entered_) return;
  engine_.searchTimer.Stop();
  --engine_.activeSearches;
}

template class CTagsCommonSearchEngine<CBasicTagsDllInterface>;
template class CTagsCommonSearchEngine<CLyricsDllInterface>;
