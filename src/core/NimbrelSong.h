// One song under tagging: a copy of the host's tags, what was read from them,
// the candidates found so far, the lyrics found, the sources already asked,
// and whether its two searches (basic tags, lyrics) have ended.
//
// Shared between the tagging object and its jobs through
// boost::shared_ptr<CNimbrelSong>, so a song removed by the host stays valid
// while a job still works on it. Every operation may be called from any
// thread: candidates, input and result are guarded by one lock, lyrics
// candidates by another.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "meridex/Tags.h"
#include "nimbrel/CString.h"
#include "nimbrel/LyricsInfo.h"
#include "nimbrel/SongInfo.h"
#include "platform/CriticalSection.h"

class CMergeRule;

class CNimbrelSong {
 public:
  CNimbrelSong() = default;
  CNimbrelSong(const CNimbrelSong&) = delete;
  CNimbrelSong& operator=(const CNimbrelSong&) = delete;

  // Copies `tags` and reads the search input and the lyrics from them. The
  // front cover found in the tags becomes the song's own cover (OwnCover)
  // and is marked for deletion, so a temporary copy goes when the last
  // holder drops it. The input's cover part names no file and gives the
  // cover's pixel size: a picture still inside its media file is not
  // extracted only because the song was added.
  // `tempFolder` is where tag sets built for this song keep their files.
  void Init(const Meridex::CTags& tags, const CString& tempFolder);

  // Reads a tag set the way a song's input is read: first valid artist,
  // title, album ("Unknown" when empty), numbers as leading decimals.
  static Nimbrel::SongInfo ReadSongInfo(const Meridex::CTags& tags);

  // Appends a candidate unless one with the same source, album key, album and
  // album number is there already. True when appended.
  bool AddCandidate(const Nimbrel::SongInfo& info);
  // Appends a lyrics candidate unless one with the same text is there. True
  // when appended.
  bool AddLyricsCandidate(const Nimbrel::LyricsInfo& lyrics);

  std::size_t CandidateCount() const;
  // False when `index` is out of range.
  bool GetCandidate(std::size_t index, Nimbrel::SongInfo& out) const;
  std::vector<Nimbrel::SongInfo> Candidates() const;
  std::size_t LyricsCandidateCount() const;
  // The lyrics candidate at `index`; an empty record when out of range.
  Nimbrel::LyricsInfo GetLyricsCandidate(std::size_t index) const;

  void MarkSearched(const std::wstring& sourceName);
  std::set<std::wstring> SearchedSources() const;
  void MarkLyricsSearched(const std::wstring& sourceName);
  std::set<std::wstring> SearchedLyricsSources() const;

  Nimbrel::SongInfo Input() const;
  // The file's own front cover; empty when it has none.
  Meridex::CPictureTag OwnCover() const;
  Nimbrel::SongInfo Result() const;
  void SetResult(const Nimbrel::SongInfo& result);
  std::wstring InputLyrics() const;
  // The lyrics chosen by Finish; the input's lyrics before.
  std::wstring Lyrics() const;
  // The host's tags as given to Init (not changed afterwards).
  const Meridex::CTags& Tags() const { return tags_; }
  const CString& TempFolder() const { return tempFolder_; }

  // Whether the basic-tags search has not yet found enough. `criterion`:
  // 0 any of album, genre or track number found (cover: one cover file);
  // 1 all three (cover: one); 2 each agreed on by more than half of
  // `sourceCount` candidates (cover: more than two); 3 failed while fewer
  // than `sourceCount` sources were asked; anything else: failed.
  bool IsFailed(bool wantBasic, bool wantCover, int criterion, unsigned sourceCount) const;
  // Whether the lyrics search has not yet found enough: criterion 0 or 1 no
  // text yet; 2 fewer than two texts; 3 fewer than `lyricsSourceCount`
  // sources asked; anything else: failed.
  bool IsLyricsFailed(int criterion, unsigned lyricsSourceCount) const;
  // The same two tests against the names of the sources loaded now:
  // `sourceCount` is their number, and criterion 3 counts only the asked
  // sources among them, so a name that belongs to no loaded source (a
  // server record's source, one of another machine) never stands in for
  // a loaded source that was not asked.
  bool IsFailed(bool wantBasic, bool wantCover, int criterion, const std::set<std::wstring>& loadedSources) const;
  bool IsLyricsFailed(int criterion, const std::set<std::wstring>& loadedSources) const;

