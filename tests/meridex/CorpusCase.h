// One row of the corpus test: a media file made by other programs, what is
// done to it, and what an independent reader (mutagen) may then find changed.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "meridex/Tags.h"

namespace corpus {

struct CorpusCase {
  const char* name;
  // What corpus_tool.py makes ("mp3-v23", "flac", ...) and the file's name.
  const char* kind;
  const char* file;
  // Locale (LANG, with LC_ALL and LC_MESSAGES unset) while reading and
  // saving; null for "C".
  const char* language = nullptr;
  // Run on the made file before anything is read (for file-system rows: an
  // owner, extended attributes, a second link, ...). May fail the test.
  std::function<void(const std::string& path)> prepare;
  // Checks what Meridex read; may be empty.
  std::function<void(const Meridex::CTags& tags)> checkRead;
  // The one change of the second save.
  std::function<void(Meridex::CTags& tags)> change;
  // The keys of corpus_tool.py's dump the change may and must alter: a key
  // ending in "*" stands for every key it begins.
  std::vector<std::string> changedKeys;
  // Run after each save on the saved file; may be empty.
  std::function<void(const std::string& path)> checkSaved;
};

inline void PrintTo(const CorpusCase& row, std::ostream* out) { *out << row.name; }

// The rows about what the tags hold, and the rows about what the file
// system holds about a file (each in its own file).
const std::vector<CorpusCase>& TagContentCases();
const std::vector<CorpusCase>& FileSystemCases();

}  // namespace corpus
