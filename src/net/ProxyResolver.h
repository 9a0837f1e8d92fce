// Turns the host's proxy setting into the proxy text that downloads use, and
// finds the user's system HTTP proxy. A proxy text is "host:port"; empty means
// a direct connection.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace nimbrel {

// "0" gives the empty text, "1" gives GetHttpProxy(), any other text is
// returned unchanged. The comparisons are exact.
std::wstring ResolveProxy(std::wstring_view setting);

// The user's HTTP proxy from the environment: the first of "http_proxy" and
// "HTTP_PROXY" that is set and not empty. A value containing "=" is a list of
// "protocol=proxy" entries separated by ";": the proxy is the text after the
// first "http=" (case-sensitive; "https=" does not match) up to the next ";"
// or the end, and empty without "http=". A value without "=" is one proxy for
// all protocols. Blanks around the result, a "scheme://" prefix and a trailing
// "/" are removed. Empty when no proxy is configured; steps are logged and
// nothing is raised. Reads the environment again on every call.
std::wstring GetHttpProxy();

// Looks up an environment variable: true with its (UTF-8) value when set.
using EnvironmentLookup = std::function<bool(const char* name, std::string& value)>;
// GetHttpProxy over the given lookup in place of the process environment.
std::wstring GetHttpProxyFrom(const EnvironmentLookup& lookup);

}  // namespace nimbrel
