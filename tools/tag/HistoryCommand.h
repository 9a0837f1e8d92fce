// `nimbrel-tag history` and `nimbrel-tag undo`: what the runs wrote, and
// taking it back.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nimbrel_tag {

class HistoryCommand {
 public:
  // True when `args` (without the program name) start with one of these commands.
  static bool Handles(const std::vector<std::string>& args);
  // Runs the command; the exit status (0 done, 1 some files not restored,
  // 2 usage error). Per-file lines go to `out`, problems and the summary to `err`.
  static int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
};

}  // namespace nimbrel_tag
