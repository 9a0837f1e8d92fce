// The search engine as a source plug-in sees it.
//
// For one search the library creates an engine, connects it to the plug-in's
// interface object (which calls the interface's Connect with the engine),
// sets its properties and runs the search. The engine is the plug-in's way
// back into the library: named properties and methods, the stop state, and
// for basic-tags engines the album details and cover download.
//
// The order of the virtual operations is part of the contract between the
// library and separately built plug-ins: never reorder or insert.
#pragma once

#include <cstdint>

#include "nimbrel/CString.h"

// Base of every engine for plug-ins of interface type T.
template <class T>
class CSourcesSearchEngine {
 public:
  virtual ~CSourcesSearchEngine() = default;

  // Named properties and methods; untyped values whose type each name fixes.
  // Non-zero means success.
  virtual std::int32_t SetProperty(const CString& name, void* value) = 0;
  virtual std::int32_t GetProperty(const CString& name, void* out) = 0;
  virtual std::int32_t CallMethod(const CString& name, void* args) = 0;
  // Asks the running search to end at its next checkpoint. Any thread.
  virtual void SetStop() = 0;
  // True once stopped or past the search's time limit. A plug-in should ask
  // between its web requests and give up early when it is true; it may also
  // ask while it waits, from the thread of the search. A plug-in that
  // remembers the engine per thread for that forgets it when the engine sets
  // the plug-in's property "SearchEnded" (a CString), which every engine does
  // as it goes, on the thread that connected it.
  virtual bool IsStopped() = 0;
  virtual std::int32_t GetActiveSearchCount() = 0;

  // Stores `iface` and lets it connect to this engine (T::Connect). Null
  // gives 0 and keeps the previous interface. The result is the interface's.
  virtual std::int32_t Connect(T* iface) {
    if (!iface) return 0;
    dllInterface = iface;
    // Every engine of plug-ins of type T derives from T::Engine.
    return iface->Connect(static_cast<typename T::Engine*>(this));
  }

 protected:
  // The plug-in's interface object; owned by the plug-in, never deleted here.
  T* dllInterface = nullptr;
};

// Adds the search time limit.
template <class T>
class ITagsSearchEngine : public CSourcesSearchEngine<T> {
 public:
  // True when the running search has exceeded its time limit; it then stops
  // the engine.
  virtual bool IsTimeOut() = 0;
};
