// Holds the source plug-ins in use for its lifetime: while one of these
// lives, no update unloads a plug-in (the update's unloading waits for it).
//
// Hold one around every stretch of code that calls into a plug-in or keeps
// an interface pointer from the sources manager: acquiring a use slot, the
// search, releasing the slot. Nested holds on one thread are fine and never
// block. Do not wait for the update-finished event while holding one (see
// CSourcesUseLock); wait first, then hold.
#pragma once

#include "sources/DllSourcesManager.h"
#include "sources/SourcesUseLock.h"

class SourcesInUse {
 public:
  // The process-wide sources manager's plug-ins.
  SourcesInUse() : SourcesInUse(CDllSourcesManager::Instance()) {}
  explicit SourcesInUse(CDllSourcesManager& manager) : lock_(manager.UseLock()) { lock_.LockShared(); }
  ~SourcesInUse() { lock_.UnlockShared(); }
  SourcesInUse(const SourcesInUse&) = delete;
  SourcesInUse& operator=(const SourcesInUse&) = delete;

  // Whether the calling thread holds the process-wide manager's plug-ins in use.
  static bool HeldByThisThread() { return CDllSourcesManager::Instance().UseLock().HeldSharedByThisThread(); }

 private:
  CSourcesUseLock& lock_;
};
