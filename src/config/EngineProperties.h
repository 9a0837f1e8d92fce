// The properties that the core sets on every search engine before a search;
// through the engine they reach the source plug-ins.
#pragma once

#include <cstdint>
#include <functional>
#include <variant>
#include <vector>

#include "nimbrel/CString.h"
#include "nimbrel/NimbrelSettings.h"

class CNimbrelConfig;

// One named property value, kept alive while it is handed to an engine.
struct EngineProperty {
  CString name;
  // An opaque pointer, a string, a 32-bit float or a 32-bit integer.
  std::variant<void*, CString, float, std::int32_t> value;

  // What the engine's property setter receives: an opaque pointer as itself,
  // any other value as a pointer to it (valid while this object lives).
  const void* ValuePointer() const;
};

// Turns the host's proxy setting into the proxy text downloads use.
using ProxyResolver = std::function<CString(const CString& setting)>;

// The common properties, in the order they are set: "NimbrelObject",
// "LogFolder", "TraceLevel", "MaxMatchDifference", "HttpProxy", "HostIgnore"
// (only when not null), "LocalCacheFolder", "ParentLogfilePath", "TimeOut".
// `core` is the tagging object that starts the search; `resolveProxy` (must
// be callable) gives "HttpProxy"; `parentLogPath` is the master log's parent log.
std::vector<EngineProperty> CommonEngineProperties(const CNimbrelConfig& config, void* core,
                                                   const NimbrelOptions& options, const ProxyResolver& resolveProxy,
                                                   const CString& parentLogPath);

// The search time-out handed to engines, in milliseconds.
constexpr std::int32_t kEngineTimeOutMs = 150000;
