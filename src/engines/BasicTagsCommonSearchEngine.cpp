#include "engines/BasicTagsCommonSearchEngine.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <iterator>
#include <set>
#include <vector>
#include <utility>

#include "covers/CoverCache.h"
#include "engines/AlbumMemory.h"
#include "engines/LengthFit.h"
#include "foundation/Masterlog.h"
#include "net/NetText.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"

namespace {

constexpr int kError = 10;
constexpr int kWarning = 20;
constexpr int kInfo = 30;
constexpr int kDebug = 40;

template <typename Function>
Function AsFunction(void* value) {
  return reinterpret_cast<Function>(value);
}

}  // namespace

CBasicTagsCommonSearchEngine::CBasicTagsCommonSearchEngine(CAlbumMemory* albums, CCoverCache* covers)
    : albums_(albums), covers_(covers ? covers : &CCoverCache::Instance()) {}

CString CBasicTagsCommonSearchEngine::Prefix(const wchar_t* operation) {
  return CString(L"CBasicTagsCommonSearchEngine::") + operation;
}

std::int32_t CBasicTagsCommonSearchEngine::SetProperty(const CString& name, void* value) {
  if (GetActiveSearchCount() != 0) return 0;
  if (value) {
    bool taken = true;
    if (name == L"PFSongInfoCallback") songInfoCallback = AsFunction<SongInfoCallback>(value);
    else if (name == L"PFWriteBasicTagsToCache") writeToCacheCallback = AsFunction<WriteToCacheCallback>(value);
    else if (name == L"PFTracksCallback") tracksCallback = AsFunction<TracksCallback>(value);
    else if (name == L"PFAlbumsCallback") albumsCallback = AsFunction<AlbumsCallback>(value);
    else taken = false;
    if (taken) {
      LogF(kDebug, L"%s: %s: ", Prefix(L"SetProperty"), name);
      return 1;
    }
    if (name == L"NeedCover") {
      needCover = *static_cast<const std::int32_t*>(value);
      LogF(kDebug, L"%s: %s: %s", Prefix(L"SetProperty"), name, needCover ? L"true" : L"false");
      return 1;
    }
  }
  return CTagsCommonSearchEngine::SetProperty(name, value);
}

std::int32_t CBasicTagsCommonSearchEngine::GetProperty(const CString& name, void* out) {
  if (name == L"NeedCover" && out) {
    *static_cast<std::int32_t*>(out) = needCover;
    return 1;
  }
  if (name == L"PFAlbumsCallback" && out) {
    *static_cast<AlbumsCallback*>(out) = albumsCallback;
    if (albumsCallback) return 1;
    LogF(kDebug, L"%s: %s: NULL", Prefix(L"GetProperty"), name);
    return 0;
  }
  const std::uint32_t* own = nullptr;
  if (name == L"StatisticSuccessfulDownloads") own = &coverSuccesses;
  else if (name == L"StatisticTotalDownloadTime") own = &coverDownloadTime;
  else if (name == L"StatisticDownloadCounter") own = &coverDownloads;
  if (own && out) {
    if (!dllInterface) {
      LogF(kError, L"%s: %s: Interface = NULL", Prefix(L"GetProperty"), name);
      return 0;
    }
    if (!dllInterface->GetProperty(name, out)) return 0;
    *static_cast<std::uint32_t*>(out) += *own;
    return 1;
  }
  return CTagsCommonSearchEngine::GetProperty(name, out);
}

std::int32_t CBasicTagsCommonSearchEngine::CallMethod(const CString& name, void* args) {
  if (!dllInterface) {
    LogF(kError, L"%s: Interface == NULL", Prefix(L"CallMethod"));
    return 0;
  }
  if (name != L"GetCover_by_asin") {
    LogF(kError, L"%s: Method not found: %s", Prefix(L"CallMethod"), name);
    return 0;
  }
  if (!args) return 0;
  if (dllInterface->CallMethod(name, args)) return 1;
  LogF(kError, L"%s: Method failed: %s", Prefix(L"CallMethod"), name);
  return 0;
}

