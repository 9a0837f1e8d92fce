// One basic-tags search against one source plug-in: asks the plug-in for
// albums that may hold the songs, fetches each album's details (cover address
// and tracks), matches the tracks to the songs by title and reports every
// match and every miss to the tagging core through callbacks. Also fetches
// covers into the cover cache, and passes "GetCover_by_asin" to the plug-in.
//
// One engine serves one search: constructed, connected, configured,
// GetAllBasicTags once, statistics read, destroyed. A stop that reaches the
// engine before its search begins still ends that search at once.
//
// A search that ends by a stop or by its time-out reports nothing as not
// found: songs it did not get to were not searched. Albums that matched are
// kept in the album memory; later searches match their songs against the
// kept details instead of fetching the album again.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <vector>

#include "engines/SearchSongs.h"
#include "engines/StringComparer.h"
#include "engines/TagsCommonSearchEngine.h"
#include <map>

#include "nimbrel/AlbumResult.h"

class CCoverCache;
class CAlbumMemory;

class CBasicTagsCommonSearchEngine : public CTagsCommonSearchEngine<CBasicTagsDllInterface> {
 public:
  // Plain functions set through the "PF..." properties, called on the search thread.
  using SongInfoCallback = void (*)(void* object, unsigned songId, const Nimbrel::SongInfo* info);
  using TracksCallback = void (*)(Nimbrel::AlbumInfo album, Nimbrel::CoverInfo cover,
                                  std::list<Nimbrel::TrackInfo> tracks, const wchar_t* sourceName);
  using AlbumsCallback = void (*)(std::list<Nimbrel::AlbumResult> albums, const wchar_t* sourceName);
  using WriteToCacheCallback = void (*)(std::list<Nimbrel::AlbumResult>* results, bool found, bool searchedByArtist);

  // `albums`: where matched albums are kept across searches (null: none).
  // `covers`: the cover cache (null: the process's). Both must outlive the engine.
  explicit CBasicTagsCommonSearchEngine(CAlbumMemory* albums = nullptr, CCoverCache* covers = nullptr);

  std::int32_t SetProperty(const CString& name, void* value) override;
  std::int32_t GetProperty(const CString& name, void* out) override;
  std::int32_t CallMethod(const CString& name, void* args) override;
  void SetStop() override;

  // Takes the songs by value and consumes them.
  void GetAllBasicTags(std::list<Nimbrel::SongQuery> songs) override;
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                               std::list<Nimbrel::TrackInfo>* tracks) override;
  std::int32_t DownloadCover(const CString* artist, const CString* albumName, Nimbrel::CoverInfo* cover) override;

  // The length of the song's audio (0: unknown), set before the search. A
  // title whose found length does not fit it (LengthFit.h) is taken only
  // when no album of the search has the title at a length that fits.
  void SetSongLength(std::uint32_t songId, std::uint32_t lengthMs);
  // The MusicBrainz release and recording ids the song names (either may be
  // empty), set before the search. A plug-in that searches by id is asked
  // for the albums they name first; what they hold wins over what a search
  // by artist and title finds. An album whose name disagrees with the
  // song's own album is not taken (the id may be left from an earlier tag).
  void SetSongIds(std::uint32_t songId, const std::wstring& releaseId, const std::wstring& recordingId);

 private:
  // How near an album is to a song: 0 named as the song's own album, 1 by the
  // song's own artist, 2 another.
  using AlbumRank = int;
  // A match held back: one whose length does not fit the song's, or a near
  // title (`fits`) that an exact one on a later album of its rank may beat.
  struct HeldMatch {
    Nimbrel::TrackInfo track;
    Nimbrel::AlbumResult album;
    bool fits = false;
    AlbumRank rank = 0;
  };
  using SongQueue = engines::SongQueue;

  void ProcessAlbums(const std::list<Nimbrel::AlbumResult>& albums, SongQueue& songs);
  // Matches the songs that name ids against the albums those ids name; the
  // songs found leave the queue.
  void ProcessIdAlbums(SongQueue& songs);
  // Matches the album's tracks to the songs; true when any song matched.
  // `rank` gives the album's rank for a song. A song found exactly leaves the
  // queue, unless found on an album of its artist: it then stays for that
  // artist's other albums, on which only exact matches are reported. A near
  // title is held (the first one found) until the albums of its rank are done.
  template <class Rank>
  bool FindTracks(SongQueue& songs, Nimbrel::AlbumResult& result, const Rank& rank);
  void WriteBasicTagsToCache(std::list<Nimbrel::AlbumResult>& results, bool found, bool searchedByArtist);
  void ReportNotFound(const SongQueue& songs, bool found, bool searchedByArtist);
  // Reports `track` of `album` as the song's candidate.
  void Deliver(std::uint32_t songId, const Nimbrel::TrackInfo& track, Nimbrel::AlbumResult& album);
  // Delivers the held matches of the songs still unfound and takes those
  // songs from the queue; with `before`, only the near titles held from
  // albums ranked before it (a smaller rank).
  void DeliverHeld(SongQueue& songs, AlbumRank before = -1);
  std::uint32_t SongLength(std::uint32_t songId) const;
  static CString Prefix(const wchar_t* operation);

  SongInfoCallback songInfoCallback = nullptr;
  TracksCallback tracksCallback = nullptr;
  AlbumsCallback albumsCallback = nullptr;
  WriteToCacheCallback writeToCacheCallback = nullptr;
  std::int32_t needCover = 0;
  std::uint32_t coverDownloads = 0;
  std::uint32_t coverSuccesses = 0;
  std::uint32_t coverDownloadTime = 0;

  CAlbumMemory* albums_;
  CCoverCache* covers_;
  const nimbrel::StringComparer comparer_{0.1f, false};
  // Set by every stop and never cleared: the search keeps a stop that came before it.
  std::atomic<bool> stopRequested_{false};
  // Track titles of the album being matched, prepared once per album.
  std::vector<nimbrel::StringComparer::Prepared> preparedTracks_;
  std::vector<std::size_t> trackUnits_;
  std::map<std::uint32_t, std::uint32_t> songLengths_;
  std::map<std::uint32_t, HeldMatch> held_;
  struct SongIds {
    std::wstring release, recording;
  };
  std::map<std::uint32_t, SongIds> songIds_;
};
