#include "SearchStop.h"

namespace plugin_stop {
namespace {

// Plain pointers only: a module with thread-local objects that need
// destruction could not be unloaded cleanly.
thread_local void* tEngine = nullptr;
thread_local AskFunction tAsk = nullptr;

}  // namespace

void Attach(void* engine, AskFunction ask) {
  tEngine = engine;
  tAsk = engine ? ask : nullptr;
}

void Detach() { Attach(nullptr, nullptr); }

bool Stopped() { return tEngine && tAsk && tAsk(tEngine); }

}  // namespace plugin_stop
