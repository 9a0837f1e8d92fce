// `nimbrel-tag apply FILE`: writes a saved plan.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nimbrel_tag {

// Writes each file of the plan exactly as planned, when the file is still
// the one the plan was made from (same device and inode, size, modification
// time and content); every other file is named with what changed and left
// alone. Returns the exit status: 0 every file written, 1 some were not,
// 2 a usage error or a plan that cannot be read.
class PlanApply {
 public:
  static int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
  static const char* HelpText();
};

}  // namespace nimbrel_tag
