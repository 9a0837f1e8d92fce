// The records through which a host configures nimbrel.
#pragma once

#include <cstdint>

#include "nimbrel/CString.h"

class IStatisticsSink;

// Process-wide settings, handed to InitialiseNimbrel or
// NimbrelSourcesUpdateSync and copied into the library's configuration. A
// plain record: the library's defaults ("Debug", "0", "localhost:8377") are
// those of its configuration before the first call, not of this record.
struct NimbrelSettings {
  // Address of the plug-in update list.
  CString UpdateUrl;
  // The library's data folder, from which source plug-ins are loaded.
  // Empty: the folder of the host process's executable.
  CString WorkingDirectory;
  // Folder for the log and trace files; also handed to every plug-in.
  CString LogFolder;
  // "Error", "Warning", "Info", "Debug", "Detail" or "Verbose".
  CString TraceLevel;
  // "0" or empty: no proxy; "1": the system proxy; any other text: that
  // proxy (host:port).
  CString HttpProxy;
  // Host (and optional ":port") of the tag-cache server; empty switches it off.
  CString TagCacheHost;
  // Opaque to the library: handed unchanged to every plug-in when not null.
  void* HostIgnore = nullptr;
  // Receiver of search statistics; null switches statistics off. Not owned.
  IStatisticsSink* Statistics = nullptr;
};

// Options of one tagging object, set with INimbrel::SetOptions.
struct NimbrelOptions {
  // Search artist, title, album, genre, year and track number.
  bool SearchBasicTags = true;
  // Search a cover picture.
  bool SearchCover = true;
  // Search lyrics.
  bool SearchLyrics = true;
  // How found values override tags already in the file: 1, 2 or 3.
  std::int32_t OverwritePolicy = 3;
  // Largest difference at which a found track still matches the song.
  std::int32_t MaxMatchDifference = 100;
  // When a basic-tags search counts as failed: 0, 1, 2 or 3.
  std::int32_t SuccessCriterion = 1;
};
