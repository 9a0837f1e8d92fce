// A host built against the installed nimbrel only. It sets the library up
// with a working directory holding the probe plug-in and no update address,
// so the update fails at once without any network and the library loads the
// plug-ins on disk; the synchronous update then waits for that and unloads
// them again. It checks that libnimbrel and libmeridex came from the staged
// installation and uses a Meridex tag set across the library boundary.
//
// Usage: install_host STAGE_PREFIX WORKING_DIR LOG_DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "meridex/Tags.h"
#include "nimbrel/Nimbrel.h"

namespace {

// The arguments are ASCII paths chosen by the test script.
std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Every mapped file whose name contains `library`; false when one lies
// outside `prefix` or none is mapped.
bool MappedOnlyFrom(const std::string& library, const std::string& prefix) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  bool found = false;
  while (std::getline(maps, line)) {
    const auto path = line.find('/');
    if (path == std::string::npos || line.find(library, path) == std::string::npos) continue;
    const std::string file = line.substr(path);
    if (file.rfind(prefix, 0) != 0) {
      std::fprintf(stderr, "host: %s mapped from %s, outside %s\n", library.c_str(), file.c_str(), prefix.c_str());
      return false;
    }
    found = true;
  }
  if (!found) std::fprintf(stderr, "host: %s is not mapped\n", library.c_str());
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: install_host STAGE_PREFIX WORKING_DIR LOG_DIR\n");
    return 2;
  }
  const std::string stage = std::string(argv[1]) + "/";
  if (!MappedOnlyFrom("/libnimbrel.so", stage) || !MappedOnlyFrom("/libmeridex.so", stage)) return 1;

  NimbrelSettings settings;
  settings.WorkingDirectory = Wide(argv[2]);
  settings.LogFolder = Wide(argv[3]);
  settings.TraceLevel = L"Info";
  settings.TagCacheHost = L"";  // no tag-cache server
  InitialiseNimbrel(settings);
  if (NimbrelSourcesUpdateSync(settings)) {
    std::fprintf(stderr, "host: an update without an address reported success\n");
    return 1;
  }

  Meridex::CTags tags;
  tags.SetTitle(L"Jóga");
  CString title;
  if (!tags.AddArtist(L"Björk", false) || !tags.GetTitle(title) || title != L"Jóga") {
    std::fprintf(stderr, "host: the Meridex tag set lost its values\n");
    return 1;
  }
  std::printf("host: ran against %s\n", stage.c_str());
  return 0;
}
