// A catalogue plug-in module loaded for a test through the real registry:
// installed into a scratch working directory, loaded by CDllSources, its data
// file written by the test. Link nimbrel_sources and nimbrel_test_plugins.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/File.h"
#include "sources/DllSources.h"
#include "sources/PluginFolder.h"
#include "support/plugins/CatalogueControl.h"

namespace testing_support {

template <class Interface>
class CatalogueSource {
 public:
  // `module` is "Catalogue" (basic tags, kind "General") or "LyricsCatalogue" (kind "Lyrics").
  explicit CatalogueSource(const std::wstring& module)
      : kind_(module == L"Catalogue" ? L"General" : L"Lyrics"), sources_(CString(kind_)) {
    folder_.Install(kind_, module);
    EXPECT_EQ(sources_.LoadSources(folder_.path().c_str()), 1u);
    GetDllInterfaceFunction entry = sources_.GetInterfaceFunction(CString(module));
    plugin_ = entry ? static_cast<Interface*>(entry()) : nullptr;
    EXPECT_NE(plugin_, nullptr);
  }

  // Writes the catalogue's data file (see CatalogueControl.h) and has the plug-in read it.
  void Load(const std::string& data) {
    CString path(folder_.path() + L"catalogue.txt");
    WriteFileBytes(path.str(), data);
    ASSERT_EQ(plugin_->SetProperty(CString(catalogue::kDataFile), &path), 1);
  }
  // How often the slot was called since the last Load.
  std::int32_t Calls(const std::wstring& slot) {
    std::int32_t count = -1;
    plugin_->GetProperty(CString(catalogue::kCallsPrefix + slot), &count);
    return count;
  }
  void SetStallHook(catalogue::StallHook* hook) { plugin_->SetProperty(CString(catalogue::kStallHook), hook); }

  Interface* plugin() const { return plugin_; }

 private:
  std::wstring kind_;
  PluginFolder folder_;
  CDllSources sources_;
  Interface* plugin_ = nullptr;
};

}  // namespace testing_support
