// What both concrete engines share for one search: the songs still to be
// found, each with its title prepared once for matching, and the choice of
// the plug-in's search kind with the collection of its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "engines/StringComparer.h"
#include "nimbrel/CString.h"
#include "nimbrel/SongQuery.h"

namespace engines {

// The length of a normalised text in UTF-16 code units, the units the
// string difference works on.
inline std::size_t Utf16Units(const std::wstring& text) {
  std::size_t units = text.size();
  for (const wchar_t c : text) units += static_cast<std::uint32_t>(c) > 0xFFFF ? 1 : 0;
  return units;
}

// A lower bound of the difference of two texts whose normalised lengths are
// `a` and `b` UTF-16 units: each unit of the gap needs an insertion or a
// deletion, and the cheapest (a blank, inside brackets) costs 5 * 0.1.
inline float LengthBound(std::size_t a, std::size_t b) {
  constexpr float kCheapestEdit = 0.5f * 0.999f;  // kept below the true cost despite rounding
  return static_cast<float>(a > b ? a - b : b - a) * kCheapestEdit;
}

// The difference of a song's title (`a`, `aUnits` long) against a found
// title, exact below `best`; at least `best` otherwise. Equal texts and
// lengths too far apart are settled without the table.
inline float TitleDifference(const nimbrel::StringComparer& comparer, const nimbrel::StringComparer::Prepared& a,
                             std::size_t aUnits, const nimbrel::StringComparer::Prepared& b, std::size_t bUnits,
                             float best) {
  const float bound = LengthBound(aUnits, bUnits);
  if (bound >= best) return bound;
  if (aUnits == bUnits && a.Normalised() == b.Normalised()) return 0.0f;
  return comparer.Difference(a, b, best);
}

// A song handed to a search, its title prepared for the string difference.
struct QueuedSong {
  Nimbrel::SongQuery query;
  nimbrel::StringComparer::Prepared title;
  std::size_t units = 0;  // of the prepared title
  // Set by the basic-tags search once the title was found exactly on an album
  // by the song's own artist: the normalised name of that album. The song then
  // waits for the rest of that artist's albums, whose exact matches are
  // reported too (a title on several albums is ambiguous), and leaves once
  // another album holds it as well.
  std::wstring exactAlbum;
};
using SongQueue = std::list<QueuedSong>;

inline SongQueue QueueSongs(std::list<Nimbrel::SongQuery>& songs, const nimbrel::StringComparer& comparer) {
  SongQueue queue;
  for (auto& song : songs) {
    QueuedSong queued;
    queued.query = std::move(song);
    queued.title = comparer.Prepare(queued.query.title.c_str());
    queued.units = Utf16Units(queued.title.Normalised());
    queue.push_back(std::move(queued));
  }
  songs.clear();
  return queue;
}

// The plug-in's search kinds.
enum class SearchKind { kByArtist = 0, kIterationCosts = 1, kArtistAndTitle = 2 };

// The kind's name in the "nothing found" entries.
inline const wchar_t* SearchKindName(SearchKind kind) {
  switch (kind) {
    case SearchKind::kIterationCosts: return L"a+t";
    case SearchKind::kArtistAndTitle: return L"at";
    default: return L"a";
  }
}

// Asks `plugin` (a CBasicTagsDllInterface or CLyricsDllInterface) for the
// candidates of `songs` by the search kind it prefers, or by artist when
// `forceByArtist`, appending them to `found`. Each song's answers go in front
// of those of the songs before it. `isStopped` is asked before every song.
// Sets `searchedByArtist` when the whole artist was searched. Returns the
// kind used and sets `anything` by whether candidates were found.
template <class Plugin, class Result, class IsStopped>
SearchKind CollectCandidates(Plugin& plugin, const SongQueue& songs, bool forceByArtist, IsStopped isStopped,
                             std::list<Result>& found, bool& searchedByArtist, bool& anything) {
  std::int32_t supported = 0;
  if (!forceByArtist && !plugin.GetProperty(CString(L"SupportedSearch"), &supported)) supported = 0;
  const CString firstArtist(songs.front().query.artist);
  const CString noTitle;
  std::list<Result> scratch;
  if (supported == static_cast<std::int32_t>(SearchKind::kArtistAndTitle)) {
    for (const auto& song : songs) {
      if (isStopped()) break;
      const CString artist(song.query.artist), title(song.query.title);
      plugin.FindAlbums(&artist, &title, scratch, false);
      found.splice(found.begin(), scratch);
    }
    anything = !found.empty();
    return SearchKind::kArtistAndTitle;
  }
  if (supported == static_cast<std::int32_t>(SearchKind::kIterationCosts)) {
    // The cost of searching the whole artist (A + its hits) against that of
    // searching this and every remaining title (T + hits + remaining * T),
    // as unsigned 32-bit sums.
    std::int32_t albumsConstant = 0, titlesConstant = 0;
    anything = false;
    if (!plugin.GetProperty(CString(L"AlbumsItearationConstant"), &albumsConstant) ||
        !plugin.GetProperty(CString(L"TitlesItearationConstant"), &titlesConstant)) {
      return SearchKind::kIterationCosts;
    }
    bool artistAsked = false;
    std::int32_t artistHits = -1;
    std::uint32_t index = 0;
    const auto count = static_cast<std::uint32_t>(songs.size());
    for (const auto& song : songs) {
      if (isStopped()) break;
      ++index;
      const CString artist(song.query.artist), title(song.query.title);
      const std::int32_t hits = plugin.FindAlbums(&artist, &title, scratch, true);
      if (hits <= 0) {
        found.splice(found.begin(), scratch);
        continue;
      }
      if (!artistAsked) {
        artistAsked = true;
        artistHits = plugin.FindAlbums(&firstArtist, &noTitle, scratch, true);
      }
      const std::uint32_t byArtist = static_cast<std::uint32_t>(albumsConstant) + static_cast<std::uint32_t>(artistHits);
      const std::uint32_t byTitle = static_cast<std::uint32_t>(titlesConstant) + static_cast<std::uint32_t>(hits) +
                                    (count - index) * static_cast<std::uint32_t>(titlesConstant);
      // An artist count below 0 is an error answer, not a small artist.
      if (artistHits < 0 || byArtist > byTitle) {
        plugin.FindAlbums(&artist, &title, scratch, false);
        found.splice(found.begin(), scratch);
        continue;
      }
      plugin.FindAlbums(&artist, &noTitle, scratch, false);
      found.splice(found.begin(), scratch);
      searchedByArtist = true;
      break;
    }
    anything = !found.empty();
    return SearchKind::kIterationCosts;
  }
  searchedByArtist = true;
  anything = plugin.FindAlbumsByArtist(&firstArtist, found) != 0;
  return SearchKind::kByArtist;
}

}  // namespace engines