void CBasicTagsCommonSearchEngine::SetStop() {
  LogF(kInfo, L"%s: stopped", Prefix(L"SetStop"));
  stopRequested_ = true;
  CTagsCommonSearchEngine::SetStop();
}

void CBasicTagsCommonSearchEngine::GetAllBasicTags(std::list<Nimbrel::SongQuery> songList) {
  if (songList.empty()) return;
  SearchBracket bracket(*this, songList.size());
  if (stopRequested_) stopFlag = true;  // the bracket cleared a stop that came first
  const CString artist(songList.front().artist);
  const CString title(songList.front().title);
  const CString album(songList.front().album);
  bool searchedByArtist = false;
  try {
    SongQueue songs = engines::QueueSongs(songList, comparer_);
    if (!dllInterface) {
      LogF(kError, L"%s: BasicInterface = NULL", Prefix(L"GetAllBasicTags"));
      SetStop();
    } else {
      CString source;
      GetProperty(L"SourceName", &source);
      LogF(kInfo, L"%s: SEARCH IN: %s, FOR ARTIST: %s, first title: %s, first album: %s", Prefix(L"GetAllBasicTags"),
           source, artist, title, album);
      if (!songIds_.empty()) ProcessIdAlbums(songs);
      std::list<Nimbrel::AlbumResult> albums;
      bool found = false;
      if (songs.empty() || IsStopped()) {
        // Every song was found by its ids (or the search stopped).
      } else if (const engines::SearchKind kind = engines::CollectCandidates(
              *dllInterface, songs, forceSearchByArtist, [this] { return IsStopped(); }, albums, searchedByArtist, found);
          !found) {
        LogF(kWarning, L"%s: No Albums found in:%s, Artist: %s, type: %s", Prefix(L"GetAllBasicTags"), source, artist,
             engines::SearchKindName(kind));
      } else {
        if (albumsCallback && source != L"amazon") albumsCallback(albums, source);
        ProcessAlbums(albums, songs);
        DeliverHeld(songs);
      }
    }
    // Songs that a stop or the time-out kept from being searched are not "not found".
    if (!IsStopped()) ReportNotFound(songs, false, searchedByArtist);
  } catch (...) {
    LogF(kError, L"%s: Catched unknown error. Artist = %s", Prefix(L"GetAllBasicTags"), artist);
  }
}

