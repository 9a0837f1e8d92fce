// A scratch working directory with test plug-in modules copied into its kind
// folders, and its Sources.xml.
#pragma once

#include <string>

#include "platform/FileSystem.h"
#include "support/ScratchFolder.h"

namespace testing_support {

class PluginFolder {
 public:
  // The working directory, ending with "/".
  const std::wstring& path() const { return folder_.path(); }

  // Copies the built test module `module` ("Alpha") to <kind>/<fileName>,
  // creating the kind folder (and any subfolder named in fileName).
  void Install(const std::wstring& kind, const std::wstring& module, const std::wstring& fileName) const {
    std::wstring target = path() + kind + L"/" + fileName;
    for (std::size_t slash = path().size(); (slash = target.find(L'/', slash + 1)) != std::wstring::npos;) {
      platform::CreateDirectory(target.substr(0, slash));
    }
    const std::wstring source = ModulePath(module);
    if (!platform::CopyFile(source, target, false)) ADD_FAILURE() << "cannot install " << std::string(source.begin(), source.end());
  }
  void Install(const std::wstring& kind, const std::wstring& module) const { Install(kind, module, module + L".so"); }

  void WriteSourcesXml(const std::string& bytes) const { WriteFileBytes(path() + L"Sources.xml", bytes); }

  static std::wstring ModulePath(const std::wstring& module) {
    const std::string folder = NIMBREL_TEST_PLUGIN_DIR;
    // Appended in place: with _FORTIFY_SOURCE, g++ 12 follows the moved
    // temporary of `wstring(...) + module` into the branch for a string held
    // in its short buffer and warns that the copy is too big for it. That
    // branch never runs with this length (a false positive; later libstdc++
    // tells the compiler that a short string always fits its buffer).
    std::wstring path(folder.begin(), folder.end());
    path += module;
    path += L".so";
    return path;
  }

 private:
  ScratchFolder folder_;
};

}  // namespace testing_support
