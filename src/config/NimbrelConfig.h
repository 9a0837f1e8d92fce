// The process-wide configuration: the host's settings and the event that
// tells searchers that the source plug-ins are loaded.
//
// Written only by the set-up functions; read everywhere without locks, so
// the host must not change settings while searches run.
#pragma once

#include "nimbrel/CString.h"
#include "nimbrel/NimbrelSettings.h"
#include "platform/Event.h"

class CMasterlog;

class CNimbrelConfig : public NimbrelSettings {
 public:
  // Settings at their defaults (trace level "Debug", proxy "0", the tag-cache
  // server "localhost:8377" shipped with nimbrel on this machine); the
  // update-finished event signalled.
  // `log` is the master log to configure; it must outlive this object.
  explicit CNimbrelConfig(CMasterlog& log);
  // Waits for a running plug-in update to end.
  ~CNimbrelConfig();
  CNimbrelConfig(const CNimbrelConfig&) = delete;
  CNimbrelConfig& operator=(const CNimbrelConfig&) = delete;

  // The process-wide instance, on the process-wide master log.
  static CNimbrelConfig& Instance();

  // Takes the host's settings and prepares the environment they describe:
  // log folder created and cleaned of text files older than five days, master
  // log opened (once per process) at the named trace level, the tag library's
  // logging set up, folder paths ended with a separator, and the working
  // directory settled (the executable's folder when empty, created when missing).
  // A record without a tag-cache host switches the server cache off.
  void SetMainSettings(const NimbrelSettings& settings);

  // Whether the tag-cache server is asked: true until a host hands settings
  // without a tag-cache host.
  bool tagCacheEnabled = true;

  // Manual reset; signalled while no plug-in update runs.
  CEvent updateFinished{true, true};

 private:
  CMasterlog& log_;
};
