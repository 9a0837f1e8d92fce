// A child process started from an executable and its arguments, for tests
// and tools that run one of our programs: start it, signal it, wait for it.
//
// One thread uses an object at a time. The destructor kills (SIGKILL) and
// reaps a child that is still running.
#pragma once

#include <string>
#include <vector>

namespace platform {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (a path) with `arguments` (argv[1...]), standard output
  // and error going to `outputFile` when it is not empty (appended). False
  // when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& outputFile = std::string());
  bool Running() const { return pid_ > 0; }
  // Sends SIGTERM (graceful) or SIGKILL.
  void Terminate();
  void Kill();
  // Waits for the child to end; its exit status, 128 + signal number when a
  // signal ended it, -1 when there is no child.
  int Wait();

 private:
  int pid_ = -1;
};

}  // namespace platform
