#include "engines/LyricsCommonSearchEngine.h"

#include <memory>
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
        // The artist's answer kept from an earlier whole-artist search is
        // what the plug-in would give again: matched without asking it.
        const std::wstring artistKey = comparer_.Prepare(songs.front().query.artist.c_str()).Normalised();
        if (const auto kept = artists_ ? artists_->Find(source.str(), artistKey) : nullptr) {
          searchedByArtist = true;
          MatchLyrics(songs, *kept);
        } else {
          std::list<Nimbrel::LyricsInfo> candidates;
          bool found = false;
          const engines::SearchKind kind = engines::CollectCandidates(
              *dllInterface, songs, forceSearchByArtist, [this] { return IsStopped(); }, candidates,
              searchedByArtist, found);
          if (!found) {
            LogF(kWarning, L"%s: No Lyrics found in:%s, Artist: %s, type: %s", Prefix(L"GetAllLyrics"), source,
                 artist, engines::SearchKindName(kind));
          } else {
            auto prepared = std::make_shared<const CLyricsCandidates>(candidates, comparer_);
            MatchLyrics(songs, *prepared);
            WriteLyricsToCache(candidates, true, false);
            if (searchedByArtist && artists_ && !IsStopped()) artists_->Keep(source.str(), artistKey, prepared);
          }
        }
      }
    }
    // Songs that a stop or the time-out kept from being searched are not "not found".
    if (!IsStopped()) ReportNotFound(songs, false, searchedByArtist);
  } catch (...) {
    LogF(kError, L"%s: Catched unknown error. Artist = %s", Prefix(L"GetAllLyrics"), artist);
  }
}

void CLyricsCommonSearchEngine::MatchLyrics(SongQueue& songs, const CLyricsCandidates& candidates) {
  const std::size_t none = candidates.Size();
  for (auto song = songs.begin(); song != songs.end();) {
    if (IsStopped()) break;
    // An exact title is the match: nothing is nearer, and of equal titles the
    // index holds the first.
    std::size_t match = maxMatchDifference > 0.0f ? candidates.Exact(song->title.Normalised()) : none;
    if (match == none) {
      float best = maxMatchDifference;
      for (std::size_t i = 0; i < candidates.Size(); ++i) {
        if (IsStopped()) break;
        const float difference = engines::TitleDifference(comparer_, song->title, song->units, candidates.Title(i),
                                                          candidates.Units(i), best);
        if (difference < best) {
          best = difference;
          match = i;
        }
      }
    }
    if (match == none || IsStopped()) {
      ++song;
      continue;
    }
    Nimbrel::LyricsInfo info = candidates.At(match);
    FindLyrics(song->query.songId, &info);
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