void CBasicTagsCommonSearchEngine::ProcessAlbums(const std::list<Nimbrel::AlbumResult>& albums, SongQueue& songs) {
  CString source, sourceId;
  GetProperty(L"SourceName", &source);
  GetProperty(L"SourceId", &sourceId);
  // A title on several albums goes to the one named as the song's own album,
  // else to one by the song's own artist: a source's artist search also finds
  // artists whose names hold it ("Band" finds "Band Tribute"). Such albums
  // are matched first, the others after them, each group in the source's order.
  const auto normalised = [this](const std::wstring& text) { return comparer_.Prepare(text.c_str()).Normalised(); };
  struct Names {
    std::wstring album, artist;
  };
  std::map<const engines::QueuedSong*, Names> own;
  std::set<std::wstring> ownAlbums, ownArtists;
  for (const auto& song : songs) {
    Names names{song.query.album.empty() ? std::wstring() : normalised(song.query.album), normalised(song.query.artist)};
    if (!names.album.empty()) ownAlbums.insert(names.album);
    ownArtists.insert(names.artist);
    own.emplace(&song, std::move(names));
  }
  const auto rank = [&](const Nimbrel::AlbumResult* album) -> AlbumRank {
    if (ownAlbums.count(normalised(album->albumInfo.album))) return 0;
    return ownArtists.count(normalised(album->albumInfo.artist)) ? 1 : 2;
  };
  std::vector<std::pair<AlbumRank, const Nimbrel::AlbumResult*>> ranked;
  for (const auto& album : albums) ranked.emplace_back(rank(&album), &album);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [groupRank, listed] : ranked) {
    // A song found exactly waits only for albums of the rank it was found at.
    for (auto song = songs.begin(); song != songs.end();) {
      const bool waiting = !song->exactAlbum.empty();
      song = waiting && groupRank > 1 ? songs.erase(song) : std::next(song);
    }
    // Nor can a near title be beaten on an album of a lower rank than its own.
    DeliverHeld(songs, groupRank);
    if (songs.empty() || IsStopped()) break;
    Nimbrel::AlbumResult result;
    result.albumInfo = listed->albumInfo;
    const std::wstring albumName = normalised(result.albumInfo.album), albumArtist = normalised(result.albumInfo.artist);
    const auto songRank = [&](const engines::QueuedSong& song) -> AlbumRank {
      const auto names = own.find(&song);
      if (names == own.end()) return 2;
      if (!names->second.album.empty() && names->second.album == albumName) return 0;
      return names->second.artist == albumArtist ? 1 : 2;
    };
    // An album fetched before is matched from what was kept, not fetched again.
    if (albums_) {
      if (auto kept = albums_->Find(source.str(), result.albumInfo.albumKey, result.albumInfo.albumNumber)) {
        result.albumInfo = kept->albumInfo;  // as the first fetch completed it
        // The artist is the one the source listed the album with for these
        // songs: a compilation of many was kept with the artist of the song
        // it was first fetched for.
        if (!listed->albumInfo.artist.empty()) result.albumInfo.artist = listed->albumInfo.artist;
        result.coverInfo = kept->coverInfo;
        result.tracks = kept->tracks;
        FindTracks(songs, result, songRank);
        continue;
      }
    }
    if (!dllInterface->GetAlbumDetails(&result.albumInfo, &result.coverInfo, &result.tracks)) continue;
    FindTracks(songs, result, songRank);
    // Kept whether or not it matched: the artist's other titles are matched against it later.
    if (albums_) albums_->Keep(source.str(), result);
    if (tracksCallback) tracksCallback(result.albumInfo, result.coverInfo, result.tracks, source);
  }
  // Songs found exactly were reported: what is left of them is no miss
  // (unless a tracks callback keeps every song to the end).
  if (tracksCallback) return;
  for (auto song = songs.begin(); song != songs.end();) song = song->exactAlbum.empty() ? std::next(song) : songs.erase(song);
}

