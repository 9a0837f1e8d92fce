#include "core/NimbrelSong.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "support/ScratchFolder.h"

namespace {

using Nimbrel::LyricsInfo;
using Nimbrel::SongInfo;
using testing_support::ScratchFolder;

SongInfo Candidate(const std::wstring& source, const std::wstring& album, const std::wstring& genre = L"",
                   std::int64_t track = 0, std::int32_t year = 0) {
  SongInfo s(L"Artist", L"Title", album);
  s.source = source;
  s.albumInfo.genre = genre;
  s.trackInfo.SetTrackNumber(track);
  s.albumInfo.year = year;
  return s;
}

LyricsInfo Lyrics(const std::wstring& text) {
  LyricsInfo l;
  l.lyrics = text;
  return l;
}

// A song whose input comes from a tag set with the given genre and album.
void InitSong(CNimbrelSong& song, const wchar_t* genre = nullptr, const wchar_t* album = nullptr) {
  Meridex::CTags tags;
  tags.AddArtist(L"  ", false);
  tags.AddArtist(L" Artist ", false);
  tags.SetTitle(L"Title");
  if (genre) tags.SetGenre(genre);
  if (album) tags.SetAlbum(album);
  song.Init(tags, L"/tmp/");
}

TEST(NimbrelSongTest, InitReadsTagsAndTakesOverTheirPicture) {
  ScratchFolder folder;
  const std::wstring cover = folder / L"cover.jpg";
  testing_support::WriteFileBytes(cover, "jpeg");
  // A picture in the tag set's temporary folder is Meridex's own copy, as one
  // extracted from a media file is; a host's own picture file would be kept.
  Meridex::CTags tags(folder.path());
  tags.AddArtist(L"  ", false);
  tags.AddArtist(L" The Band ", false);
  tags.SetTitle(L"Song");
  tags.SetYear(L" 2001-05-03");
  tags.SetTrackNumber(L"3/12");
  tags.AddComposer(L"Writer", false);
  tags.SetLyrics(L"la la");
  tags.AddPicture(Meridex::CPictureTag(cover.c_str(), L"image/jpeg", 3, L"", false));

  CNimbrelSong song;
  song.Init(tags, L"/tmp/x/");
  const SongInfo in = song.Input();
  EXPECT_EQ(in.albumInfo.artist, L"The Band");
  EXPECT_EQ(in.trackInfo.title, L"Song");
  EXPECT_EQ(in.albumInfo.album, L"Unknown");
  EXPECT_EQ(in.albumInfo.year, 2001);
  EXPECT_EQ(in.trackInfo.trackNumber, 3u);
  EXPECT_EQ(in.trackInfo.composer, L"Writer");
  EXPECT_EQ(in.coverInfo.coverFile, L"");  // the own cover is the song's, named by no file
  EXPECT_EQ(song.OwnCover().GetFilePath().str(), cover);
  EXPECT_EQ(song.InputLyrics(), L"la la");

  Meridex::CTags odd;
  odd.SetYear(L"year two");
  odd.SetTrackNumber(L"-2");
  const SongInfo parsed = CNimbrelSong::ReadSongInfo(odd);
  EXPECT_EQ(parsed.albumInfo.year, 0);
  EXPECT_EQ(parsed.trackInfo.trackNumber, 0u);

  // The picture is marked for deletion: Meridex's copy goes with the last tag set holding it.
  tags = Meridex::CTags();
  EXPECT_TRUE(platform::PathExists(cover));
  song.Init(Meridex::CTags(), L"/tmp/");
  EXPECT_FALSE(platform::PathExists(cover));
}

TEST(NimbrelSongTest, CandidateIdentityIsSourceAlbumKeyAlbumAndNumber) {
  CNimbrelSong song;
  SongInfo a = Candidate(L"src", L"Album");
  a.albumInfo.albumKey = L"k1";
  EXPECT_TRUE(song.AddCandidate(a));
  SongInfo otherTitle = a;
  otherTitle.trackInfo.title = L"Other";
  EXPECT_FALSE(song.AddCandidate(otherTitle));
  SongInfo otherNumber = a;
  otherNumber.albumInfo.albumNumber = 2;
  EXPECT_TRUE(song.AddCandidate(otherNumber));
  SongInfo otherSource = a;
  otherSource.source = L"src2";
  EXPECT_TRUE(song.AddCandidate(otherSource));
  EXPECT_EQ(song.CandidateCount(), 3u);
  SongInfo out;
  EXPECT_FALSE(song.GetCandidate(3, out));
  ASSERT_TRUE(song.GetCandidate(1, out));
  EXPECT_EQ(out.albumInfo.albumNumber, 2);

  EXPECT_TRUE(song.AddLyricsCandidate(Lyrics(L"text")));
  EXPECT_FALSE(song.AddLyricsCandidate(Lyrics(L"text")));
  EXPECT_EQ(song.LyricsCandidateCount(), 1u);
  EXPECT_EQ(song.GetLyricsCandidate(5).lyrics, L"");
}

TEST(NimbrelSongTest, SuccessCriteria) {
  CNimbrelSong song;
  EXPECT_TRUE(song.IsFailed(true, false, 0, 2));
  EXPECT_FALSE(song.IsFailed(false, false, 0, 2));
  song.AddCandidate(Candidate(L"a", L"Unknown", L"Rock"));  // genre only
  EXPECT_FALSE(song.IsFailed(true, false, 0, 2));
  EXPECT_TRUE(song.IsFailed(true, true, 0, 2));  // no cover file yet
  EXPECT_TRUE(song.IsFailed(true, false, 1, 2));  // no album, no track number
  song.AddCandidate(Candidate(L"b", L"Album", L"rock", 4));
  EXPECT_FALSE(song.IsFailed(true, false, 1, 2));
  // Criterion 2: each field agreed on by more than half of the sources.
  EXPECT_TRUE(song.IsFailed(true, false, 2, 2));
  song.AddCandidate(Candidate(L"c", L"ALBUM", L"Rock", 4));
  EXPECT_FALSE(song.IsFailed(true, false, 2, 2));
  EXPECT_TRUE(song.IsFailed(true, false, 2, 4));
  // Criterion 3: every source asked, whatever was found.
  EXPECT_TRUE(song.IsFailed(false, false, 3, 1));
  song.MarkSearched(L"a");
  song.MarkSearched(L"a");
  EXPECT_FALSE(song.IsFailed(true, true, 3, 1));
  EXPECT_TRUE(song.IsFailed(false, false, 3, 2));
  EXPECT_TRUE(song.IsFailed(true, false, 7, 0));  // an unknown criterion never finds
  // Criterion 2 asks for more than two covers.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(song.IsFailed(false, true, 2, 1)) << i;
    SongInfo covered = Candidate(L"cover" + std::to_wstring(i), L"Album");
    covered.coverInfo.coverFile = L"/covers/" + std::to_wstring(i);
    song.AddCandidate(covered);
  }
  EXPECT_FALSE(song.IsFailed(false, true, 2, 1));

