#include "core/NimbrelSong.h"

#include "core/CoverPixels.h"
#include "core/LoadedSources.h"
#include "core/MergeRule.h"
#include "core/RecordFields.h"
#include "core/SongValue.h"

#include <algorithm>
#include <climits>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

using Nimbrel::LyricsInfo;
using Nimbrel::SongInfo;

namespace {

using song_value::EqualNoCase;
using song_value::FileSize;
using song_value::IsSet;

// A text taken from a tag getter; empty when the tag is absent.
template <typename Getter>
std::wstring Read(Getter getter) {
  CString value;
  return getter(value) ? value.str() : std::wstring();
}

// The leading decimal integer of a text (blanks and a sign allowed before
// it), clamped to 32 bits; 0 when the text does not start with a number.
std::int64_t LeadingInteger(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && nimbrel::IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > INT_MAX) {
      value = negative ? std::int64_t{INT_MAX} + 1 : INT_MAX;
      break;
    }
  }
  return negative ? -value : value;
}




// Text fields in agreement order, after album, year and track number.
const std::wstring& TextField(const SongInfo& s, int field) {
  switch (field) {
    case CNimbrelSong::kGenre: return s.albumInfo.genre;
    case CNimbrelSong::kComment: return s.trackInfo.comment;
    case CNimbrelSong::kCopyright: return s.trackInfo.copyright;
    case CNimbrelSong::kEncodedBy: return s.trackInfo.encodedBy;
    case CNimbrelSong::kOriginalArtist: return s.trackInfo.originalArtist;
    case CNimbrelSong::kComposer: return s.trackInfo.composer;
    default: return s.albumInfo.album;
  }
}

// Whether `a` agrees with `b` on one field, as the agreement counts define it.
bool Agrees(const SongInfo& a, const SongInfo& b, int field) {
  switch (field) {
    case CNimbrelSong::kAlbum:
      return a.albumInfo.HasAlbum() && EqualNoCase(a.albumInfo.album, b.albumInfo.album);
    case CNimbrelSong::kYear:
      return a.albumInfo.year > 0 && a.albumInfo.year == b.albumInfo.year;
    case CNimbrelSong::kTrack:
      return a.trackInfo.trackNumber > 0 && a.trackInfo.trackNumber == b.trackInfo.trackNumber;
    default: {
      const std::wstring& mine = TextField(a, field);
      return !mine.empty() && EqualNoCase(mine, TextField(b, field));
    }
  }
}

int Sum(const CNimbrelSong::Agreement& counts) {
  int sum = 0;
  for (int c : counts) sum += c;
  return sum;
}

}  // namespace

SongInfo CNimbrelSong::ReadSongInfo(const Meridex::CTags& tags) {
  SongInfo info;
  info.albumInfo.artist = Read([&](CString& v) { return tags.GetFirstValidArtist(v); });
  info.trackInfo.title = Read([&](CString& v) { return tags.GetTitle(v); });
  info.albumInfo.SetAlbum(Read([&](CString& v) { return tags.GetAlbum(v); }));
  info.albumInfo.genre = Read([&](CString& v) { return tags.GetGenre(v); });
  info.trackInfo.composer = Read([&](CString& v) { return tags.GetComposer(0, v); });
  info.albumInfo.year = static_cast<std::int32_t>(LeadingInteger(Read([&](CString& v) { return tags.GetYear(v); })));
  info.trackInfo.SetTrackNumber(LeadingInteger(Read([&](CString& v) { return tags.GetTrackNumber(v); })));
  info.trackInfo.comment = Read([&](CString& v) { return tags.GetComment(v); });
  info.trackInfo.originalArtist = Read([&](CString& v) { return tags.GetOriginalArtist(v); });
  info.trackInfo.copyright = Read([&](CString& v) { return tags.GetCopyright(v); });
  info.trackInfo.encodedBy = Read([&](CString& v) { return tags.GetEncodedBy(v); });
  ReadRecordFields(tags, info);
  return info;
}

