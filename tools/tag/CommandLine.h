// nimbrel-tag's options: the configuration file first, the command line over it.
#pragma once

#include <string>
#include <vector>

#include "TagOptions.h"

namespace nimbrel_tag {

enum class ParseResult { kRun, kHelp, kVersion, kUsageError };

class CommandLine {
 public:
  // Reads the options. The configuration file is `--config FILE` when given,
  // else "nimbrel-tag.conf" in the user's configuration folder when it
  // exists; `--no-config` skips it. Its lines are "name = value" with the
  // long option names ("policy = 1", "lyrics = no"); "#" first on a line or
  // after a blank starts a comment. A file that another user could have
  // written is refused (kUsageError): its settings choose which plug-ins are
  // loaded. `error` says what is wrong for kUsageError; `notes` collects what
  // a person should know.
  static ParseResult Parse(int argc, char** argv, TagOptions& options, std::string& error,
                           std::vector<std::string>& notes);

  static std::string HelpText();
};

}  // namespace nimbrel_tag