  EXPECT_TRUE(song.IsLyricsFailed(0, 1));
  song.AddLyricsCandidate(Lyrics(L""));
  EXPECT_TRUE(song.IsLyricsFailed(1, 1));  // an empty text counts for nothing
  song.AddLyricsCandidate(Lyrics(L"one"));
  EXPECT_FALSE(song.IsLyricsFailed(0, 1));
  EXPECT_TRUE(song.IsLyricsFailed(2, 1));
  song.MarkLyricsSearched(L"x");
  EXPECT_FALSE(song.IsLyricsFailed(3, 1));
  EXPECT_TRUE(song.IsLyricsFailed(9, 0));
}

// Policy 1 keeps the file's values and narrows to its album, 2 takes every
// found value, 3 needs two agreeing candidates; an unknown one leaves the input.
TEST(NimbrelSongTest, PoliciesDecideWhichFoundValuesAreTaken) {
  CNimbrelSong one;
  InitSong(one, L"Jazz");
  for (int i = 0; i < 5; ++i) one.AddCandidate(Candidate(L"s" + std::to_wstring(i), L"Album", L"Rock", 2, 1999));
  one.Finish(1);
  const SongInfo r = one.Result();
  EXPECT_EQ(r.albumInfo.genre, L"Jazz");
  EXPECT_EQ(r.albumInfo.album, L"Album");  // the file has none: filled in
  EXPECT_EQ(r.albumInfo.year, 1999);
  EXPECT_EQ(r.trackInfo.title, L"Title");
  EXPECT_EQ(r.albumInfo.artist, L"Artist");

  CNimbrelSong narrow;
  InitSong(narrow, nullptr, L"First");
  narrow.AddCandidate(Candidate(L"a", L"Second", L"Rock"));
  narrow.Finish(1);
  EXPECT_EQ(narrow.Result().albumInfo.genre, L"");  // no candidate of this album: nothing taken
  narrow.AddCandidate(Candidate(L"b", L"first", L"Pop"));
  narrow.Finish(1);
  EXPECT_EQ(narrow.Result().albumInfo.genre, L"Pop");
  EXPECT_EQ(narrow.Result().albumInfo.album, L"First");

  CNimbrelSong two;
  InitSong(two, L"Jazz", L"Old");
  two.AddCandidate(Candidate(L"a", L"New", L"Rock", 7, 2004));
  two.Finish(2);
  EXPECT_EQ(two.Result().albumInfo.genre, L"Rock");
  EXPECT_EQ(two.Result().albumInfo.album, L"New");
  EXPECT_EQ(two.Result().trackInfo.trackNumber, 7u);
  EXPECT_EQ(two.Result().albumInfo.year, 2004);

  CNimbrelSong three;
  InitSong(three, L"Jazz");
  three.AddCandidate(Candidate(L"a", L"Album", L"Rock"));
  three.AddCandidate(Candidate(L"b", L"Other", L"Pop"));
  three.Finish(3);
  EXPECT_EQ(three.Result().albumInfo.genre, L"Jazz");
  three.AddCandidate(Candidate(L"c", L"Album", L"ROCK"));
  three.Finish(3);
  EXPECT_EQ(three.Result().albumInfo.genre, L"Rock");
  three.Finish(0);
  EXPECT_EQ(three.Result().albumInfo.genre, L"Jazz");
}