  // What the run searched for: without basic tags the merge keeps the
  // input's album, genre, year, track number and the other found texts;
  // without covers it keeps the input's cover. Both on until set.
  void SetSearched(bool basicTags, bool cover);

  // Merges the best candidate into the result and chooses the final lyrics,
  // by the overwrite policy: 1 fills only what the file lacks, 2 takes every
  // found value, 3 replaces a file's value only when candidates agree.
  void Finish(int overwritePolicy);

  // Completion. Each search job of the song ends its part once; the call that
  // ends the second part runs Finish and only then marks the song done, so a
  // song seen done always has its merged result. True when this call
  // finished the song.
  bool EndBasicPart(int overwritePolicy);
  bool EndLyricsPart(int overwritePolicy);
  // Finishes the song now unless it is done already (the end of a run).
  bool Complete(int overwritePolicy);
  bool basicDone() const { return basicDone_.load(std::memory_order_acquire); }
  bool lyricsDone() const { return lyricsDone_.load(std::memory_order_acquire); }
  // Both parts ended and the result merged.
  bool IsDone() const { return basicDone() && lyricsDone(); }

  // Agreement counts of one record over a set of records, in this order:
  // album, genre, year, track number, comment, copyright, encoded-by,
  // original artist, composer. Each counts the records whose value equals
  // `of`'s (texts ignoring case); empty texts, an "Unknown" album and numbers
  // not above 0 count nothing.
  using Agreement = std::array<int, 9>;
  enum AgreementField { kAlbum, kGenre, kYear, kTrack, kComment, kCopyright, kEncodedBy, kOriginalArtist, kComposer };
  static Agreement CountAgreement(const Nimbrel::SongInfo& of, const std::vector<Nimbrel::SongInfo>& over);
  // The same fields, counting the distinct sources of the agreeing records:
  // what a found value needs to replace a file's own (CMergeRule). A source
  // that also gave another value of a field (a title on two of its albums)
  // votes for none on that field.
  static Agreement CountVotes(const Nimbrel::SongInfo& of, const std::vector<Nimbrel::SongInfo>& over);

 private:
  bool EndPart(std::atomic<bool>& mine, const std::atomic<bool>& other, int overwritePolicy);
  // Takes the found basic fields of `best` into the result where they win.
  // The caller holds the candidate lock.
  void MergeBasic(const Nimbrel::SongInfo& best, const Agreement& votes, const CMergeRule& rule);
  // Index of the best candidate among `considered`, or -1.
  static int ChooseBest(const std::vector<Nimbrel::SongInfo>& considered, const Nimbrel::SongInfo* bonusInput);

  std::atomic<bool> lyricsDone_{false};
  std::atomic<bool> basicDone_{false};
  Meridex::CTags tags_;
  CString tempFolder_;

  mutable CCriticalSection candidateLock_;  // input, result, candidates, lyrics, searched sources
  Nimbrel::SongInfo input_;
  Meridex::CPictureTag ownCover_;
  Nimbrel::SongInfo result_;
  std::vector<Nimbrel::SongInfo> candidates_;
  std::wstring inputLyrics_;
  std::wstring lyrics_;
  std::set<std::wstring> searchedSources_;
  bool searchedBasic_ = true;
  bool searchedCover_ = true;

  mutable CCriticalSection lyricsLock_;  // lyrics candidates, searched lyrics sources
  std::vector<Nimbrel::LyricsInfo> lyricsCandidates_;
  std::set<std::wstring> searchedLyricsSources_;

  // Serialises the end of the two parts, so exactly one of them finishes.
  CCriticalSection completionLock_;
};
