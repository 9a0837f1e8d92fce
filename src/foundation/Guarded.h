// Entries into the library from outside: an exported function, a call of the
// tagging interface, a callback from an engine or a plug-in. Each runs under
// the library's module state, and no exception leaves it: a failure is logged
// as an error of the entry and the entry reports it through its result.
#pragma once

#include <exception>

#include "foundation/Masterlog.h"
#include "platform/ModuleState.h"
#include "platform/TextCodec.h"

namespace nimbrel {

// Runs `body` under the module state; an exception is logged as an error of
// `where` (and logging itself may not throw out either). True when `body`
// returned normally.
template <class Body>
bool Guarded(const wchar_t* where, Body&& body) noexcept {
  platform::ModuleStateGuard moduleState;
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    try {
      LogF(10, L"%s: failed: %s", where, platform::FromUtf8(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      LogF(10, L"%s: failed: unknown exception", where);
    } catch (...) {
    }
  }
  return false;
}

}  // namespace nimbrel