// The album of the result shows which candidate was chosen as the best.
std::wstring BestAlbum(const std::vector<SongInfo>& candidates, int policy, std::int32_t inputYear = 0,
                       std::int64_t inputTrack = 0, const wchar_t* inputGenre = nullptr) {
  Meridex::CTags tags;
  tags.AddArtist(L"Artist", false);
  tags.SetTitle(L"Title");
  if (inputYear) tags.SetYear(CString(std::to_wstring(inputYear)));
  if (inputTrack) tags.SetTrackNumber(CString(std::to_wstring(inputTrack)));
  if (inputGenre) tags.SetGenre(inputGenre);
  CNimbrelSong song;
  song.Init(tags, L"/tmp/");
  for (const SongInfo& c : candidates) song.AddCandidate(c);
  song.Finish(policy);
  return song.Result().albumInfo.album;
}

TEST(NimbrelSongMerge, ScoreBonusesTiesAndPolicyOneNarrowing) {
  // +2 for the earliest year above 0 and below 2999.
  EXPECT_EQ(BestAlbum({Candidate(L"a", L"A", L"", 0, 2005), Candidate(L"b", L"B", L"", 0, 1999)}, 2), L"B");
  EXPECT_EQ(BestAlbum({Candidate(L"a", L"A", L"", 0, 2005), Candidate(L"b", L"B", L"", 0, 3000)}, 2), L"A");
  // No year in range: the bonus goes to 2999 exactly.
  EXPECT_EQ(BestAlbum({Candidate(L"a", L"A", L"", 0, 3000), Candidate(L"b", L"B", L"", 0, 2999),
                       Candidate(L"c", L"C")}, 2), L"B");
  // Equal scores: the earlier candidate, whichever it is.
  EXPECT_EQ(BestAlbum({Candidate(L"a", L"A", L"Rock"), Candidate(L"b", L"B", L"Pop")}, 2), L"A");
  EXPECT_EQ(BestAlbum({Candidate(L"b", L"B", L"Pop"), Candidate(L"a", L"A", L"Rock")}, 2), L"B");
  // Policy 3 adds one for each field equal to the input's: the file's genre tips the tie.
  const std::vector<SongInfo> tie = {Candidate(L"a", L"A", L"Rock"), Candidate(L"b", L"B", L"Jazz")};
  EXPECT_EQ(BestAlbum(tie, 2, 0, 0, L"jazz"), L"A");
  EXPECT_EQ(BestAlbum(tie, 3, 0, 0, L"jazz"), L"B");
  // Without narrowing the earlier year of "A" would win.
  const std::vector<SongInfo> byYear = {Candidate(L"a", L"A", L"", 3, 1999), Candidate(L"b", L"B", L"", 5, 2001)};
  EXPECT_EQ(BestAlbum(byYear, 2), L"A");
  EXPECT_EQ(BestAlbum(byYear, 1, 2001), L"B");
  EXPECT_EQ(BestAlbum(byYear, 1, 0, 5), L"B");
  EXPECT_EQ(BestAlbum(byYear, 1, 2001, 3), L"Unknown");  // nothing left: no best candidate
  EXPECT_EQ(BestAlbum(byYear, 1, 0, 9), L"Unknown");
}

