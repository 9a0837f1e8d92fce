// The registry of the source plug-ins of one kind ("General" or "Lyrics").
//
// It loads the plug-in modules found in the kind's folder below the working
// directory (W/<kind>/<name>.so), keeps them ordered by the priority that
// Sources.xml gives them, and hands them out to searching threads, at most
// MaxSourceUsers at a time per plug-in. Threads that find no free use slot
// sleep on a private event in a first-in-first-out queue and are woken one
// at a time as slots are released.
//
// Loading and unloading happen while no search runs; acquiring and releasing
// may run concurrently on any threads. Every successful acquire must be
// matched by exactly one ReleaseSource of the same name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nimbrel/CString.h"
#include "nimbrel/SourcePlugin.h"
#include "platform/CriticalSection.h"
#include "platform/DynamicLibrary.h"
#include "sources/BasicTagsV1Adapter.h"

class CEvent;

// One loaded plug-in module.
struct SourceRecord {
  CString path;  // the module file that was loaded
  GetDllInterfaceFunction entryFunction = nullptr;
  platform::DynamicLibrary module;
  std::uint32_t useCount = 0;    // threads holding a use slot, 0 to MaxSourceUsers
  std::uint32_t priority = 100;  // smaller first
  std::vector<CString> locales;  // from Sources.xml, in file order
  std::uint32_t sdkLevel = nimbrel::kSdkLevel;  // the SDK level the module was built against
  // For a basic-tags module of an older SDK level: what serves it in today's
  // layout. Declared after the module, so destroyed before it is freed.
  std::unique_ptr<CBasicTagsV1Adapter> adapter;
};

class CDllSources {
 public:
  static constexpr std::uint32_t MaxSourceUsers = 4;
  // The plug-in module suffix, and the suffix of a module named with a trailing "D".
  static constexpr const wchar_t* kModuleSuffix = L".so";
  static constexpr const wchar_t* kDebugModuleSuffix = L"D.so";
  // The kind whose records changed between SDK levels.
  static constexpr const wchar_t* kGeneralKind = L"General";

  explicit CDllSources(const CString& kindName);
  // Frees every module, as UnloadSources.
  ~CDllSources();
  CDllSources(const CDllSources&) = delete;
  CDllSources& operator=(const CDllSources&) = delete;

  // Loads every plug-in module found (recursively) in folder/<kind>/, creating
  // that folder when missing. Failures are logged and skipped. Returns the
  // number of plug-ins loaded afterwards.
  std::size_t LoadSources(const CString& folder);
  // Loads folder/<kind>/<name>.so unless a plug-in of that name is loaded
  // already; true when it is loaded (now or before).
  bool LoadSource(const CString& name, const CString& folder);
  // Frees every module and forgets every plug-in. Interfaces obtained before
  // become invalid: call only while no search runs. A plug-in still in use
  // and a module still resident after it was freed are logged as errors;
  // threads waiting for a slot are woken and refused.
  void UnloadSources();

  bool IsSourceLoaded(const CString& name);
  std::size_t GetSourceCount();
  // Appends the names in priority order; returns the list's size afterwards.
  std::size_t GetSourceNames(std::list<std::wstring>& names);
  // The plug-in's entry function, or null when no such plug-in is loaded.
  GetDllInterfaceFunction GetInterfaceFunction(const CString& name);
  // The plug-in's interface object in today's layout (for a basic-tags module
  // of an older SDK level, its adapter), or null when no such plug-in is
  // loaded or it offers none.
  void* GetInterface(const CString& name);
  // The SDK level of the loaded plug-in, 0 when it is not loaded.
  std::uint32_t GetSdkLevel(const CString& name);
  // Priority and locales of a loaded plug-in; false when it is not loaded.
  bool GetSourceInfo(const CString& name, std::uint32_t& priority, std::vector<CString>& locales);

  // Takes a use slot of the named plug-in, waiting until one is free. False
  // when no such plug-in is loaded.
  bool AcquireSource(const CString& name);
  // Takes a slot of the least busy plug-in not named in `tried` (the smaller
  // priority among equally busy ones), waiting while every candidate is full.
  // False at once when `tried` names every loaded plug-in (names of no
  // loaded plug-in do not count).
  bool AcquireLeastBusySource(CString& name, const std::list<std::wstring>& tried);
  // Takes a slot of the first plug-in in priority order not named in `tried`,
  // waiting for that plug-in; false when every plug-in was tried.
  bool AcquireNextSource(CString& name, const std::list<std::wstring>& tried);
  // Gives a use slot back and wakes the first waiting thread.
  void ReleaseSource(const CString& name);

  // Threads currently queued for a use slot (for diagnostics and tests).
  std::size_t WaitingThreadCount();
  // Use slots currently held on the named plug-in; 0 when not loaded.
  std::uint32_t GetUseCount(const CString& name);

 private:
  friend class DllSourcesTestPeer;  // holds the entry lock to line up races deterministically
  // A thread waiting for a slot: its private auto-reset event, and whether a
  // wake-up was sent to it that it has not yet acted on.
  struct Waiter;
  using Entry = std::pair<CString, SourceRecord>;

  Entry* FindEntry(const CString& name);
  // With the entry lock held: the loaded plug-ins whose names `tried` lacks.
  std::size_t UntriedCount(const std::list<std::wstring>& tried) const;
  // Reads the SDK level of a new record's module and sets up its adapter when
  // it is older; false (logged once) when the module's level is unknown here.
  bool TakeSdkLevel(SourceRecord& record);
  // Fills priority and locales of a new record from the Sources.xml two
  // folder levels above the module; leaves the defaults on any failure.
  void ReadSourceInfo(const CString& name, SourceRecord& record);
  // With the entry lock held: puts `waiter` at the end of the queue, or, when
  // it is queued already (woken but the slot was taken again), passes its
  // wake-up on to the next waiter that has none.
  void QueueOrPassOn(Waiter& waiter);
  // Takes `waiter` out of the queue; it must not be queued when it dies.
  void RemoveWaiter(Waiter& waiter);
  // Whether an unload refused `waiter`.
  bool IsRefused(Waiter& waiter);

  enum class SlotOutcome { kTaken, kRefused, kFull };
  // Runs `tryTake` under the entry lock until it takes a slot or refuses,
  // sleeping in the waiter queue while it finds every candidate full.
  template <class TryTake>
  bool AcquireSlot(TryTake tryTake);

  const CString kindName_;
  std::list<Entry> entries_;  // ascending priority; a list keeps records in place
  std::uint64_t generation_ = 0;  // counts unloads, under the entry lock
  CCriticalSection entryLock_;
  CCriticalSection queueLock_;
  std::list<Waiter*> waiters_;
};
