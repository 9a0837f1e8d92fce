// nimbrel-update-list: writes the update list of a plug-in folder, so that a
// web server serving that folder updates the library's plug-ins.
//
// Usage: nimbrel-update-list --base-url URL [--output FILE]
//                            [--priority NAME=N]... FOLDER
// FOLDER holds General/*.so and Lyrics/*.so; the list goes to FILE (default
// FOLDER/update.xml) with the download addresses URL/<kind>/<name>.so.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "UpdateList.h"
#include "platform/TextCodec.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: nimbrel-update-list --base-url URL [--output FILE] [--priority NAME=N]... FOLDER\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CUpdateList list;
  std::string baseUrl;
  std::string output;
  std::string folder;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--base-url" || arg == "--output" || arg == "--priority") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--base-url") {
        baseUrl = value;
      } else if (arg == "--output") {
        output = value;
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
  if (folder.empty() || baseUrl.empty()) return Usage();
  if (output.empty()) output = folder + "/update.xml";

  if (!list.AddFolder(platform::FromUtf8(folder)) || !list.Write(platform::FromUtf8(output), platform::FromUtf8(baseUrl))) {
    std::fprintf(stderr, "nimbrel-update-list: %s\n", platform::ToUtf8(list.Error().str()).c_str());
    return 1;
  }
  std::printf("nimbrel-update-list: %zu plug-in(s) listed in %s\n", list.Modules().size(), output.c_str());
  return 0;
}
