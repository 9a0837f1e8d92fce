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

TEST(SongInfoTest, DefaultsAndSetters) {
  SongInfo s;
  EXPECT_EQ(s.albumInfo.album, L"Unknown");
  EXPECT_EQ(SongInfo(L"a", L"t", L"").albumInfo.album, L"Unknown");
  s.trackInfo.SetTrackNumber(-4);
  EXPECT_EQ(s.trackInfo.trackNumber, 0u);
  s.albumInfo.SetAlbum(L"");
  EXPECT_FALSE(s.albumInfo.HasAlbum());
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
  EXPECT_EQ(in.coverInfo.coverFile, cover);
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
  EXPECT_EQ(song.GetLyricsText(5), L"");
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

TEST(NimbrelSongTest, PolicyOneKeepsTheFilesGenreAgainstAgreeingCandidates) {
  CNimbrelSong song;
  InitSong(song, L"Jazz");
  for (int i = 0; i < 5; ++i) song.AddCandidate(Candidate(L"s" + std::to_wstring(i), L"Album", L"Rock", 2, 1999));
  song.Finish(1);
  const SongInfo r = song.Result();
  EXPECT_EQ(r.albumInfo.genre, L"Jazz");
  EXPECT_EQ(r.albumInfo.album, L"Album");  // the file has none: filled in
  EXPECT_EQ(r.albumInfo.year, 1999);
  EXPECT_EQ(r.trackInfo.title, L"Title");
  EXPECT_EQ(r.albumInfo.artist, L"Artist");
}

TEST(NimbrelSongTest, PolicyOneNarrowsToTheFilesAlbum) {
  CNimbrelSong song;
  InitSong(song, nullptr, L"First");
  song.AddCandidate(Candidate(L"a", L"Second", L"Rock"));
  song.Finish(1);
  EXPECT_EQ(song.Result().albumInfo.genre, L"");  // no candidate of this album: nothing taken
  song.AddCandidate(Candidate(L"b", L"first", L"Pop"));
  song.Finish(1);
  EXPECT_EQ(song.Result().albumInfo.genre, L"Pop");
  EXPECT_EQ(song.Result().albumInfo.album, L"First");
}

TEST(NimbrelSongTest, PolicyTwoTakesEveryFoundValue) {
  CNimbrelSong song;
  InitSong(song, L"Jazz", L"Old");
  song.AddCandidate(Candidate(L"a", L"New", L"Rock", 7, 2004));
  song.Finish(2);
  const SongInfo r = song.Result();
  EXPECT_EQ(r.albumInfo.genre, L"Rock");
  EXPECT_EQ(r.albumInfo.album, L"New");
  EXPECT_EQ(r.trackInfo.trackNumber, 7u);
  EXPECT_EQ(r.albumInfo.year, 2004);
}

TEST(NimbrelSongTest, PolicyThreeNeedsTwoAgreeingCandidates) {
  CNimbrelSong song;
  InitSong(song, L"Jazz");
  song.AddCandidate(Candidate(L"a", L"Album", L"Rock"));
  song.AddCandidate(Candidate(L"b", L"Other", L"Pop"));
  song.Finish(3);
  EXPECT_EQ(song.Result().albumInfo.genre, L"Jazz");
  song.AddCandidate(Candidate(L"c", L"Album", L"ROCK"));
  song.Finish(3);
  EXPECT_EQ(song.Result().albumInfo.genre, L"Rock");
  song.Finish(0);  // an unknown policy leaves the input
  EXPECT_EQ(song.Result().albumInfo.genre, L"Jazz");
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
  song.Finish(2);  // 100 > 5000 * 0.1 fails: the file's cover stays
  EXPECT_EQ(song.Result().coverInfo.coverFile, folder / L"large.jpg");
  song.Finish(1);  // 100 > 5000 * 1000 fails as well
  EXPECT_EQ(song.Result().coverInfo.coverFile, folder / L"large.jpg");

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
