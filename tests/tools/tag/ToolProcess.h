// Runs nimbrel-tag as a child process, as a person or a script would.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tag_tool_test {

struct ToolRun {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args`. The environment is the test's, with each entry
// of `environment` set (an empty optional removes the variable). With
// `interruptAfterLines` set, SIGINT is sent once standard output has that
// many lines; with `interruptOnError` set, once standard error holds it.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::optional<std::string>>& environment,
                std::optional<int> interruptAfterLines = std::nullopt, const std::string& interruptOnError = "");

// The argument and environment lists for exec: `program` and `args`; the
// test's environment with each entry of `environment` set (an empty optional
// removes the variable).
class ChildCommand {
 public:
  ChildCommand(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::optional<std::string>>& environment);
  ChildCommand(const ChildCommand&) = delete;
  ChildCommand& operator=(const ChildCommand&) = delete;
  char* const* Argv() { return argv_.data(); }
  char* const* Envp() { return envp_.data(); }

 private:
  std::vector<std::string> args_, env_;
  std::vector<char*> argv_, envp_;
};

// A file's whole content ("" when it cannot be read).
std::string Bytes(const std::string& path);
// The album a file's tags hold, as Meridex reads it; "<unreadable>" when it cannot.
std::wstring Album(const std::string& path);
// `text` split at line feeds.
std::vector<std::string> Lines(const std::string& text);

}  // namespace tag_tool_test