void CNimbrelSong::Init(const Meridex::CTags& tags, const CString& tempFolder) {
  CSingleLock lock(&candidateLock_);
  tags_ = tags;
  tempFolder_ = tempFolder;
  input_ = ReadSongInfo(tags_);
  ownCover_ = Meridex::CPictureTag();
  Meridex::CPictureTag picture;
  if (tags_.GetPicture(tags_.GetFrontCoverIndex(), picture) && !picture.IsEmpty()) {
    ownCover_ = picture;
    picture.SetDeleteFlag(true);
    int width = 0, height = 0;
    if (picture.GetPixelSize(width, height)) {
      input_.coverInfo.coverWidth = width;
      input_.coverInfo.coverHeight = height;
    }
  }
  inputLyrics_ = Read([&](CString& v) { return tags_.GetLyrics(v); });
  lyrics_ = inputLyrics_;
}

bool CNimbrelSong::AddCandidate(const SongInfo& info) {
  CSingleLock lock(&candidateLock_);
  for (const SongInfo& c : candidates_) {
    if (c.source == info.source && c.albumInfo.albumKey == info.albumInfo.albumKey &&
        c.albumInfo.album == info.albumInfo.album && c.albumInfo.albumNumber == info.albumInfo.albumNumber) {
      return false;
    }
  }
  candidates_.push_back(info);
  return true;
}

bool CNimbrelSong::AddLyricsCandidate(const LyricsInfo& lyrics) {
  CSingleLock lock(&lyricsLock_);
  for (const LyricsInfo& l : lyricsCandidates_) {
    if (l.lyrics == lyrics.lyrics) return false;
  }
  lyricsCandidates_.push_back(lyrics);
  return true;
}

std::size_t CNimbrelSong::CandidateCount() const {
  CSingleLock lock(&candidateLock_);
  return candidates_.size();
}

bool CNimbrelSong::GetCandidate(std::size_t index, SongInfo& out) const {
  CSingleLock lock(&candidateLock_);
  if (index >= candidates_.size()) return false;
  out = candidates_[index];
  return true;
}

std::vector<SongInfo> CNimbrelSong::Candidates() const {
  CSingleLock lock(&candidateLock_);
  return candidates_;
}

std::size_t CNimbrelSong::LyricsCandidateCount() const {
  CSingleLock lock(&lyricsLock_);
  return lyricsCandidates_.size();
}

Nimbrel::LyricsInfo CNimbrelSong::GetLyricsCandidate(std::size_t index) const {
  CSingleLock lock(&lyricsLock_);
  return index < lyricsCandidates_.size() ? lyricsCandidates_[index] : Nimbrel::LyricsInfo();
}

void CNimbrelSong::MarkSearched(const std::wstring& sourceName) {
  CSingleLock lock(&candidateLock_);
  searchedSources_.insert(sourceName);
}

std::set<std::wstring> CNimbrelSong::SearchedSources() const {
  CSingleLock lock(&candidateLock_);
  return searchedSources_;
}

void CNimbrelSong::MarkLyricsSearched(const std::wstring& sourceName) {
  CSingleLock lock(&lyricsLock_);
  searchedLyricsSources_.insert(sourceName);
}

std::set<std::wstring> CNimbrelSong::SearchedLyricsSources() const {
  CSingleLock lock(&lyricsLock_);
  return searchedLyricsSources_;
}

SongInfo CNimbrelSong::Input() const {
  CSingleLock lock(&candidateLock_);
  return input_;
}

Meridex::CPictureTag CNimbrelSong::OwnCover() const {
  CSingleLock lock(&candidateLock_);
  return ownCover_;
}

SongInfo CNimbrelSong::Result() const {
  CSingleLock lock(&candidateLock_);
  return result_;
}