template <class Rank>
bool CBasicTagsCommonSearchEngine::FindTracks(SongQueue& songs, Nimbrel::AlbumResult& result, const Rank& rank) {
  preparedTracks_.clear();
  trackUnits_.clear();
  preparedTracks_.reserve(result.tracks.size());
  trackUnits_.reserve(result.tracks.size());
  for (const auto& track : result.tracks) {
    preparedTracks_.push_back(comparer_.Prepare(track.title.c_str()));
    trackUnits_.push_back(engines::Utf16Units(preparedTracks_.back().Normalised()));
  }
  bool anyFound = false;
  const std::wstring albumName = comparer_.Prepare(result.albumInfo.album.c_str()).Normalised();
  for (auto song = songs.begin(); song != songs.end();) {
    if (IsStopped()) break;
    const bool waiting = !song->exactAlbum.empty();
    const AlbumRank albumRank = rank(*song);
    // A song found exactly takes only exact matches on its artist's other
    // albums (the source may list an album twice, or under one name twice).
    if (waiting && (albumRank != 1 || albumName == song->exactAlbum)) {
      ++song;
      continue;
    }
    // A near title held from an album of a higher rank keeps it.
    if (const auto near = held_.find(song->query.songId);
        near != held_.end() && near->second.fits && near->second.rank < albumRank) {
      ++song;
      continue;
    }
    // The closest title among tracks whose length fits the song's, else the
    // closest among those that do not.
    const std::uint32_t length = SongLength(song->query.songId);
    float best = waiting ? std::nextafter(0.0f, 1.0f) : maxMatchDifference, bestMisfit = best;
    auto match = result.tracks.cend(), misfit = result.tracks.cend();
    auto track = result.tracks.cbegin();
    for (std::size_t i = 0; i < preparedTracks_.size(); ++i, ++track) {
      const bool fits = engines::LengthFits(length, track->lengthMs);
      float& bound = fits ? best : bestMisfit;
      const float difference =
          engines::TitleDifference(comparer_, song->title, song->units, preparedTracks_[i], trackUnits_[i], bound);
      if (difference < bound) {
        bound = difference;
        (fits ? match : misfit) = track;
        if (fits && difference == 0.0f) break;
      }
    }
    if (match == result.tracks.cend() && misfit != result.tracks.cend() && !waiting) {
      // Held back while another album of the search may have the title at
      // its length; the first album's is kept (the albums come ranked).
      if (!tracksCallback) {
        held_.try_emplace(song->query.songId, HeldMatch{*misfit, result});
        ++song;
        continue;
      }
      match = misfit;
    } else if (match != result.tracks.cend() && best > 0.0f && !waiting && !tracksCallback) {
      // A near title is held while a later album of its rank may have the
      // title exactly; it beats a misfit, and the first album's is kept.
      const HeldMatch near{*match, result, true, albumRank};
      if (auto [held, fresh] = held_.try_emplace(song->query.songId, near); !fresh && !held->second.fits) {
        held->second = near;
      }
      ++song;
      continue;
    }
    const bool found = match != result.tracks.cend();
    if (!found && !tracksCallback) {
      ++song;
      continue;
    }
    if (needCover) {
      const CString albumArtist(result.albumInfo.artist), albumName(result.albumInfo.album);
      DownloadCover(&albumArtist, &albumName, &result.coverInfo);
    }
    if (found) anyFound = true;
    if (found) {
      held_.erase(song->query.songId);
      Deliver(song->query.songId, *match, result);
    }
    bool leaves = found;
    if (found && best == 0.0f && albumRank == 1 && !waiting) {
      song->exactAlbum = albumName.empty() ? std::wstring(L" ") : albumName;
      leaves = false;
    }
    if (leaves && !tracksCallback) song = songs.erase(song);
    else ++song;
  }
  return anyFound;
}

void CBasicTagsCommonSearchEngine::Deliver(std::uint32_t songId, const Nimbrel::TrackInfo& track,
                                           Nimbrel::AlbumResult& album) {
  if (!songInfoCallback) return;
  CString source;
  GetProperty(L"SourceName", &source);
  Nimbrel::SongInfo info;
  info.trackInfo = track;
  info.albumInfo = album.albumInfo;
  info.coverInfo = album.coverInfo;
  info.source = source.str();
  songInfoCallback(nimbrelObject, songId, &info);
  LogF(kInfo, L"%s: FOUND IN %s: %s - %s", Prefix(L"FindTracks"), source, album.albumInfo.artist, track.title);
  ++foundNumber;
  // The feedback is the song's answer: its own track, not the album's every track.
  std::list<Nimbrel::AlbumResult> one(1);
  one.front().albumInfo = album.albumInfo;
  one.front().coverInfo = album.coverInfo;
  one.front().tracks.push_back(track);
  WriteBasicTagsToCache(one, true, false);
}

void CBasicTagsCommonSearchEngine::DeliverHeld(SongQueue& songs, AlbumRank before) {
  for (auto song = songs.begin(); song != songs.end();) {
    auto held = held_.find(song->query.songId);
    // After a stop or the time-out, a near title that fits is still the
    // song's answer (it was found before the end), delivered without a new
    // cover download; a take whose length does not fit is not.
    const bool stopped = IsStopped();
    if (held == held_.end() || (stopped && !held->second.fits) ||
        (before >= 0 && !(held->second.fits && held->second.rank < before))) {
      ++song;
      continue;
    }
    if (needCover && !stopped) {
      const CString albumArtist(held->second.album.albumInfo.artist), albumName(held->second.album.albumInfo.album);
      DownloadCover(&albumArtist, &albumName, &held->second.album.coverInfo);
    }
    Deliver(song->query.songId, held->second.track, held->second.album);
    held_.erase(held);
    song = songs.erase(song);
  }
  if (before < 0) held_.clear();
}