TEST(NimbrelSongMerge, YearAndTrackFollowTheBestOfTheSameAlbumWhenTheAlbumStays) {
  CNimbrelSong song;
  InitSong(song, nullptr, L"Album");
  song.AddCandidate(Candidate(L"a", L"ALBUM", L"", 4, 2003));
  song.Finish(1);  // the file's album stays; its missing year and track number are filled
  EXPECT_EQ(song.Result().albumInfo.album, L"Album");
  EXPECT_EQ(song.Result().albumInfo.year, 2003);
  EXPECT_EQ(song.Result().trackInfo.trackNumber, 4u);

  CNimbrelSong other;
  InitSong(other, nullptr, L"Album");
  other.AddCandidate(Candidate(L"a", L"Other", L"", 4, 2003));
  other.Finish(3);  // one candidate does not outweigh the file's album, and its year belongs to another
  EXPECT_EQ(other.Result().albumInfo.album, L"Album");
  EXPECT_EQ(other.Result().albumInfo.year, 0);
  EXPECT_EQ(other.Result().trackInfo.trackNumber, 0u);
}

// A source that found the title on two of its albums cannot tell which is
// the file's: under every policy the file keeps its empty album, track and
// year, while a value both albums share (the genre) is still taken. A second
// source that agrees with one album decides it.
TEST(NimbrelSongMerge, ASourceGivingTwoAlbumsVotesForNeither) {
  for (const int policy : {1, 2, 3}) {
    SCOPED_TRACE(policy);
    CNimbrelSong song;
    InitSong(song);
    song.AddCandidate(Candidate(L"a", L"Studio", L"Rock", 3, 2001));
    song.AddCandidate(Candidate(L"a", L"Live", L"Rock", 5, 2003));
    song.Finish(policy);
    EXPECT_EQ(song.Result().albumInfo.album, L"Unknown");
    EXPECT_EQ(song.Result().trackInfo.trackNumber, 0u);
    EXPECT_EQ(song.Result().albumInfo.year, 0);
    EXPECT_EQ(song.Result().albumInfo.genre, L"Rock");
    if (policy == 1) continue;  // one more vote is what policy 3 needs: two sources
    song.AddCandidate(Candidate(L"b", L"Live", L"", 5, 2003));
    song.AddCandidate(Candidate(L"c", L"Live", L"", 5, 2003));
    song.Finish(policy);
    EXPECT_EQ(song.Result().albumInfo.album, L"Live");
    EXPECT_EQ(song.Result().trackInfo.trackNumber, 5u);
  }
}

