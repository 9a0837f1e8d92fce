// A tagging setting for in-process tests and benchmarks of the tagging
// object: catalogue plug-in modules installed into a scratch working
// directory under chosen file names and loaded into the process-wide sources
// manager, the configuration pointed at that directory and at a loopback
// tag-cache server (answering 404, "nothing known", unless a test says
// otherwise). Only one may exist at a time. Link nimbrel_core,
// nimbrel_test_support and nimbrel_test_plugins.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/NimbrelConfig.h"
#include "meridex/Tags.h"
#include "nimbrel/BasicTagsDllInterface.h"
#include "nimbrel/LyricsDllInterface.h"
#include "servercache/NimbrelServerCache.h"
#include "sources/DllSourcesManager.h"
#include "sources/PluginFolder.h"
#include "support/HttpTestServer.h"
#include "support/ScratchFolder.h"
#include "support/plugins/CatalogueControl.h"

namespace testing_support {

class TaggingWorld {
 public:
  // A basic-tags source named `name`, built from the module `module`
  // ("Catalogue", "CatalogueB", "CatalogueC"), or a lyrics source.
  struct Source {
    std::wstring name;
    std::wstring module = L"Catalogue";
    bool lyrics = false;
  };

  // `serverCache` false: no tag-cache host at all.
  explicit TaggingWorld(const std::vector<Source>& sources, bool serverCache = true) : sources_(sources) {
    server_.Handle("/lookup.php", [](const RecordedRequest&) { return NotFound(); });
    server_.Handle("/fill.php", [](const RecordedRequest&) { return NotFound(); });
    server_.Handle("/fail.php", [](const RecordedRequest&) { return NotFound(); });
    for (const Source& s : sources_) plugins_.Install(s.lyrics ? L"Lyrics" : L"General", s.module, s.name + L".so");
    NimbrelSettings settings;
    settings.WorkingDirectory = CString(plugins_.path());
    settings.LogFolder = CString(logs_.path());
    settings.TraceLevel = L"Verbose";
    const std::string host = server_.HostPort();
    if (serverCache) settings.TagCacheHost = CString(std::wstring(host.begin(), host.end()));
    CNimbrelConfig::Instance().SetMainSettings(settings);
    CDllSourcesManager::Instance().LoadSources(CString(plugins_.path()), kSourceAll);
  }
  ~TaggingWorld() {
    // The tag-cache client's workers (feedback from the searches) end here,
    // not at exit: a thread ended at exit leaves its TLS-held memory behind.
    // A worker that has let go of its job may still be on its way out:
    // joining every one waits for that.
    CNimbrelServerCache::Instance().Stop();
    CNimbrelServerCache::Instance().WaitUntilNoWorkers();
    while (CNimbrelServerCache::Instance().ReapHandles() != 0) std::this_thread::yield();
    CDllSourcesManager::Instance().Registry(kSourceGeneral)->UnloadSources();
    CDllSourcesManager::Instance().Registry(kSourceLyrics)->UnloadSources();
  }
  TaggingWorld(const TaggingWorld&) = delete;
  TaggingWorld& operator=(const TaggingWorld&) = delete;

  // Writes the catalogue data (CatalogueControl.h) of source `name` and has
  // it read; false when the source is not loaded or refused the file.
  bool Load(const std::wstring& name, const std::string& data) {
    const std::wstring path = data_.path() + name + L".txt";
    WriteFileBytes(path, data);
    CString file(path);
    void* plugin = Plugin(name);
    if (!plugin) return false;
    return IsLyrics(name) ? static_cast<CLyricsDllInterface*>(plugin)->SetProperty(catalogue::kDataFile, &file) == 1
                          : static_cast<CBasicTagsDllInterface*>(plugin)->SetProperty(catalogue::kDataFile, &file) == 1;
  }
  // How often source `name` had slot `slot` called since its last Load.
  std::int32_t Calls(const std::wstring& name, const std::wstring& slot) {
    std::int32_t count = -1;
    void* plugin = Plugin(name);
    const CString property(catalogue::kCallsPrefix + slot);
    if (plugin && IsLyrics(name)) static_cast<CLyricsDllInterface*>(plugin)->GetProperty(property, &count);
    if (plugin && !IsLyrics(name)) static_cast<CBasicTagsDllInterface*>(plugin)->GetProperty(property, &count);
    return count;
  }

  HttpTestServer& server() { return server_; }
  const std::wstring& folder() const { return data_.path(); }

  // An in-memory song.
  static Meridex::CTags Song(const std::wstring& artist, const std::wstring& title) {
    Meridex::CTags tags;
    tags.AddArtist(CString(artist), false);
    tags.SetTitle(CString(title));
    return tags;
  }
  // A name unlike every other one: the local tags cache finds artists and
  // titles by nearest key and lives as long as the process, and the cover
  // cache outlives it, so tests that must not see each other's answers use
  // names of their own.
  static std::string UniqueName() {
    static std::mutex lock;
    static std::mt19937 random(std::random_device{}());
    std::lock_guard<std::mutex> hold(lock);
    std::string name;
    for (int i = 0; i < 24; ++i) name += static_cast<char>('a' + random() % 26);
    return name;
  }
  static HttpResponse NotFound() {
    HttpResponse response;
    response.status = 404;
    response.reason = "Not Found";
    return response;
  }

 private:
  bool IsLyrics(const std::wstring& name) const {
    for (const Source& s : sources_) {
      if (s.name == name) return s.lyrics;
    }
    return false;
  }
  void* Plugin(const std::wstring& name) {
    CDllSourcesManager& manager = CDllSourcesManager::Instance();
    if (IsLyrics(name)) return manager.GetLyricsInterface(CString(name));
    return manager.GetGeneralInterface(CString(name));
  }

  std::vector<Source> sources_;
  HttpTestServer server_;
  PluginFolder plugins_;
  ScratchFolder logs_;
  ScratchFolder data_;
};

}  // namespace testing_support
