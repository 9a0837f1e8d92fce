// The debugger output channel.
//
// Text goes to standard error only while a debugger is attached to the
// process (checked once, at first use), so a host's terminal is never
// flooded. Tests may install a sink to see what would be written.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

void OutputDebugString(std::wstring_view text);
bool IsDebuggerAttached();

// Receives every text given to OutputDebugString, attached debugger or not;
// an empty function removes it. For tests.
using DebugOutputSink = std::function<void(std::wstring_view)>;
void SetDebugOutputSink(DebugOutputSink sink);

}  // namespace platform