void CNimbrelSong::SetResult(const SongInfo& result) {
  CSingleLock lock(&candidateLock_);
  result_ = result;
}

std::wstring CNimbrelSong::InputLyrics() const {
  CSingleLock lock(&candidateLock_);
  return inputLyrics_;
}

std::wstring CNimbrelSong::Lyrics() const {
  CSingleLock lock(&candidateLock_);
  return lyrics_;
}

CNimbrelSong::Agreement CNimbrelSong::CountVotes(const SongInfo& of, const std::vector<SongInfo>& over) {
  std::array<std::set<std::wstring>, std::tuple_size<Agreement>::value> sources, undecided;
  for (const SongInfo& other : over) {
    for (int field = 0; field < static_cast<int>(sources.size()); ++field) {
      if (Agrees(of, other, field)) sources[field].insert(other.source);
      // A source that also gave another value (the title on two of its
      // albums) cannot tell which is right: it votes for neither.
      else if (Agrees(other, other, field)) undecided[field].insert(other.source);
    }
  }
  Agreement votes{};
  for (std::size_t field = 0; field < sources.size(); ++field) {
    for (const std::wstring& source : undecided[field]) sources[field].erase(source);
    votes[field] = static_cast<int>(sources[field].size());
  }
  return votes;
}

CNimbrelSong::Agreement CNimbrelSong::CountAgreement(const SongInfo& of, const std::vector<SongInfo>& over) {
  Agreement counts{};
  for (const SongInfo& other : over) {
    for (int field = 0; field < static_cast<int>(counts.size()); ++field) {
      if (Agrees(of, other, field)) ++counts[field];
    }
  }
  return counts;
}

bool CNimbrelSong::IsFailed(bool wantBasic, bool wantCover, int criterion, unsigned sourceCount) const {
  CSingleLock lock(&candidateLock_);
  if (criterion == 3) return searchedSources_.size() < sourceCount;

  int maxAlbum = 0, maxGenre = 0, maxTrack = 0;
  unsigned covers = 0;
  for (const SongInfo& c : candidates_) {
    Agreement counts = CountAgreement(c, candidates_);
    maxAlbum = std::max(maxAlbum, counts[kAlbum]);
    maxGenre = std::max(maxGenre, counts[kGenre]);
    maxTrack = std::max(maxTrack, counts[kTrack]);
    if (!c.coverInfo.coverFile.empty()) ++covers;
  }

  bool found = false;
  bool coverFound = false;
  switch (criterion) {
    case 0:
      found = maxAlbum > 0 || maxGenre > 0 || maxTrack > 0;
      coverFound = covers != 0;
      break;
    case 1:
      found = maxAlbum > 0 && maxGenre > 0 && maxTrack > 0;
      coverFound = covers != 0;
      break;
    case 2: {
      const int half = static_cast<int>(sourceCount / 2);
      found = maxAlbum > half && maxGenre > half && maxTrack > half;
      coverFound = covers > 2;
      break;
    }
    default:
      break;
  }
  return (wantBasic && !found) || (wantCover && !coverFound);
}

bool CNimbrelSong::IsFailed(bool wantBasic, bool wantCover, int criterion,
                            const std::set<std::wstring>& loadedSources) const {
  if (criterion == 3) {
    CSingleLock lock(&candidateLock_);
    return CountLoaded(searchedSources_, loadedSources) < loadedSources.size();
  }
  return IsFailed(wantBasic, wantCover, criterion, static_cast<unsigned>(loadedSources.size()));
}

bool CNimbrelSong::IsLyricsFailed(int criterion, const std::set<std::wstring>& loadedSources) const {
  if (criterion == 3) {
    CSingleLock lock(&lyricsLock_);
    return CountLoaded(searchedLyricsSources_, loadedSources) < loadedSources.size();
  }
  return IsLyricsFailed(criterion, static_cast<unsigned>(loadedSources.size()));
}

