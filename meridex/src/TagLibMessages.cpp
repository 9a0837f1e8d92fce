// TagLib reports what it finds odd in a file on standard error; in a host
// program that belongs in Meridex's log instead.
#include <taglib/tdebuglistener.h>

#include <mutex>

#include "Log.h"
#include "TagText.h"

namespace Meridex::log {

namespace {

class LogListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String& message) override {
    Write(Level::kDebug, L"TagLib: " + text::FromTagLib(message).str());
  }
};

}  // namespace

void RouteTagLibMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    static LogListener listener;
    TagLib::setDebugListener(&listener);
  });
}

}  // namespace Meridex::log
