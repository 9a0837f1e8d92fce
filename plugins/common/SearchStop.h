// Whether the search that called into a plug-in has been stopped.
//
// A plug-in learns its engine in Connect, on the thread that runs the search;
// every later call of that search comes on the same thread while the engine
// lives. So the engine is remembered per thread, and asked only from that
// thread. The engine announces its end on that thread with the property
// "SearchEnded", after which it is forgotten; an engine of another search on
// the same thread replaces it in its Connect.
#pragma once

namespace plugin_stop {

using AskFunction = bool (*)(void* engine);

// Remembers `engine` for this thread; `ask` answers whether it is stopped.
void Attach(void* engine, AskFunction ask);
// Forgets this thread's engine.
void Detach();
// True when this thread's engine says its search is stopped (or past its
// time limit); false without an engine.
bool Stopped();

template <class Engine>
void Attach(Engine* engine) {
  Attach(static_cast<void*>(engine), [](void* e) { return static_cast<Engine*>(e)->IsStopped(); });
}

}  // namespace plugin_stop