void CNimbrelSong::SetSearched(bool basicTags, bool cover) {
  CSingleLock lock(&candidateLock_);
  searchedBasic_ = basicTags;
  searchedCover_ = cover;
}

bool CNimbrelSong::IsLyricsFailed(int criterion, unsigned lyricsSourceCount) const {
  CSingleLock lock(&lyricsLock_);
  if (criterion == 3) return searchedLyricsSources_.size() < lyricsSourceCount;
  std::size_t texts = 0;
  for (const LyricsInfo& l : lyricsCandidates_) {
    if (!l.lyrics.empty()) ++texts;
  }
  switch (criterion) {
    case 0:
    case 1: return texts == 0;
    case 2: return texts < 2;
    default: return true;
  }
}

int CNimbrelSong::ChooseBest(const std::vector<SongInfo>& considered, const SongInfo* bonusInput) {
  // The earliest plausible year earns a bonus; 2999 stands in when no
  // candidate has a year in range.
  std::int32_t earliest = 0;
  for (const SongInfo& c : considered) {
    const std::int32_t y = c.albumInfo.year;
    if (y > 0 && y < 2999 && (earliest == 0 || y < earliest)) earliest = y;
  }
  if (earliest == 0) earliest = 2999;

  int best = -1;
  int bestScore = 0;
  for (std::size_t i = 0; i < considered.size(); ++i) {
    const SongInfo& c = considered[i];
    int score = Sum(CountAgreement(c, considered));
    if (bonusInput) score += Sum(CountAgreement(c, {*bonusInput}));
    if (!c.coverInfo.coverFile.empty()) score += 3;
    if (c.albumInfo.year == earliest) score += 2;
    if (score > bestScore) {
      bestScore = score;
      best = static_cast<int>(i);
    }
  }
  return best;
}

void CNimbrelSong::Finish(int overwritePolicy) {
  std::vector<LyricsInfo> lyricsCandidates;
  {
    CSingleLock lock(&lyricsLock_);
    lyricsCandidates = lyricsCandidates_;
  }
  CSingleLock lock(&candidateLock_);
  result_ = input_;
  lyrics_ = inputLyrics_;

  const CMergeRule rule(overwritePolicy);
  if (!rule.Valid()) return;
  const double weight = rule.Weight();

  // Lyrics: each candidate in turn replaces the choice when its text is not
  // much shorter than the file's, so the last one decides. This does not
  // depend on a basic-tags candidate: a lyrics-only search must still
  // deliver its lyrics.
  const double inputLyricsLength = static_cast<double>(platform::Utf16Length(inputLyrics_));
  for (const LyricsInfo& l : lyricsCandidates) {
    lyrics_ = static_cast<double>(platform::Utf16Length(l.lyrics)) >= inputLyricsLength * weight ? l.lyrics
                                                                                              : inputLyrics_;
  }

  std::vector<SongInfo> considered = candidates_;
  if (overwritePolicy == 1) {
    auto narrow = [&](auto keep) {
      std::vector<SongInfo> kept;
      for (const SongInfo& c : considered) {
        if (keep(c)) kept.push_back(c);
      }
      considered.swap(kept);
    };
    if (input_.albumInfo.HasAlbum()) {
      narrow([&](const SongInfo& c) { return EqualNoCase(c.albumInfo.album, input_.albumInfo.album); });
    }
    if (input_.albumInfo.year > 0) {
      narrow([&](const SongInfo& c) { return c.albumInfo.year == input_.albumInfo.year; });
    }
    if (input_.trackInfo.trackNumber > 0) {
      narrow([&](const SongInfo& c) { return c.trackInfo.trackNumber == input_.trackInfo.trackNumber; });
    }
  }
  const int bestIndex = ChooseBest(considered, overwritePolicy == 3 ? &input_ : nullptr);
  if (bestIndex < 0) return;
  const SongInfo best = considered[bestIndex];

  SongInfo& r = result_;
  if (searchedBasic_) MergeBasic(best, CountVotes(best, candidates_), rule);
  // A run without covers keeps the file's picture, whatever a candidate has.
  if (!searchedCover_) return;
  const double inputCover = static_cast<double>(ownCover_.GetSize());
  const double bestCover = static_cast<double>(FileSize(best.coverInfo.coverFile));
  // The cover must belong to the result's album; a covers-only run on a file
  // that names no album has no album to contradict it.
  const bool albumAgrees = EqualNoCase(best.albumInfo.album, r.albumInfo.album) ||
                           (!searchedBasic_ && !IsSet(r.albumInfo.album));
  // Bytes say little about a picture: a file's own cover of more pixels
  // is never replaced by a smaller one.
  if (rule.CoverWins(bestCover, inputCover) && albumAgrees && !CoverPixels::Larger(ownCover_, best.coverInfo.coverFile)) {
    r.coverInfo = best.coverInfo;
  }
}

