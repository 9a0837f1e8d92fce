// What the basic-tags engine remembers of albums across searches: the
// details (album, cover, tracks) of every album that matched a song, kept
// under its album key, so that an album is fetched from its plug-in once per
// process and the later songs of that album are still matched against it.
//
// The engine is handed an implementation (the process's local tags cache);
// without one it fetches every album it is offered. Implementations must be
// safe for concurrent use by many engines.
#pragma once

#include <memory>
#include <string>

#include "nimbrel/AlbumResult.h"

class IAlbumMemory {
 public:
  virtual ~IAlbumMemory() = default;
  // The details kept for `albumKey`, or null. Never anything for "".
  virtual std::shared_ptr<const Nimbrel::AlbumResult> FindAlbumDetails(const std::wstring& albumKey) const = 0;
  // Keeps `details` under its album key, unless the key is empty or details
  // are kept for it already (the first kept stay).
  virtual void KeepAlbumDetails(const Nimbrel::AlbumResult& details) = 0;
};
