// Tests that talk to loopback servers must not be sent through a proxy named
// by the environment they happen to run in.
#pragma once

#include <cstdlib>

namespace testing_support {

// Removes every proxy variable the HTTP client reads. Call it before any
// thread starts (the environment is not thread-safe).
inline bool ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
  return true;
}

}  // namespace testing_support