void CNimbrelSong::MergeBasic(const SongInfo& best, const Agreement& votes, const CMergeRule& rule) {
  auto wins = [&](int field, bool present) { return rule.Wins(votes[field], present); };
  SongInfo& r = result_;
  const bool albumTaken = wins(kAlbum, IsSet(input_.albumInfo.album));
  if (albumTaken) {
    r.albumInfo.album = best.albumInfo.album;
    r.albumInfo.albumKey = best.albumInfo.albumKey;
    r.albumInfo.albumNumber = best.albumInfo.albumNumber;
  }
  // Year and track number are the album's: taken only from a best candidate
  // of the result's album, and each by its own votes, so a found album does
  // not carry its year and track number over the file's own ones.
  if (EqualNoCase(best.albumInfo.album, r.albumInfo.album)) {
    if (wins(kYear, input_.albumInfo.year > 0)) r.albumInfo.year = best.albumInfo.year;
    const bool trackTaken = wins(kTrack, input_.trackInfo.trackNumber > 0);
    if (trackTaken) r.trackInfo.trackNumber = best.trackInfo.trackNumber;
    MergeRecordFields(best, albumTaken, albumTaken && !EqualNoCase(input_.albumInfo.album, best.albumInfo.album),
                      trackTaken, r);
  }

  auto takeText = [&](int field, std::wstring& target) {
    if (wins(field, IsSet(TextField(input_, field)))) target = TextField(best, field);
  };
  takeText(kGenre, r.albumInfo.genre);
  takeText(kComment, r.trackInfo.comment);
  takeText(kCopyright, r.trackInfo.copyright);
  takeText(kEncodedBy, r.trackInfo.encodedBy);
  takeText(kOriginalArtist, r.trackInfo.originalArtist);
  takeText(kComposer, r.trackInfo.composer);
}

bool CNimbrelSong::EndPart(std::atomic<bool>& mine, const std::atomic<bool>& other, int overwritePolicy) {
  CSingleLock lock(&completionLock_);
  if (mine.load(std::memory_order_acquire)) return false;  // this part has ended before
  if (!other.load(std::memory_order_acquire)) {
    mine.store(true, std::memory_order_release);
    return false;
  }
  Finish(overwritePolicy);
  mine.store(true, std::memory_order_release);
  return true;
}

bool CNimbrelSong::EndBasicPart(int overwritePolicy) { return EndPart(basicDone_, lyricsDone_, overwritePolicy); }

bool CNimbrelSong::EndLyricsPart(int overwritePolicy) { return EndPart(lyricsDone_, basicDone_, overwritePolicy); }

bool CNimbrelSong::Complete(int overwritePolicy) {
  CSingleLock lock(&completionLock_);
  if (IsDone()) return false;
  Finish(overwritePolicy);
  basicDone_.store(true, std::memory_order_release);
  lyricsDone_.store(true, std::memory_order_release);
  return true;
}