void CBasicTagsCommonSearchEngine::SetSongIds(std::uint32_t songId, const std::wstring& releaseId,
                                              const std::wstring& recordingId) {
  if (releaseId.empty() && recordingId.empty()) songIds_.erase(songId);
  else songIds_[songId] = SongIds{releaseId, recordingId};
}

void CBasicTagsCommonSearchEngine::ProcessIdAlbums(SongQueue& songs) {
  std::int32_t searchesById = 0;
  if (!dllInterface->GetProperty(L"SearchesById", &searchesById) || searchesById == 0) return;
  const auto normalised = [this](const std::wstring& text) { return comparer_.Prepare(text.c_str()).Normalised(); };
  CString source;
  GetProperty(L"SourceName", &source);
  // One question per pair of ids, however many songs name it.
  std::map<std::pair<std::wstring, std::wstring>, std::list<Nimbrel::AlbumResult>> asked;
  for (const auto& song : songs) {
    const auto ids = songIds_.find(song.query.songId);
    if (ids == songIds_.end() || IsStopped()) continue;
    const auto key = std::make_pair(ids->second.release, ids->second.recording);
    if (asked.count(key)) continue;
    const CString release(key.first), recording(key.second);
    std::list<Nimbrel::AlbumResult> found;
    FindAlbumsByIdArgs args{&release, &recording, &found};
    if (!dllInterface->CallMethod(L"FindAlbumsById", &args)) found.clear();
    asked.emplace(key, std::move(found));
  }
  for (auto& [ids, albums] : asked) {
    // The songs that named these ids, apart from the others.
    SongQueue named, others;
    while (!songs.empty()) {
      const auto own = songIds_.find(songs.front().query.songId);
      const bool names = own != songIds_.end() && own->second.release == ids.first && own->second.recording == ids.second;
      (names ? named : others).splice((names ? named : others).end(), songs, songs.begin());
    }
    for (const Nimbrel::AlbumResult& listed : albums) {
      if (named.empty() || IsStopped()) break;
      Nimbrel::AlbumResult result = listed;
      if (result.tracks.empty() &&
          !dllInterface->GetAlbumDetails(&result.albumInfo, &result.coverInfo, &result.tracks)) {
        continue;
      }
      // The songs whose own album this is not stand aside.
      const std::wstring albumName = normalised(result.albumInfo.album);
      SongQueue aside;
      for (auto song = named.begin(); song != named.end();) {
        const std::wstring& own = song->query.album;
        const bool disagrees = !own.empty() && own != Nimbrel::AlbumInfo::kUnknown && normalised(own) != albumName;
        auto next = std::next(song);
        if (disagrees) aside.splice(aside.end(), named, song);
        song = next;
      }
      // The recording's own track, whatever its title; else by title.
      for (auto song = named.begin(); song != named.end();) {
        const auto own = songIds_.find(song->query.songId);
        const auto track = std::find_if(result.tracks.begin(), result.tracks.end(), [&](const Nimbrel::TrackInfo& t) {
          return !own->second.recording.empty() && t.recordingId == own->second.recording;
        });
        if (track == result.tracks.end()) {
          ++song;
          continue;
        }
        if (needCover) {
          const CString albumArtist(result.albumInfo.artist), album(result.albumInfo.album);
          DownloadCover(&albumArtist, &album, &result.coverInfo);
        }
        held_.erase(song->query.songId);
        Deliver(song->query.songId, *track, result);
        song = named.erase(song);
      }
      FindTracks(named, result, [](const engines::QueuedSong&) { return AlbumRank{0}; });
      if (tracksCallback) tracksCallback(result.albumInfo, result.coverInfo, result.tracks, source);
      named.splice(named.end(), aside);
    }
    // A length misfit on an album the ids name is still that album's track.
    if (!tracksCallback) DeliverHeld(named);
    others.splice(others.end(), named);
    songs.swap(others);
  }
}

