#include "ToolProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "meridex/FileName.h"
#include "meridex/Tags.h"

extern char** environ;

namespace tag_tool_test {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring Album(const std::string& path) {
  Meridex::CTags tags;
  CString value;
  if (!tags.ReadFile(Meridex::FileNameFromNative(path))) return L"<unreadable>";
  return tags.GetAlbum(value) ? value.str() : std::wstring();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ChildCommand::ChildCommand(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::optional<std::string>>& environment) {
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (!environment.count(text.substr(0, text.find('=')))) env_.push_back(text);
  }
  for (const auto& [name, value] : environment)
    if (value) env_.push_back(name + "=" + *value);
  args_.push_back(program);
  args_.insert(args_.end(), args.begin(), args.end());
  for (std::string& entry : env_) envp_.push_back(entry.data());
  envp_.push_back(nullptr);
  for (std::string& arg : args_) argv_.push_back(arg.data());
  argv_.push_back(nullptr);
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                const std::map<std::string, std::optional<std::string>>& environment,
                std::optional<int> interruptAfterLines, const std::string& interruptOnError) {
  ChildCommand command(program, args, environment);

  int out[2], err[2];
  ToolRun run;
  if (::pipe(out) != 0 || ::pipe(err) != 0) return run;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    ::execve(program.c_str(), command.Argv(), command.Envp());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  bool interrupted = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
        continue;
      }
      (k == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
    }
    if (!interrupted && ((interruptAfterLines && std::count(run.out.begin(), run.out.end(), '\n') >= *interruptAfterLines) ||
                         (!interruptOnError.empty() && run.err.find(interruptOnError) != std::string::npos))) {
      ::kill(child, SIGINT);
      interrupted = true;
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace tag_tool_test