TEST(NimbrelSongMerge, TrackTextsFollowThePolicy) {
  using Field = std::wstring Nimbrel::TrackInfo::*;
  const std::pair<Field, void (Meridex::CTags::*)(const CString&)> fields[] = {
      {&Nimbrel::TrackInfo::comment, &Meridex::CTags::SetComment},
      {&Nimbrel::TrackInfo::copyright, &Meridex::CTags::SetCopyright},
      {&Nimbrel::TrackInfo::encodedBy, &Meridex::CTags::SetEncodedBy},
      {&Nimbrel::TrackInfo::originalArtist, &Meridex::CTags::SetOriginalArtist},
      {&Nimbrel::TrackInfo::composer, nullptr}};
  for (const auto& [field, setter] : fields) {
    Meridex::CTags tags;
    tags.AddArtist(L"Artist", false);
    tags.SetTitle(L"Title");
    if (setter)
      (tags.*setter)(L"file");
    else
      tags.AddComposer(L"file", false);
    SongInfo found = Candidate(L"a", L"Album");
    found.trackInfo.*field = L"found";
    CNimbrelSong song;
    song.Init(tags, L"/tmp/");
    song.AddCandidate(found);
    song.Finish(1);
    EXPECT_EQ(song.Result().trackInfo.*field, L"file");
    song.Finish(3);  // one candidate is not enough to replace the file's text
    EXPECT_EQ(song.Result().trackInfo.*field, L"file");
    found.source = L"b";
    found.trackInfo.*field = L"FOUND";
    song.AddCandidate(found);
    song.Finish(3);
    EXPECT_EQ(song.Result().trackInfo.*field, L"found");
    CNimbrelSong empty;
    InitSong(empty);
    empty.AddCandidate(found);
    empty.Finish(1);  // a text the file lacks is filled even under policy 1
    EXPECT_EQ(empty.Result().trackInfo.*field, L"FOUND");
  }
}

TEST(NimbrelSongTest, CoverOfTheBestCandidateWhenLargerAndOfTheSameAlbum) {
  ScratchFolder folder;
  testing_support::WriteFileBytes(folder / L"small.jpg", std::string(100, 'x'));
  testing_support::WriteFileBytes(folder / L"large.jpg", std::string(5000, 'x'));
  Meridex::CTags tags;
  tags.AddArtist(L"Artist", false);
  tags.SetTitle(L"Title");
  tags.SetAlbum(L"Album");
  tags.AddPicture(Meridex::CPictureTag((folder / L"large.jpg").c_str(), L"image/jpeg", 3, L"", false));
  CNimbrelSong song;
  song.Init(tags, L"/tmp/");
  SongInfo small = Candidate(L"a", L"Album");
  small.coverInfo.coverFile = folder / L"small.jpg";
  song.AddCandidate(small);
  song.Finish(2);  // 100 > 5000 * 0.1 fails: the file's cover stays (the result names no other)
  EXPECT_EQ(song.Result().coverInfo.coverFile, L"");
  song.Finish(1);  // 100 > 5000 * 1000 fails as well
  EXPECT_EQ(song.Result().coverInfo.coverFile, L"");

  CNimbrelSong bare;
  InitSong(bare, nullptr, L"Album");
  SongInfo missing = Candidate(L"a", L"Album");
  missing.coverInfo.coverFile = folder / L"gone.jpg";
  bare.AddCandidate(missing);
  bare.Finish(2);  // a missing file has size 0, which is not larger than nothing
  EXPECT_EQ(bare.Result().coverInfo.coverFile, L"");
  CNimbrelSong coverless;
  InitSong(coverless, nullptr, L"Album");
  coverless.AddCandidate(small);
  coverless.Finish(2);
  EXPECT_EQ(coverless.Result().coverInfo.coverFile, folder / L"small.jpg");

  // The file keeps its album: another album's cover is not taken with it.
  CNimbrelSong studio;
  InitSong(studio, nullptr, L"Studio Album");
  SongInfo live = Candidate(L"a", L"Live In Tokyo");
  live.coverInfo.coverFile = folder / L"small.jpg";
  studio.AddCandidate(live);
  studio.Finish(3);
  EXPECT_EQ(studio.Result().albumInfo.album, L"Studio Album");
  EXPECT_EQ(studio.Result().coverInfo.coverFile, L"");
}

