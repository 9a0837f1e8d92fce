#include "sources/DllSources.h"

#include <algorithm>

#include "foundation/Ffsco.h"
#include "foundation/FileUtils.h"
#include "foundation/FolderHelpers.h"
#include "foundation/Masterlog.h"
#include "foundation/PathNames.h"
#include "foundation/StdioFileEx.h"
#include "foundation/WideToInt.h"
#include "foundation/XmlNode.h"
#include "platform/Event.h"
#include "platform/ModuleVersion.h"
#include "platform/SystemError.h"

namespace {

constexpr int kError = 10;

CString KindFolder(const CString& folder, const CString& kind) {
  CString path = folder;
  AddTrailingBackslash(path);
  path += kind;
  AddTrailingBackslash(path);
  return path;
}

bool Contains(const std::list<std::wstring>& names, const std::wstring& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

struct CDllSources::Waiter {
  CEvent event{false, false};
  bool woken = false;
  bool refused = false;  // the plug-ins were unloaded while it waited
};

CDllSources::CDllSources(const CString& kindName) : kindName_(kindName) {
  // Loading logs; the log must outlive the registry.
  CMasterlog::Instance();
}

CDllSources::~CDllSources() { UnloadSources(); }

std::size_t CDllSources::LoadSources(const CString& folder) {
  const CString kindFolder = KindFolder(folder, kindName_);
  AssureDirExists(kindFolder);
  ffd::ffsco finder;
  finder.SetRecursive(true);
  finder.Find(kindFolder, kModuleSuffix);
  for (const CString& file : finder.Files()) {
    CString name = GetFileNameOf(file);
    if (name.Replace(kDebugModuleSuffix, L"") == 0) name.Replace(kModuleSuffix, L"");
    LoadSource(name, folder);
  }
  return GetSourceCount();
}

bool CDllSources::LoadSource(const CString& name, const CString& folder) {
  if (IsSourceLoaded(name)) return true;
  const CString kindFolder = KindFolder(folder, kindName_);
  AssureDirExists(kindFolder);
  const CString path = kindFolder + name + kModuleSuffix;
  if (!PathExists(path)) {
    LogF(kError, L"CDllSources::LoadSource: Path does not exist: %s", path);
    return false;
  }
  SourceRecord record;
  std::wstring loaderError;
  if (!record.module.Open(path.str(), &loaderError)) {
    LogF(kError, L"CDllSources::LoadSource: Failed loading %s GetLastError():%d, %s", path, platform::LastError(),
         loaderError);
    return false;
  }
  record.entryFunction = reinterpret_cast<GetDllInterfaceFunction>(record.module.Symbol("GetDllInterface"));
  if (!record.entryFunction) {
    LogF(kError, L"CDllSources::LoadSource: Failed to GetProcAddress of GetDllInterface - %s", path);
    return false;  // the module is freed with the record
  }
  record.path = path;
  if (!TakeSdkLevel(record)) return false;
  ReadSourceInfo(name, record);

  CSingleLock lock(&entryLock_);
  // Another thread may have loaded the same name meanwhile: one record per
  // name, or its users would get twice the slots and a waiter for it might
  // never be woken. Ours closes with `record` (the loader counts references).
  if (FindEntry(name)) return true;
  entries_.emplace_back(name, std::move(record));
  // Stable: equal priorities keep their load order.
  entries_.sort([](const Entry& a, const Entry& b) { return a.second.priority < b.second.priority; });
  return true;
}

void CDllSources::ReadSourceInfo(const CString& name, SourceRecord& record) {
  const CString registryFile = GetParentFolder(GetParentFolder(record.path)) + L"Sources.xml";
  if (!PathExists(registryFile)) return;
  CStdioFileEx file;
  if (!file.Open(registryFile, CStdioFileEx::modeRead | CStdioFileEx::typeText)) return;
  CString text;
  CString line;
  while (file.ReadString(line)) text += line;
  file.Close();
  if (text.IsEmpty()) return;

  // Options of our own: the shared defaults would collect this parse's error
  // record while another registry or the updater parses.
  XmlParseOptions options;
  XmlNode root;
  if (!root.Load(text.GetString(), &options)) return;
  XmlNode* kind = root.FindChild(kindName_);
  if (!kind) return;
  XmlNode* source = kind->FindChildWithAttribute(L"DLL", L"Name", name);
  if (!source) return;
  const std::int32_t priority = WideToInt(source->GetChildText(L"Priority", &DefaultXmlWriteOptions()).str());
  if (priority != 0) record.priority = static_cast<std::uint32_t>(priority);
  if (XmlNode* locales = source->FindChild(L"DLLLocales")) {
    for (int i = 0; i < locales->GetChildCount(); ++i) {
      CString locale = locales->GetChild(i)->GetText(&DefaultXmlWriteOptions());
      locale.Trim();
      record.locales.push_back(locale);
    }
  }
}

void CDllSources::UnloadSources() {
  CSingleLock lock(&entryLock_);
  for (Entry& entry : entries_) {
    if (entry.second.useCount > 0) {
      LogF(kError, L"CDllSources::UnloadSources: %s unloaded while in use by %u thread(s)", entry.first,
           entry.second.useCount);
    }
    if (!entry.second.module.Close()) {
      LogF(kError, L"CDllSources::UnloadSources: %s is still resident after it was freed; a replaced file will not be loaded",
           entry.second.path);
    }
  }
  entries_.clear();
  ++generation_;
  // Nothing is left to wait for: every queued thread is woken with a refusal.
  CSingleLock queueLock(&queueLock_);
  if (!waiters_.empty()) {
    LogF(kError, L"CDllSources::UnloadSources: %u thread(s) waiting for a plug-in refused", waiters_.size());
  }
  for (Waiter* waiter : waiters_) {
    waiter->refused = true;
    waiter->woken = true;
    waiter->event.SetEvent();
  }
}

CDllSources::Entry* CDllSources::FindEntry(const CString& name) {
  for (Entry& entry : entries_) {
    if (entry.first == name) return &entry;
  }
  return nullptr;
}

bool CDllSources::IsSourceLoaded(const CString& name) {
  CSingleLock lock(&entryLock_);
  const Entry* entry = FindEntry(name);
  return entry && entry->second.module.IsOpen();
}

std::size_t CDllSources::GetSourceCount() {
  CSingleLock lock(&entryLock_);
  return entries_.size();
}

std::size_t CDllSources::GetSourceNames(std::list<std::wstring>& names) {
  CSingleLock lock(&entryLock_);
  for (const Entry& entry : entries_) names.push_back(entry.first.str());
  return names.size();
}

bool CDllSources::TakeSdkLevel(SourceRecord& record) {
  platform::ModuleFileVersion version;
  // A module without a version stamp predates the levels: level 1.
  record.sdkLevel = platform::ReadModuleVersion(record.path.str(), version) ? version.sdkLevel : 1;
  if (record.sdkLevel == 0 || record.sdkLevel > nimbrel::kSdkLevel) {
    LogF(kError, L"CDllSources::LoadSource: %s is built for SDK level %u, this library serves levels 1 to %u; not loaded",
         record.path, record.sdkLevel, nimbrel::kSdkLevel);
    return false;
  }
  // Only the basic-tags records changed; lyrics modules of every level share today's layout.
  if (record.sdkLevel < 2 && kindName_ == kGeneralKind) {
    record.adapter = std::make_unique<CBasicTagsV1Adapter>(record.entryFunction);
  }
  return true;
}

void* CDllSources::GetInterface(const CString& name) {
  GetDllInterfaceFunction entry = nullptr;
  CBasicTagsV1Adapter* adapter = nullptr;
  {
    CSingleLock lock(&entryLock_);
    Entry* found = FindEntry(name);
    if (!found) return nullptr;
    entry = found->second.entryFunction;
    adapter = found->second.adapter.get();
  }
  if (!adapter) return entry();
  return adapter->Target() ? static_cast<CBasicTagsDllInterface*>(adapter) : nullptr;
}

std::uint32_t CDllSources::GetSdkLevel(const CString& name) {
  CSingleLock lock(&entryLock_);
  const Entry* entry = FindEntry(name);
  return entry ? entry->second.sdkLevel : 0;
}

GetDllInterfaceFunction CDllSources::GetInterfaceFunction(const CString& name) {
  CSingleLock lock(&entryLock_);
  const Entry* entry = FindEntry(name);
  return entry ? entry->second.entryFunction : nullptr;
}

bool CDllSources::GetSourceInfo(const CString& name, std::uint32_t& priority, std::vector<CString>& locales) {
  CSingleLock lock(&entryLock_);
  const Entry* entry = FindEntry(name);
  if (!entry) return false;
  priority = entry->second.priority;
  locales = entry->second.locales;
  return true;
}

std::uint32_t CDllSources::GetUseCount(const CString& name) {
  CSingleLock lock(&entryLock_);
  const Entry* entry = FindEntry(name);
  return entry ? entry->second.useCount : 0;
}

std::size_t CDllSources::WaitingThreadCount() {
  CSingleLock lock(&queueLock_);
  return waiters_.size();
}

// The queue is changed only under the queue lock, and every decision to
// sleep is taken together with queueing under the entry lock. A release,
// which needs the entry lock, therefore always finds a thread that is about
// to sleep in the queue, and a wake-up is never lost between the check and
// the wait.
void CDllSources::QueueOrPassOn(Waiter& waiter) {
  CSingleLock lock(&queueLock_);
  auto self = std::find(waiters_.begin(), waiters_.end(), &waiter);
  if (self == waiters_.end()) {
    waiters_.push_back(&waiter);
    return;
  }
  // Woken, but the slot went to another thread: the wake-up may have been
  // meant for a plug-in that a later waiter wants, so pass it on.
  waiter.woken = false;
  for (auto next = std::next(self); next != waiters_.end(); ++next) {
    if (!(*next)->woken) {
      (*next)->woken = true;
      (*next)->event.SetEvent();
      break;
    }
  }
}

bool CDllSources::IsRefused(Waiter& waiter) {
  CSingleLock lock(&queueLock_);
  return waiter.refused;
}

void CDllSources::RemoveWaiter(Waiter& waiter) {
  CSingleLock lock(&queueLock_);
  waiters_.remove(&waiter);
}

template <class TryTake>
bool CDllSources::AcquireSlot(TryTake tryTake) {
  Waiter waiter;
  for (;;) {
    CSingleLock entryLock(&entryLock_);
    if (IsRefused(waiter)) {
      RemoveWaiter(waiter);
      return false;
    }
    const SlotOutcome outcome = tryTake();
    if (outcome != SlotOutcome::kFull) {
      // Leave the queue under the entry lock, so that no release wakes a
      // thread that no longer waits.
      RemoveWaiter(waiter);
      return outcome == SlotOutcome::kTaken;
    }
    QueueOrPassOn(waiter);
    entryLock.Unlock();
    if (!waiter.event.Wait()) {
      entryLock.Lock();
      RemoveWaiter(waiter);
      return false;
    }
  }
}

bool CDllSources::AcquireSource(const CString& name) {
  return AcquireSlot([&] {
    Entry* entry = FindEntry(name);
    if (!entry) return SlotOutcome::kRefused;
    if (entry->second.useCount >= MaxSourceUsers) return SlotOutcome::kFull;
    ++entry->second.useCount;
    return SlotOutcome::kTaken;
  });
}

bool CDllSources::AcquireLeastBusySource(CString& name, const std::list<std::wstring>& tried) {
  return AcquireSlot([&] {
    // Only names of loaded plug-ins count as tried: a name of no plug-in here
    // (another machine's source, a duplicate) must not hide an untried one.
    if (UntriedCount(tried) == 0) return SlotOutcome::kRefused;
    // An idle plug-in before a busy one; among equally busy ones, priority order.
    for (std::uint32_t level = 0; level < MaxSourceUsers; ++level) {
      for (Entry& entry : entries_) {
        if (entry.second.useCount > level) continue;
        const CString title = GetFileTitleOf(entry.second.path);
        if (Contains(tried, title.str())) continue;
        ++entry.second.useCount;
        name = title;
        return SlotOutcome::kTaken;
      }
    }
    return SlotOutcome::kFull;
  });
}

bool CDllSources::AcquireNextSource(CString& name, const std::list<std::wstring>& tried) {
  CSingleLock entryLock(&entryLock_);
  if (UntriedCount(tried) == 0) return false;
  // Entries do not change while searches run, so the walk survives the
  // lock being given up while AcquireSource waits.
  const std::uint64_t generation = generation_;
  for (const Entry& entry : entries_) {
    if (Contains(tried, GetFileTitleOf(entry.second.path).str())) continue;
    const CString candidate = entry.first;
    entryLock.Unlock();
    if (AcquireSource(candidate)) {
      name = candidate;
      return true;
    }
    entryLock.Lock();
    // Unloaded while this thread waited: the walk's entry is gone.
    if (generation_ != generation) return false;
  }
  return false;
}

std::size_t CDllSources::UntriedCount(const std::list<std::wstring>& tried) const {
  std::size_t untried = 0;
  for (const Entry& entry : entries_) {
    if (!Contains(tried, GetFileTitleOf(entry.second.path).str())) ++untried;
  }
  return untried;
}

void CDllSources::ReleaseSource(const CString& name) {
  CSingleLock entryLock(&entryLock_);
  Entry* entry = FindEntry(name);
  if (!entry) return;
  if (entry->second.useCount > 0) --entry->second.useCount;
  CSingleLock queueLock(&queueLock_);
  // Wake the first waiter that has no wake-up pending. Waking one that has
  // would merge two wake-ups into one and leave a free slot unclaimed.
  for (Waiter* waiter : waiters_) {
    if (!waiter->woken) {
      waiter->woken = true;
      waiter->event.SetEvent();
      break;
    }
  }
}