void CBasicTagsCommonSearchEngine::SetSongLength(std::uint32_t songId, std::uint32_t lengthMs) {
  if (lengthMs > 0) songLengths_[songId] = lengthMs;
  else songLengths_.erase(songId);
}

std::uint32_t CBasicTagsCommonSearchEngine::SongLength(std::uint32_t songId) const {
  const auto found = songLengths_.find(songId);
  return found == songLengths_.end() ? 0 : found->second;
}

std::int32_t CBasicTagsCommonSearchEngine::GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                                                           std::list<Nimbrel::TrackInfo>* tracks) {
  if (!dllInterface) {
    LogF(kError, L"%s: BasicInterface = NULL", Prefix(L"GetAlbumDetails"));
    SetStop();
    return 0;
  }
  if (!dllInterface->GetAlbumDetails(album, cover, tracks)) return 0;
  if (album && cover) {
    const CString artist(album->artist), name(album->album);
    if (!DownloadCover(&artist, &name, cover)) {
      LogF(kWarning, L"%s: Cover not found: %s", Prefix(L"GetAlbumDetails"), nimbrel::UrlDecode(cover->coverUrl));
    }
  }
  return 1;
}

std::int32_t CBasicTagsCommonSearchEngine::DownloadCover(const CString* artist, const CString* albumName,
                                                         Nimbrel::CoverInfo* cover) {
  if (!cover || cover->coverUrl.empty()) return 0;
  if (cover->coverUrl.find(L"ASIN=") != std::wstring::npos) return 1;  // resolved by the core
  CString source;
  GetProperty(L"SourceName", &source);
  const std::uint32_t started = platform::Env::Current()->TickCount();
  CString path;
  const std::int32_t result = covers_->GetCover(artist ? *artist : CString(), albumName ? *albumName : CString(),
                                                source, path, CString(cover->coverUrl), proxy, false);
  if (result > 0) cover->coverFile = path.str();
  if (result == CCoverCache::RET_NOT_FOUND || result == CCoverCache::RET_FOUND_BY_URL) ++coverDownloads;
  if (result == CCoverCache::RET_FOUND_BY_URL) {
    ++coverSuccesses;
    coverDownloadTime += platform::Env::Current()->TickCount() - started;
  }
  return result;
}

void CBasicTagsCommonSearchEngine::WriteBasicTagsToCache(std::list<Nimbrel::AlbumResult>& results, bool found,
                                                         bool searchedByArtist) {
  CString source, sourceId;
  GetProperty(L"SourceName", &source);
  GetProperty(L"SourceId", &sourceId);
  for (auto& result : results) {
    result.source = source.str();
    result.sourceId = sourceId.str();
    if (result.coverInfo.coverUrl.empty() || !result.coverInfo.coverFile.empty()) continue;
    const CString path = covers_->MakeCoverPath(CString(result.albumInfo.artist), CString(result.albumInfo.album),
                                                source, CString(result.coverInfo.coverUrl));
    // An address without extension is stored in JPEG form under the name + ".jpg".
    if (platform::PathExists(path.str())) result.coverInfo.coverFile = path.str();
    else if (platform::PathExists(path.str() + L".jpg")) result.coverInfo.coverFile = path.str() + L".jpg";
  }
  if (writeToCacheCallback) writeToCacheCallback(&results, found, searchedByArtist);
}

void CBasicTagsCommonSearchEngine::ReportNotFound(const SongQueue& songs, bool found, bool searchedByArtist) {
  if (songs.empty()) return;
  std::list<Nimbrel::AlbumResult> results;
  for (const auto& song : songs) {
    Nimbrel::AlbumResult result;
    result.albumInfo.artist = song.query.artist;
    Nimbrel::TrackInfo track;
    track.title = song.query.title;
    result.tracks.push_back(std::move(track));
    results.push_back(std::move(result));
  }
  WriteBasicTagsToCache(results, found, searchedByArtist);
}
