#include "engines/LyricsCommonSearchEngine.h"

#include <utility>
#include <vector>

#include "foundation/Masterlog.h"

namespace {

constexpr int kError = 10;
constexpr int kWarning = 20;
constexpr int kInfo = 30;
constexpr int kDebug = 40;

}  // namespace

CString CLyricsCommonSearchEngine::Prefix(const wchar_t* operation) {
  return CString(L"CLyricsCommonSearchEngine::") + operation;
}

std::int32_t CLyricsCommonSearchEngine::SetProperty(const CString& name, void* value) {
  if (GetActiveSearchCount() != 0) return 0;
  if (value && (name == L"PFOneLyricsDealedEx" || name == L"PFWriteLyricsToCache")) {
    if (name == L"PFOneLyricsDealedEx") lyricsCallback = reinterpret_cast<LyricsCallback>(value);
    else writeToCacheCallback = reinterpret_cast<WriteToCacheCallback>(value);
    LogF(kDebug, L"%s: %s: ", Prefix(L"SetProperty"), name);
    return 1;
  }
  return CTagsCommonSearchEngine::SetProperty(name, value);
}

void CLyricsCommonSearchEngine::SetStop() {
  LogF(kInfo, L"%s: stopped", Prefix(L"SetStop"));
  stopRequested_ = true;
  CTagsCommonSearchEngine::SetStop();
}

void CLyricsCommonSearchEngine::GetAllLyrics(std::list<Nimbrel::SongQuery> songList) {
  if (songList.empty()) return;
  SearchBracket bracket(*this, songList.size());
  if (stopRequested_) stopFlag = true;  // the bracket cleared a stop that came first
  const CString artist(songList.front().artist);
  const CString title(songList.front().title);
  const CString album(songList.front().album);
  bool searchedByArtist = false;
  try {
    SongQueue songs = engines::QueueSongs(songList, comparer_);
    // Songs whose link is known are fetched directly and reported before the search.
    for (auto song = songs.begin(); song != songs.end() && !IsStopped();) {
      if (song->query.lyricsLink.empty()) {
        ++song;
        continue;
      }
      std::list<Nimbrel::LyricsInfo> one(1);
      FillLyricsInfo(song->query, one.front());
      const bool found = FindLyrics(song->query.songId, &one.front()) != 0;
      WriteLyricsToCache(one, found, false);
      song = songs.erase(song);
    }
    if (!songs.empty() && !IsStopped()) {
      if (!dllInterface) {
        LogF(kError, L"%s: LyricsInterface = NULL", Prefix(L"GetAllLyrics"));
        SetStop();
      } else {
        const CString source = SourceProperty(L"SourceName");
        LogF(kInfo, L"%s: SEARCH IN: %s, FOR ARTIST: %s, first title: %s, first album: %s", Prefix(L"GetAllLyrics"),
             source, artist, title, album);
        std::list<Nimbrel::LyricsInfo> candidates;
        bool found = false;
        const engines::SearchKind kind = engines::CollectCandidates(
            *dllInterface, songs, forceSearchByArtist, [this] { return IsStopped(); }, candidates, searchedByArtist,
            found);
        if (!found) {
          LogF(kWarning, L"%s: No Lyrics found in:%s, Artist: %s, type: %s", Prefix(L"GetAllLyrics"), source, artist,
               engines::SearchKindName(kind));
        } else {
          MatchLyrics(songs, candidates);
          WriteLyricsToCache(candidates, true, false);
        }
      }
    }
    // Songs that a stop or the time-out kept from being searched are not "not found".
    if (!IsStopped()) ReportNotFound(songs, false, searchedByArtist);
  } catch (...) {
    LogF(kError, L"%s: Catched unknown error. Artist = %s", Prefix(L"GetAllLyrics"), artist);
  }
}

void CLyricsCommonSearchEngine::MatchLyrics(SongQueue& songs, std::list<Nimbrel::LyricsInfo>& candidates) {
  std::vector<nimbrel::StringComparer::Prepared> prepared;
  std::vector<std::size_t> units;
  prepared.reserve(candidates.size());
  units.reserve(candidates.size());
  for (const auto& candidate : candidates) {
    prepared.push_back(comparer_.Prepare(candidate.title.c_str()));
    units.push_back(engines::Utf16Units(prepared.back().Normalised()));
  }
  for (auto song = songs.begin(); song != songs.end();) {
    if (IsStopped()) break;
    float best = maxMatchDifference;
    Nimbrel::LyricsInfo* match = nullptr;
    auto candidate = candidates.begin();
    for (std::size_t i = 0; i < prepared.size(); ++i, ++candidate) {
      if (IsStopped()) break;
      const float difference = engines::TitleDifference(comparer_, song->title, song->units, prepared[i], units[i], best);
      if (difference < best) {
        best = difference;
        match = &*candidate;
        if (difference == 0.0f) break;
      }
    }
    if (!match) {
      ++song;
      continue;
    }
    FindLyrics(song->query.songId, match);
    song = songs.erase(song);
  }
}

std::int32_t CLyricsCommonSearchEngine::FindLyrics(unsigned songId, Nimbrel::LyricsInfo* info) {
  if (!dllInterface) {
    LogF(kError, L"%s: LyricsInterface = NULL", Prefix(L"FindLyrics"));
    SetStop();
    return 0;
  }
  const CString link(info->link);
  CString text;
  // A blank text is no text: it must not stand as lyrics nor end the search for them.
  if (!dllInterface->GetLyricsText(&link, &text) || CString(text).Trim().IsEmpty()) {
    LogF(kError, L"%s: Can not find Lyrics in %s", Prefix(L"FindLyrics"), link);
    return 0;
  }
  const CString source = SourceProperty(L"SourceName");
  const CString sourceId = SourceProperty(L"SourceId");
  info->lyrics = text.str() + L"\r\n" + source.str();
  info->source = source.str();
  info->sourceId = sourceId.str();
  LogF(kInfo, L"%s: FOUND IN %s: %s - %s", Prefix(L"FindLyrics"), source, info->artist, info->title);
  if (lyricsCallback) lyricsCallback(nimbrelObject, songId, info);
  ++foundNumber;
  return 1;
}

void CLyricsCommonSearchEngine::FillLyricsInfo(const Nimbrel::SongQuery& song, Nimbrel::LyricsInfo& info) {
  info.artist = song.artist;
  info.title = song.title;
  info.link = song.lyricsLink;
  info.source = SourceProperty(L"SourceName").str();
  info.sourceId = SourceProperty(L"SourceId").str();
}

void CLyricsCommonSearchEngine::WriteLyricsToCache(std::list<Nimbrel::LyricsInfo>& results, bool found,
                                                   bool searchedByArtist) {
  const CString source = SourceProperty(L"SourceName");
  const CString sourceId = SourceProperty(L"SourceId");
  for (auto& result : results) {
    result.source = source.str();
    result.sourceId = sourceId.str();
  }
  if (writeToCacheCallback) writeToCacheCallback(&results, found, searchedByArtist);
}

void CLyricsCommonSearchEngine::ReportNotFound(const SongQueue& songs, bool found, bool searchedByArtist) {
  if (songs.empty()) return;
  std::list<Nimbrel::LyricsInfo> results;
  for (const auto& song : songs) {
    results.emplace_back();
    FillLyricsInfo(song.query, results.back());
  }
  WriteLyricsToCache(results, found, searchedByArtist);
}
