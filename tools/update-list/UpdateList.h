// The update list of a plug-in folder: what an update server publishes so that
// the library's updater installs and refreshes these plug-ins.
//
// The folder has the layout of the library's working directory: the modules
// of kind "General" in <folder>/General/, those of kind "Lyrics" in
// <folder>/Lyrics/, each named <source name>.so and stamped with its version
// (nimbrel/ModuleVersion.h). Serving that folder at a base address B, the
// list names each module's download address as B/<kind>/<name>.so, so the
// list may be served from the folder itself (<folder>/update.xml).
//
// Modules that the updater could not handle faithfully are refused rather
// than listed wrongly: a module without a version stamp (it would be
// replaced at every update), a name the registry reads as another file (a
// trailing "D" is taken for a debug build, every ".so" is stripped), a name
// with surrounding blanks (trimmed by the updater), a hidden or non-ASCII name.
//
// Packages share one plug-in folder: each lists only its own modules, with
// its own addresses and priorities, in a fragment of its own
// (<folder>/update.d/<package>.xml, in the list's format), and the folder's
// list is the merge of every fragment (AddList), so that installing or
// removing one package never changes what the others listed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "nimbrel/CString.h"

class CUpdateList {
 public:
  struct Module {
    CString kind;     // "General" or "Lyrics"
    CString name;     // source name: the file name without ".so"
    CString version;  // from the module's stamp, "1.2.0.7"
    CString url;      // download address; empty: below the base address given to GetXml
    std::optional<std::int32_t> priority;  // as listed; else from SetPriority
  };

  // Adds the modules found in the kind folders of `folder`, sorted by kind,
  // then by name; with `only` ("General/name.so" paths relative to the
  // folder), just those, each of which must be there. False, with Error()
  // set, at the first module refused or missing; the modules added before stay.
  bool AddFolder(const CString& folder, const std::vector<CString>& only = {});

  // Adds the modules of a list written by Write (a package's fragment) with
  // their addresses and priorities. False, with Error() set, when the file
  // cannot be read or parsed, when a module lacks a name, version or address,
  // or when an earlier list names the same module: two packages would own it.
  bool AddList(const CString& path);

  // Gives a source a priority in the list (smaller first; the registry takes
  // a missing or zero priority as 100).
  void SetPriority(const CString& name, std::int32_t priority);

  // The list as XML text for download addresses below `baseUrl` (http or
  // https, a trailing "/" optional; may be empty when every module carries
  // its own address). False, with Error() set, when the base address cannot
  // travel through the list unchanged.
  bool GetXml(const CString& baseUrl, CString& xml);

  // Writes GetXml's text to `path` in Windows-1252, the code page in which
  // the updater reads it.
  bool Write(const CString& path, const CString& baseUrl);

  const std::vector<Module>& Modules() const { return modules_; }
  const CString& Error() const { return error_; }

  // Whether the registry and the updater would take `name` as given.
  static bool IsListableName(const CString& name, CString& why);

 private:
  bool Fail(const CString& error);
  bool AddModule(const CString& file, const CString& kind);

  std::vector<Module> modules_;
  std::map<std::wstring, CString> listedBy_;  // "kind/name" -> the list that named it
  std::map<std::wstring, std::int32_t> priorities_;
  CString error_;
};