TEST(NimbrelSongTest, LastLyricsCandidateDecidesAlsoWithoutBasicCandidates) {
  CNimbrelSong song;
  InitSong(song);
  song.AddLyricsCandidate(Lyrics(L"first"));
  song.AddLyricsCandidate(Lyrics(L"second"));
  song.Finish(2);
  EXPECT_EQ(song.Lyrics(), L"second");

  Meridex::CTags tags;
  tags.AddArtist(L"A", false);
  tags.SetTitle(L"T");
  tags.SetLyrics(L"a rather long text from the file");
  CNimbrelSong withLyrics;
  withLyrics.Init(tags, L"/tmp/");
  withLyrics.AddLyricsCandidate(Lyrics(L"long enough text"));
  withLyrics.AddLyricsCandidate(Lyrics(L"short"));
  withLyrics.Finish(3);  // "short" is shorter than 1.1 x the file's: the file's text wins
  EXPECT_EQ(withLyrics.Lyrics(), L"a rather long text from the file");
}

TEST(NimbrelSongTest, ExactlyOneEndingFinishesAndDoneMeansMerged) {
  for (int round = 0; round < 200; ++round) {
    CNimbrelSong song;
    InitSong(song, L"Jazz");
    song.AddCandidate(Candidate(L"a", L"Album", L"Rock"));
    std::atomic<int> finished{0};
    std::atomic<bool> sawUnmerged{false};
    std::thread basic([&] { finished += song.EndBasicPart(2); });
    std::thread lyrics([&] { finished += song.EndLyricsPart(2); });
    std::thread host([&] {
      while (!song.IsDone()) std::this_thread::yield();
      if (song.Result().albumInfo.genre != L"Rock") sawUnmerged = true;
    });
    basic.join();
    lyrics.join();
    host.join();
    ASSERT_EQ(finished.load(), 1);
    ASSERT_FALSE(sawUnmerged.load());
    EXPECT_FALSE(song.EndBasicPart(2));
    EXPECT_FALSE(song.Complete(2));
  }
  CNimbrelSong open;
  EXPECT_FALSE(open.EndBasicPart(2));
  EXPECT_FALSE(open.IsDone());
  EXPECT_TRUE(open.Complete(2));
  EXPECT_TRUE(open.IsDone());
  EXPECT_FALSE(open.EndLyricsPart(2));
}

TEST(NimbrelSongTest, SharedSongOutlivesItsRemovalAndTakesConcurrentCandidates) {
  auto song = boost::make_shared<CNimbrelSong>();
  boost::weak_ptr<CNimbrelSong> watch = song;
  std::atomic<int> added{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([held = song, t, &added] {
      for (int i = 0; i < 50; ++i) {
        added += held->AddCandidate(Candidate(L"s" + std::to_wstring(t), L"Album " + std::to_wstring(i % 25)));
        held->AddLyricsCandidate(Lyrics(std::to_wstring(i)));
        held->MarkSearched(L"s" + std::to_wstring(t));
        held->IsFailed(true, true, 0, 8);
      }
    });
  }
  song.reset();  // the map drops it while jobs still hold it
  for (auto& w : workers) w.join();
  EXPECT_EQ(added.load(), 8 * 25);  // each distinct candidate exactly once
  EXPECT_TRUE(watch.expired());
}

}  // namespace
