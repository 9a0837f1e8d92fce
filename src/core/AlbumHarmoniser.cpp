#include "core/AlbumHarmoniser.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "core/CoverPixels.h"
#include "core/MergeRule.h"
#include "core/SongValue.h"
#include "platform/FileSystem.h"

using Nimbrel::SongInfo;

namespace {

using song_value::EqualNoCase;
using song_value::FileSize;
using song_value::IsSet;



// The values the sources gave one field of the album, each with the set of
// sources that gave it; values equal ignoring case are one.
template <class Value>
class Ballot {
 public:
  void Add(const Value& value, const std::wstring& source) {
    for (Entry& entry : entries_) {
      if (Same(entry.value, value)) {
        entry.sources.insert(source);
        return;
      }
    }
    entries_.push_back({value, {source}});
  }
  // The value most sources gave, the first given on equal support; null
  // when nothing was given.
  const Value* Winner(std::size_t& votes) const {
    const Entry* best = nullptr;
    for (const Entry& entry : entries_) {
      if (!best || entry.sources.size() > best->sources.size()) best = &entry;
    }
    votes = best ? best->sources.size() : 0;
    return best ? &best->value : nullptr;
  }

 private:
  struct Entry {
    Value value;
    std::set<std::wstring> sources;
  };
  static bool Same(const std::wstring& a, const std::wstring& b) { return EqualNoCase(a, b); }
  static bool Same(std::int32_t a, std::int32_t b) { return a == b; }
  std::vector<Entry> entries_;
};

}  // namespace

void CAlbumHarmoniser::Harmonise(const std::vector<boost::shared_ptr<CNimbrelSong>>& songs, bool basic, bool cover,
                                 int overwritePolicy) {
  const CMergeRule rule(overwritePolicy);
  if (songs.size() < 2 || (!basic && !cover) || !rule.Valid()) return;

  std::vector<SongInfo> results;
  std::vector<SongInfo> inputs;
  Ballot<std::wstring> albums, genres;
  Ballot<std::int32_t> years;
  for (const auto& song : songs) {
    results.push_back(song->Result());
    inputs.push_back(song->Input());
    // The sources' answers about this album, whichever song they came with.
    for (const SongInfo& c : song->Candidates()) {
      if (!IsSet(c.albumInfo.album) || !EqualNoCase(c.albumInfo.album, results.back().albumInfo.album)) continue;
      albums.Add(c.albumInfo.album, c.source);
      if (!c.albumInfo.genre.empty()) genres.Add(c.albumInfo.genre, c.source);
      if (c.albumInfo.year > 0) years.Add(c.albumInfo.year, c.source);
    }
  }
  std::size_t albumVotes = 0, genreVotes = 0, yearVotes = 0;
  const std::wstring* album = albums.Winner(albumVotes);
  const std::wstring* genre = genres.Winner(genreVotes);
  const std::int32_t* year = years.Winner(yearVotes);

  // The largest cover found by a search; a file's own picture is not
  // handed to the other songs (a result that kept it names no file).
  const SongInfo* largest = nullptr;
  std::int64_t largestSize = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::wstring& file = results[i].coverInfo.coverFile;
    if (file.empty() || file == inputs[i].coverInfo.coverFile) continue;
    const std::int64_t size = FileSize(file);
    if (!largest || size > largestSize) {
      largest = &results[i];
      largestSize = size;
    }
  }

  for (std::size_t i = 0; i < songs.size(); ++i) {
    // A song whose search found nothing keeps the file's tags as they are.
    if (songs[i]->CandidateCount() == 0) continue;
    SongInfo merged = results[i];
    const SongInfo& input = inputs[i];
    if (basic) {
      if (album && rule.Wins(static_cast<int>(albumVotes), IsSet(input.albumInfo.album))) {
        merged.albumInfo.album = *album;
      }
      if (genre && rule.Wins(static_cast<int>(genreVotes), !input.albumInfo.genre.empty())) {
        merged.albumInfo.genre = *genre;
      }
      if (year && rule.Wins(static_cast<int>(yearVotes), input.albumInfo.year > 0)) merged.albumInfo.year = *year;
    }
    const Meridex::CPictureTag own = songs[i]->OwnCover();
    if (cover && largest &&
        rule.CoverWins(static_cast<double>(largestSize), static_cast<double>(own.GetSize())) &&
        !CoverPixels::Larger(own, largest->coverInfo.coverFile)) {
      merged.coverInfo = largest->coverInfo;
    }
    songs[i]->SetResult(merged);
  }
}
