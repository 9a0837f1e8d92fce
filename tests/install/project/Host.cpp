// A host built against the installed nimbrel only. It sets the library up
// with a working directory holding the probe plug-in and no update address,
// so the update fails at once without any network and the library loads the
// plug-ins on disk; the synchronous update then waits for that and unloads
// them again. It checks that libnimbrel and libmeridex came from the staged
// installation and uses a Meridex tag set across the library boundary.
// With NIMBREL_EXPECT_MODULES (a comma-separated list of module file names)
// it also checks that the library loaded each of them from WORKING_DIR
// before the synchronous update unloads them.
//
// Usage: install_host STAGE_PREFIX WORKING_DIR LOG_DIR
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <fstream>
#include <iterator>
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

// True when every module of `list` ("a.so,b.so") is mapped from below
// `folder`. The library loads plug-ins on the update's own thread once the
// update ended, and offers the host no event for it: this looks for up to
// 30 seconds.
bool ModulesLoaded(const std::string& list, const std::string& folder) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::ifstream maps("/proc/self/maps");
    const std::string mapped((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
    std::istringstream names(list);
    std::string missing;
    for (std::string name; std::getline(names, name, ',');) {
      if (mapped.find(folder + name) == std::string::npos && mapped.find(folder + "/" + name) == std::string::npos) {
        missing += " " + name;
      }
    }
    if (missing.empty()) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "host: not loaded from %s:%s\n", folder.c_str(), missing.c_str());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
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
  if (const char* expected = std::getenv("NIMBREL_EXPECT_MODULES")) {
    if (!ModulesLoaded(expected, argv[2])) return 1;
  }
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
