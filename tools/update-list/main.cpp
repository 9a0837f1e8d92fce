// nimbrel-update-list: writes the update list of a plug-in folder, so that a
// web server serving that folder updates the library's plug-ins.
//
//   nimbrel-update-list --base-url URL [--output FILE] [--priority NAME=N]...
//                       [--module KIND/NAME.so]... FOLDER
// lists the modules of FOLDER (General/*.so and Lyrics/*.so; with --module,
// only those) in FILE (default FOLDER/update.xml) with the download
// addresses URL/<kind>/<name>.so.
//
//   nimbrel-update-list --merge [--output FILE] FOLDER
// writes FILE (default FOLDER/update.xml) from the fragments every package
// installed in FOLDER/update.d/*.xml, each module with its own address and
// priority.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "UpdateList.h"
#include "foundation/FileUtils.h"
#include "platform/TextCodec.h"

namespace {

constexpr const char* kUsage =
    "usage: nimbrel-update-list --base-url URL [--output FILE] [--priority NAME=N]...\n"
    "                           [--module KIND/NAME.so]... FOLDER\n"
    "       nimbrel-update-list --merge [--output FILE] FOLDER\n"
    "       nimbrel-update-list --help\n";

constexpr const char* kHelp =
    "Writes the update list of a plug-in folder (General/*.so, Lyrics/*.so), which\n"
    "the library's updater reads from a web server serving that folder.\n"
    "\n"
    "  --base-url URL        the address at which FOLDER is served; modules are\n"
    "                        listed as URL/<kind>/<name>.so\n"
    "  --output FILE         where the list goes (default FOLDER/update.xml)\n"
    "  --priority NAME=N     lists the source NAME with priority N (smaller first)\n"
    "  --module KIND/NAME.so lists only this module of FOLDER (repeatable): a\n"
    "                        package's own fragment\n"
    "  --merge               writes the list of the fragments in FOLDER/update.d/*.xml,\n"
    "                        each module keeping its own address and priority\n"
    "  --help                shows this text\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CUpdateList list;
  std::string baseUrl;
  std::string output;
  std::string folder;
  std::vector<CString> only;
  bool merge = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(kHelp, stdout);
      return 0;
    } else if (arg == "--merge") {
      merge = true;
    } else if ((arg == "--base-url" || arg == "--output" || arg == "--priority" || arg == "--module") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--base-url") {
        baseUrl = value;
      } else if (arg == "--output") {
        output = value;
      } else if (arg == "--module") {
        only.push_back(platform::FromUtf8(value));
      } else {
        const auto equals = value.rfind('=');
        char* end = nullptr;
        const long priority = equals == std::string::npos ? 0 : std::strtol(value.c_str() + equals + 1, &end, 10);
        if (equals == std::string::npos || equals == 0 || !end || *end || end == value.c_str() + equals + 1 ||
            priority < INT32_MIN || priority > INT32_MAX) {
          std::fprintf(stderr, "nimbrel-update-list: --priority wants NAME=N, got '%s'\n", value.c_str());
          return 2;
        }
        list.SetPriority(platform::FromUtf8(value.substr(0, equals)), static_cast<std::int32_t>(priority));
      }
    } else if (!arg.empty() && arg[0] != '-' && folder.empty()) {
      folder = arg;
    } else {
      return Usage();
    }
  }
  if (folder.empty() || merge == !baseUrl.empty() || (merge && !only.empty())) return Usage();
  if (output.empty()) output = folder + "/update.xml";

  bool listed = true;
  if (merge) {
    // In name order, so that the result never depends on the order of the folder.
    std::vector<CString> fragments;
    ListFiles(platform::FromUtf8(folder + "/update.d"), L"*.xml", fragments);
    std::sort(fragments.begin(), fragments.end(), [](const CString& a, const CString& b) { return a.str() < b.str(); });
    for (const CString& fragment : fragments) {
      if (!(listed = list.AddList(fragment))) break;
    }
  } else {
    listed = list.AddFolder(platform::FromUtf8(folder), only);
  }
  if (!listed || !list.Write(platform::FromUtf8(output), platform::FromUtf8(baseUrl))) {
    std::fprintf(stderr, "nimbrel-update-list: %s\n", platform::ToUtf8(list.Error().str()).c_str());
    return 1;
  }
  std::printf("nimbrel-update-list: %zu plug-in(s) listed in %s\n", list.Modules().size(), output.c_str());
  return 0;
}
