// A web source plug-in module loaded for a test through the real registry:
// copied from the built plug-ins into the kind folder of a scratch working
// directory and loaded by CDllSources; settings as the plug-in documents them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "sources/DllSources.h"
#include "support/ScratchFolder.h"

namespace testing_support {

// The settings of whoever runs the tests must not reach the plug-ins: before
// any test (and any thread) starts, every NIMBREL_ variable goes and the
// settings file and the data folder name folders that do not exist. A test
// may set them for its own scope.
inline const bool kUserPluginSettingsHidden = [] {
  std::vector<std::string> names;
  for (char** variable = environ; *variable; ++variable) {
    const std::string entry = *variable;
    if (entry.rfind("NIMBREL_", 0) == 0) names.push_back(entry.substr(0, entry.find('=')));
  }
  for (const auto& name : names) ::unsetenv(name.c_str());
  ::setenv("NIMBREL_PLUGINS_CONF", "/nonexistent/nimbrel-tests/plugins.conf", 1);
  ::setenv("XDG_CONFIG_HOME", "/nonexistent/nimbrel-tests/config", 1);
  ::setenv("XDG_DATA_HOME", "/nonexistent/nimbrel-tests/data", 1);
  return true;
}();

template <class Interface>
class WebPluginSource {
 public:
  // `module` is "musicbrainz" or "amazon" (kind "General") or "lrclib" (kind "Lyrics").
  explicit WebPluginSource(const std::wstring& module)
      : kind_(module == L"lrclib" ? L"Lyrics" : L"General"), sources_(CString(kind_)) {
    platform::CreateDirectory(folder_.path() + kind_);
    const std::string built = NIMBREL_PLUGIN_DIR "/";
    const std::wstring from = std::wstring(built.begin(), built.end()) + kind_ + L"/" + module + L".so";
    EXPECT_TRUE(platform::CopyFile(from, folder_.path() + kind_ + L"/" + module + L".so", false));
    EXPECT_EQ(sources_.LoadSources(folder_.path().c_str()), 1u);
    GetDllInterfaceFunction entry = sources_.GetInterfaceFunction(CString(module));
    plugin_ = entry ? static_cast<Interface*>(entry()) : nullptr;
    EXPECT_NE(plugin_, nullptr);
  }

  Interface* plugin() const { return plugin_; }
  // The working directory, ending with "/".
  const std::wstring& folder() const { return folder_.path(); }

  std::int32_t Set(const wchar_t* name, const std::string& text) {
    CString value(std::wstring(text.begin(), text.end()));
    return plugin_->SetProperty(CString(name), &value);
  }
  std::int32_t Set(const wchar_t* name, std::int32_t number) { return plugin_->SetProperty(CString(name), &number); }
  std::int32_t Integer(const wchar_t* name) {
    std::int32_t value = -1;
    plugin_->GetProperty(CString(name), &value);
    return value;
  }

 private:
  ScratchFolder folder_;
  std::wstring kind_;
  CDllSources sources_;
  Interface* plugin_ = nullptr;
};

}  // namespace testing_support
