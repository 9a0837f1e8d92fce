// Whether the internet can be reached at all: HEAD requests to a short list of
// well-known web sites (platform::Env::ConnectivityProbeHosts), one after the
// other, until one of them answers. Keeps no state; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nimbrel {

// Asked after every failed probe whether to go on.
class IConnectionCheckStop {
 public:
  virtual ~IConnectionCheckStop() = default;
  // False gives up the check at once.
  virtual bool ContinueChecking() = 0;
};

// Probes "http://<host>" for each probe host in order; any HTTP answer,
// whatever its status (redirects are not followed), counts as reachable and
// ends the check with true. `timeoutMs` limits each probe's connecting,
// sending and receiving (0: the client's defaults). `proxy` is "host:port" or
// empty; `stop` may be null.
bool CheckInternetConnection(const std::string& proxy, std::uint32_t timeoutMs, IConnectionCheckStop* stop);

// CheckInternetConnection with a 10-second time-out and no stop query.
bool CheckInternetAvailable(std::wstring_view proxy);

}  // namespace nimbrel
