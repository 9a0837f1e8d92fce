// The process-wide owner of the source plug-ins: the General and Lyrics
// registries and the updater. Everything else reaches plug-ins through it, by
// kind: 0 basic tags and covers, 1 lyrics, 2 both (where an operation says so).
//
// Searches call the dispatch operations concurrently; the registries lock
// themselves. An update first unloads every plug-in so that the updater may
// replace module files; after an asynchronous update the completion routine
// loads them again. Users of plug-ins hold the use lock shared (SourcesInUse)
// while they call into them; preparing an update frees the modules under the
// lock held exclusively, so it waits for those users to finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "nimbrel/CString.h"
#include "platform/CriticalSection.h"
#include "sources/DllSources.h"
#include "sources/SourcesUseLock.h"
#include "sources/Update.h"

class CBasicTagsDllInterface;
class CLyricsDllInterface;
struct NimbrelSettings;
namespace platform {
class Thread;
}

// Kind values as callers pass them.
enum SourceKind : std::int32_t {
  kSourceGeneral = 0,
  kSourceLyrics = 1,
  kSourceAll = 2,
};

// Called on the update's thread when an asynchronous update is over, with 1
// when it succeeded and 0 when it failed.
using UpdateCompletionRoutine = void (*)(std::uint32_t result);

class CDllSourcesManager {
 public:
  CDllSourcesManager();
  // Waits for update threads still running (their completion routines
  // included), then frees every module: Lyrics first, then General.
  ~CDllSourcesManager();
  CDllSourcesManager(const CDllSourcesManager&) = delete;
  CDllSourcesManager& operator=(const CDllSourcesManager&) = delete;

  // The process-wide instance.
  static CDllSourcesManager& Instance();

  // Plug-ins loaded of the kind; kind 2 the sum of both; 0 for other kinds.
  std::size_t GetSourceCount(std::int32_t kind);
  // Loads the kind's plug-ins from `folder` (kind 2: General, then Lyrics).
  // The kind's count afterwards; for kind 2 and unknown kinds (which load
  // nothing) the sum of both counts.
  std::size_t LoadSources(CString folder, std::int32_t kind);

  // These serve kinds 0 and 1 only; other kinds give false and change nothing.
  bool IsSourceLoaded(const CString& name, std::int32_t kind);
  bool LoadSource(const CString& name, std::int32_t kind, const CString& folder);
  bool AcquireSource(const CString& name, std::int32_t kind);
  bool AcquireLeastBusySource(CString& name, std::int32_t kind, const std::list<std::wstring>& tried);
  bool AcquireNextSource(CString& name, std::int32_t kind, const std::list<std::wstring>& tried);
  void ReleaseSource(const CString& name, std::int32_t kind);

  // Appends the names of the kind in priority order (kind 2: General names,
  // then Lyrics names; other kinds: nothing). The list's size afterwards.
  std::size_t GetSourceNames(std::int32_t kind, std::list<std::wstring>& names);

  // The named plug-in's interface, asked anew from its entry point on every
  // call; null when no such plug-in is loaded. Takes no use slot.
  CBasicTagsDllInterface* GetGeneralInterface(const CString& name);
  CLyricsDllInterface* GetLyricsInterface(const CString& name);

  // Unloads every plug-in (once every holder of the use lock has let go, see
  // SourcesInUse) and hands the settings' update address, working
  // directory and resolved proxy to the updater. Always true.
  bool PrepareUpdate(const NimbrelSettings& settings);
  // Prepares the update on the caller's thread, then runs it on a thread of
  // its own and returns at once. From the first call on, the module holding
  // the manager stays loaded until the process ends, so that unloading never
  // has to wait, under the loader's lock, for a routine that loads plug-ins. When the update is over, `completion` (may be
  // null) is called on that thread with its result. If no thread can be
  // started, the update is not run and `completion` is called at once with 0,
  // so that waiters for it are never left hanging.
  void UpdateSourcesAsync(const NimbrelSettings& settings, UpdateCompletionRoutine completion);
  // Prepares and runs the update on the caller's thread; its result. The
  // plug-ins stay unloaded afterwards.
  bool UpdateSourcesSync(const NimbrelSettings& settings);

  // Held shared by plug-in users, exclusively by the unloading of an update.
  CSourcesUseLock& UseLock() { return useLock_; }

  // The registry of kind 0 or 1 (null for other kinds), for diagnostics.
  CDllSources* Registry(std::int32_t kind);

 private:
  // Joins update threads that have ended.
  void ReapThreads();

  CDllSources general_{L"General"};
  CDllSources lyrics_{L"Lyrics"};
  CUpdate update_;
  CSourcesUseLock useLock_;
  CCriticalSection threadsLock_;
  std::list<std::unique_ptr<platform::Thread>> threads_;
};
