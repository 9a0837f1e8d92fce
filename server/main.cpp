// nimbrel-cache-server: the tag-cache server that the library asks before it
// asks its sources. See ServerMain.h for the command line.
#include <iostream>
#include <string>
#include <vector>

#include "platform/TerminationSignal.h"
#include "server/ServerMain.h"

int main(int argc, char** argv) {
  // Before any thread starts, so that only the waiter receives them.
  platform::BlockTerminationSignals();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return cache_server::RunCommandLine(arguments, std::cin, std::cout, std::cerr);
}
