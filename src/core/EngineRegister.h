// The search engines running for one tagging object, so that a stop can
// reach them. A search registers its engine before it searches and
// unregisters it afterwards; StopAll tells every registered engine to stop.
#pragma once

#include <mutex>
#include <set>


template <class Engine>
class CEngineRegister {
 public:
  void Register(Engine* engine) {
    std::lock_guard<std::mutex> hold(lock_);
    engines_.insert(engine);
  }
  void Unregister(Engine* engine) {
    std::lock_guard<std::mutex> hold(lock_);
    engines_.erase(engine);
  }
  // Asks every registered engine to stop; each sees it at its next check.
  void StopAll() {
    std::lock_guard<std::mutex> hold(lock_);
    for (Engine* engine : engines_) engine->SetStop();
  }
  bool Empty() const {
    std::lock_guard<std::mutex> hold(lock_);
    return engines_.empty();
  }

 private:
  mutable std::mutex lock_;
  std::set<Engine*> engines_;
};

// Registers an engine for the lifetime of the guard.
template <class Engine>
class EngineRegistration {
 public:
  EngineRegistration(CEngineRegister<Engine>& reg, Engine* engine) : reg_(reg), engine_(engine) {
    reg_.Register(engine_);
  }
  ~EngineRegistration() { reg_.Unregister(engine_); }
  EngineRegistration(const EngineRegistration&) = delete;
  EngineRegistration& operator=(const EngineRegistration&) = delete;

 private:
  CEngineRegister<Engine>& reg_;
  Engine* engine_;
};
