// nimbrel-catalogue: makes the offline catalogue the "catalogue" source reads.
//
//   nimbrel-catalogue [--catalogue FILE] import-musicbrainz JSONL
//   nimbrel-catalogue [--catalogue FILE] import-tags FOLDER
//
// FILE defaults to $XDG_DATA_HOME/nimbrel/catalogue.sqlite (without
// XDG_DATA_HOME ~/.local/share/nimbrel/catalogue.sqlite; its folder is made),
// where the "catalogue" source looks when no catalogue is configured. Exit status 0 when the import was
// written (even with bad lines or files skipped), 1 when nothing could be written,
// 2 for wrong usage. --help prints the usage.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "../../common/PluginSettings.h"
#include "../CatalogueStore.h"
#include "MusicBrainzImport.h"
#include "TagsImport.h"

namespace {

constexpr const char* kUsage =
    "usage: nimbrel-catalogue [--catalogue FILE] import-musicbrainz JSONL\n"
    "       nimbrel-catalogue [--catalogue FILE] import-tags FOLDER\n"
    "       nimbrel-catalogue --help\n"
    "FILE defaults to $XDG_DATA_HOME/nimbrel/catalogue.sqlite (~/.local/share/nimbrel/...)\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

// The catalogue the source reads when none is configured; its folder is made.
std::string DefaultCatalogue() {
  const std::string dataHome = plugin_settings::DataHome();
  if (dataHome.empty()) return "catalogue.sqlite";
  const std::filesystem::path folder = std::filesystem::path(dataHome) / "nimbrel";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return (folder / "catalogue.sqlite").string();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  std::string file;
  int at = 1;
  if (at + 1 < argc && std::string(argv[at]) == "--catalogue") {
    file = argv[at + 1];
    at += 2;
  }
  if (argc - at != 2) return Usage();
  if (file.empty()) file = DefaultCatalogue();
  const std::string command = argv[at], input = argv[at + 1];
  if (command != "import-musicbrainz" && command != "import-tags") return Usage();
  std::error_code error;
  std::ifstream lines;
  if (command == "import-musicbrainz") {
    lines.open(input, std::ios::binary);
    if (!lines) {
      std::cerr << "cannot read " << input << "\n";
      return 1;
    }
  } else if (!std::filesystem::is_directory(input, error)) {
    std::cerr << input << " is not a folder\n";
    return 1;
  }
  catalogue::CatalogueStore store;
  if (!store.OpenForWriting(file)) {
    std::cerr << "cannot open " << file << " as a catalogue (missing folder, other version or not a catalogue)\n";
    return 1;
  }
  bool written = false;
  if (command == "import-musicbrainz") {
    const auto counts = catalogue::ImportMusicBrainzLines(lines, store, std::cerr);
    written = counts.written;
    if (written) std::cout << "imported " << counts.imported << " releases, skipped " << counts.skipped << " lines; ";
  } else {
    const auto counts = catalogue::ImportTaggedFolder(input, store, std::cerr);
    written = counts.written;
    if (written) {
      std::cout << "read " << counts.files << " media files (" << counts.incomplete << " without artist, album or title), "
                << "imported " << counts.releases << " releases; ";
    }
  }
  if (!written) {
    std::cerr << "cannot write " << file << ": nothing imported\n";
    return 1;
  }
  std::cout << store.ReleaseCount() << " releases in " << file << "\n";
  return 0;
}
