// What the basic-tags engines remember of albums across searches: the
// details (album, cover, tracks) of every album fetched for a song, kept per
// source, album key and album number (the disc: a source may answer each disc
// of a release under the release's key), so that an album is fetched from its
// plug-in once per process and the later songs of that album, or of its
// artist, are matched against it.
//
// Holds at most `limit` albums; keeping one more drops the oldest.
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "nimbrel/AlbumResult.h"
#include "platform/CriticalSection.h"

class CAlbumMemory {
 public:
  static constexpr std::size_t kDefaultLimit = 4096;

  explicit CAlbumMemory(std::size_t limit = kDefaultLimit);
  CAlbumMemory(const CAlbumMemory&) = delete;
  CAlbumMemory& operator=(const CAlbumMemory&) = delete;

  // The one memory of the process, shared by every engine.
  static CAlbumMemory& Instance();

  // The details `source` gave for `albumKey` and `albumNumber`, or null.
  // Never anything for an empty key.
  std::shared_ptr<const Nimbrel::AlbumResult> Find(const std::wstring& source, const std::wstring& albumKey,
                                                   std::int32_t albumNumber) const;
  // Keeps `details` as the answer of `source` under its album key and
  // number, unless the key is empty or details are kept there already (the
  // first kept stay).
  void Keep(const std::wstring& source, const Nimbrel::AlbumResult& details);

 private:
  using Key = std::tuple<std::wstring, std::wstring, std::int32_t>;
  using Entry = std::pair<Key, std::shared_ptr<const Nimbrel::AlbumResult>>;

  const std::size_t limit_;
  mutable CCriticalSection lock_;
  std::list<Entry> order_;  // oldest first
  std::map<Key, std::list<Entry>::iterator> index_;
};
