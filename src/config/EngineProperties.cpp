#include "config/EngineProperties.h"

#include "config/NimbrelConfig.h"
#include "foundation/FolderHelpers.h"

const void* EngineProperty::ValuePointer() const {
  if (const auto* pointer = std::get_if<void*>(&value)) return *pointer;
  return std::visit([](const auto& v) -> const void* { return &v; }, value);
}

std::vector<EngineProperty> CommonEngineProperties(const CNimbrelConfig& config, void* core,
                                                   const NimbrelOptions& options, const ProxyResolver& resolveProxy,
                                                   const CString& parentLogPath) {
  std::vector<EngineProperty> properties;
  properties.reserve(9);
  properties.push_back({L"NimbrelObject", core});
  properties.push_back({L"LogFolder", config.LogFolder});
  properties.push_back({L"TraceLevel", config.TraceLevel});
  properties.push_back({L"MaxMatchDifference", static_cast<float>(options.MaxMatchDifference)});
  properties.push_back({L"HttpProxy", resolveProxy(config.HttpProxy)});
  if (config.HostIgnore) properties.push_back({L"HostIgnore", config.HostIgnore});
  properties.push_back({L"LocalCacheFolder", PrepareTempFolder()});  // empty when refused
  properties.push_back({L"ParentLogfilePath", parentLogPath});
  properties.push_back({L"TimeOut", kEngineTimeOutMs});
  return properties;
}
