// The source plug-ins as a search sees them: the distinct names of the
// sources of one kind loaded now, and a use slot held for one search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "nimbrel/CString.h"
#include "sources/DllSourcesManager.h"
#include "sources/SourcesInUse.h"

// The distinct names of the loaded sources of `kind`.
inline std::set<std::wstring> LoadedSourceNames(std::int32_t kind) {
  std::list<std::wstring> names;
  CDllSourcesManager::Instance().GetSourceNames(kind, names);
  return std::set<std::wstring>(names.begin(), names.end());
}

// How many names of `names` belong to `loaded`.
inline std::size_t CountLoaded(const std::set<std::wstring>& names, const std::set<std::wstring>& loaded) {
  std::size_t count = 0;
  for (const std::wstring& name : names) count += loaded.count(name);
  return count;
}

// A use slot of one source, given back when the holder goes (also when a
// search throws). Either takes the slot itself (waiting while the source is
// full; not held when no such source is loaded) or adopts one already taken
// (then the caller held SourcesInUse while taking it). The plug-ins stay
// loaded while it lives.
class SourceUse {
 public:
  SourceUse(std::int32_t kind, const std::wstring& name, bool adopt = false)
      : kind_(kind), name_(name), held_(adopt || CDllSourcesManager::Instance().AcquireSource(name_, kind)) {}
  ~SourceUse() {
    if (held_) CDllSourcesManager::Instance().ReleaseSource(name_, kind_);
  }
  SourceUse(const SourceUse&) = delete;
  SourceUse& operator=(const SourceUse&) = delete;

  bool Held() const { return held_; }

 private:
  SourcesInUse inUse_;
  std::int32_t kind_;
  CString name_;
  bool held_;
};
