// The plug-in updater: keeps the plug-in modules below the working directory
// in step with the list of available plug-ins that an update server publishes.
//
// One update downloads the list, compares it with the modules on disk by name,
// kind and file version, deletes what is outdated or no longer listed,
// downloads what is missing, and rewrites Sources.xml for the registries.
// The caller unloads every plug-in first, so that module files can be
// replaced. Updates of the whole process run one after the other.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Version.h"
#include "nimbrel/CString.h"
#include "platform/CriticalSection.h"

class XmlNode;

// One plug-in: as listed by the update server, or as found on disk.
struct SourceInfo {
  CString kind;      // kind element it was listed under / kind folder it was found in
  CString name;      // listed name / module file title
  CString location;  // download address / full path of the module
  CVersion version;  // listed version / the module's stamped version (empty when none)
  std::vector<CString> locales;  // listed locales, empty for modules on disk
  std::int32_t priority = 0;     // listed priority, 0 when none or on disk
};

class CUpdate {
 public:
  CUpdate();

  // Stores the update address, working directory and resolved proxy (empty:
  // direct). A non-empty directory gets a trailing separator and is created
  // with its General, Lyrics and ArtistInfo folders; failures are not reported.
  // Waits for an update that is running, so that it never sees its
  // parameters change.
  void SetParameters(const CString& updateUrl, const CString& workingDirectory, const CString& proxy);

  // Runs one update under the process-wide update lock. True when a new
  // Sources.xml was written. On any failure before the list is known, the
  // modules on disk and Sources.xml stay as they were.
  bool Update();

  // Address and directory set, and the internet reachable through the proxy.
  bool ReadyToUpdate();
  // Downloads and parses the update list, appending its General and Lyrics
  // entries. The number of entries in `sources`, or -1 when the list cannot be
  // downloaded or is not XML.
  int GetAvailableSources(std::vector<SourceInfo>& sources);
  // Appends the usable DLL entries listed under the root's first element
  // named `kind`. Entries whose name could leave the kind folder (a path
  // separator, a leading ".", a control character, or empty) are refused
  // and logged.
  void ParseAvailableSources(const XmlNode& document, const CString& kind, std::vector<SourceInfo>& sources);
  // Appends the modules found in the General and Lyrics folders (nothing
  // without a working directory).
  void GetInstalledSources(std::vector<SourceInfo>& sources);
  // Deletes installed modules that are outdated or no longer listed, and
  // downloads listed ones that are missing; entries whose download failed are
  // removed from `available`.
  void DoUpdateSources(std::vector<SourceInfo>& available, std::vector<SourceInfo>& installed);
  // Downloads one listed plug-in into its kind folder. False when the
  // download fails (nothing is left at the destination), and when the kind or
  // the name is not a safe module name (nothing is touched).
  bool DownloadSource(const SourceInfo& source);
  // Writes Sources.xml for `available`: 1 when written, 0 when the file
  // cannot be opened or not all of it could be written.
  int CreateNewXml(const std::vector<SourceInfo>& available);

  // Whether `name` may name a file directly inside a kind folder: not empty,
  // no path separator ("/" or "\\"), no leading "." (which also rules out
  // "." and ".."), no control character.
  static bool IsSafeModuleName(const CString& name);

  // The process-wide lock that serialises updates: Update and SetParameters
  // hold it, and it is never destroyed.
  static CCriticalSection& UpdateLock();

  const CString& GetWorkingDirectory() const { return workingDirectory_; }

 private:
  const CString kindNames_[3];
  CString updateUrl_;
  CString workingDirectory_;
  CString proxy_;
};
