// nimbrel-catalogue: makes the offline catalogue the "catalogue" source reads.
//
//   nimbrel-catalogue [--catalogue FILE] import-musicbrainz JSONL
//
// FILE defaults to ./catalogue.sqlite. Exit status 0 when the import was
// written (even with bad lines skipped), 1 when nothing could be written,
// 2 for wrong usage.
#include <fstream>
#include <iostream>
#include <string>

#include "../CatalogueStore.h"
#include "MusicBrainzImport.h"

namespace {

int Usage() {
  std::cerr << "usage: nimbrel-catalogue [--catalogue FILE] import-musicbrainz JSONL\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file = "catalogue.sqlite";
  int at = 1;
  if (at + 1 < argc && std::string(argv[at]) == "--catalogue") {
    file = argv[at + 1];
    at += 2;
  }
  if (argc - at != 2) return Usage();
  const std::string command = argv[at], input = argv[at + 1];
  if (command != "import-musicbrainz") return Usage();
  std::ifstream lines(input, std::ios::binary);
  if (!lines) {
    std::cerr << "cannot read " << input << "\n";
    return 1;
  }
  catalogue::CatalogueStore store;
  if (!store.OpenForWriting(file)) {
    std::cerr << "cannot open " << file << " as a catalogue (missing folder, other version or not a catalogue)\n";
    return 1;
  }
  const auto counts = catalogue::ImportMusicBrainzLines(lines, store, std::cerr);
  if (!counts.written) {
    std::cerr << "cannot write " << file << ": nothing imported\n";
    return 1;
  }
  std::cout << "imported " << counts.imported << " releases, skipped " << counts.skipped << " lines; "
            << store.ReleaseCount() << " releases in " << file << "\n";
  return 0;
}
