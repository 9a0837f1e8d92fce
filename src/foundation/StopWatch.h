// Named timing scopes for an optional external profiler.
//
// The first StopWatch of the process looks for the profiler library
// "liblapwatch.so" in the standard library search path and binds its
// LapwatchStartContext and LapwatchStopContext functions. Without it a
// StopWatch does nothing but test one pointer; no error is logged.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "nimbrel/CString.h"

class StopWatch {
 public:
  // Signatures of the profiler's entry points.
  using StartFunction = std::uint32_t (*)(const wchar_t* name, bool enabled);
  using StopFunction = void (*)(const wchar_t* name, bool enabled, std::uint32_t context);

  explicit StopWatch(const CString& name, bool enabled = true);
  // Stops the scope unless Stop was called already.
  ~StopWatch();
  StopWatch(const StopWatch&) = delete;
  StopWatch& operator=(const StopWatch&) = delete;

  // Ends the scope now; later calls and the destructor do nothing.
  void Stop();

 private:
  struct State {
    CString name;
    bool enabled = false;
    bool stopped = false;
    std::uint32_t context = 0;
  };
  boost::shared_ptr<State> state_;
};
