// A basic-tags plug-in that knows nothing and reports its loading: it appends
// "loaded" when its module is loaded and "unloaded" when it goes, to the file
// named by $NIMBREL_PROBE_FILE, so the host sees whether the library loaded
// it and really let it go.
#include <cstdio>
#include <cstdlib>

#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(3, 1, 4, 1);

namespace {

void Report(const char* event) {
  const char* path = std::getenv("NIMBREL_PROBE_FILE");
  if (!path) return;
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", event);
    std::fclose(file);
  }
}

struct LoadReport {
  LoadReport() { Report("loaded"); }
  ~LoadReport() { Report("unloaded"); }
} loadReport;

class ProbePlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString&, void* value) override { return value ? 1 : 0; }
  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out || (name != L"SourceName" && name != L"SourceId")) return 0;
    *static_cast<CString*>(out) = L"InstallProbe";
    return 1;
  }
  std::int32_t CallMethod(const CString&, void*) override { return 0; }
  std::int32_t FindAlbumsByArtist(const CString*, std::list<Nimbrel::AlbumResult>&) override { return 0; }
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo*, Nimbrel::CoverInfo*, std::list<Nimbrel::TrackInfo>*) override {
    return 0;
  }
  std::int32_t Connect(IBasicTagsSearchEngine* engine) override { return engine ? 1 : 0; }
  std::int32_t FindAlbums(const CString*, const CString*, std::list<Nimbrel::AlbumResult>&, bool) override { return 0; }
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static ProbePlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
}
