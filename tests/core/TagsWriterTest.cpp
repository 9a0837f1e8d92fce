#include "core/TagsWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "covers/CoverCache.h"
#include "covers/TestPictures.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

using Nimbrel::SongInfo;
using testing_support::ScratchFolder;

std::wstring Get(const Meridex::CTags& tags, bool (Meridex::CTags::*get)(CString&) const) {
  CString value;
  return (tags.*get)(value) ? value.str() : L"<none>";
}

std::vector<std::wstring> Artists(const Meridex::CTags& tags) {
  std::vector<std::wstring> names;
  CString name;
  for (int i = 0; tags.GetArtist(i, name); ++i) names.push_back(name.str());
  return names;
}

std::vector<std::wstring> Composers(const Meridex::CTags& tags) {
  std::vector<std::wstring> names;
  CString name;
  for (int i = 0; tags.GetComposer(i, name); ++i) names.push_back(name.str());
  return names;
}

class TagsWriterTest : public ::testing::Test {
 protected:
  TagsWriterTest() : covers(CCoverCache::Options{CString(folder / L"covers/"), CCoverCache::kDefaultMaxBytes, {}}) {}

  // A file's tags with texts that a number or a second name must survive.
  Meridex::CTags FileTags() {
    Meridex::CTags tags;
    tags.AddArtist(L"First Artist", false);
    tags.AddArtist(L"Second Artist", false);
    tags.SetTitle(L"Song");
    tags.SetAlbum(L"Record");
    tags.SetGenre(L"Jazz");
    tags.SetYear(L"2001-05-03");
    tags.SetTrackNumber(L"3/12");
    tags.AddComposer(L"Writer One", false);
    tags.AddComposer(L"Writer Two", false);
    tags.SetComment(L"kept");
    tags.SetUrl(L"http://127.0.0.1/source");
    return tags;
  }

  SongInfo Candidate(const std::wstring& source, const std::wstring& genre) {
    SongInfo c(L"First Artist", L"Song", L"Record");
    c.source = source;
    c.albumInfo.genre = genre;
    c.albumInfo.year = 2001;
    c.trackInfo.trackNumber = 3;
    return c;
  }

  std::wstring Picture(const std::wstring& name, std::size_t bytes) {
    const std::wstring path = folder / name;
    testing_support::WriteFileBytes(path, std::string(bytes, 'p'));
    return path;
  }

  ScratchFolder folder;
  CCoverCache covers;
};

TEST_F(TagsWriterTest, CandidateIsWrittenWithUnknownAlbumEmptyAndNumbersAsText) {
  SongInfo c(L"Band", L"Song", L"Unknown");
  c.albumInfo.year = 1999;
  c.trackInfo.composer = L"Writer";
  c.source = L"catalogue";
  Meridex::CTags out(covers.TempFolder());
  CTagsWriter::WriteCandidate(c, out, covers);
  EXPECT_EQ(L"catalogue", Get(out, &Meridex::CTags::GetSource));
  EXPECT_EQ(L"<none>", Get(out, &Meridex::CTags::GetAlbum));
  EXPECT_EQ(L"1999", Get(out, &Meridex::CTags::GetYear));
  EXPECT_EQ(L"<none>", Get(out, &Meridex::CTags::GetTrackNumber));
  EXPECT_EQ(std::vector<std::wstring>{L"Band"}, Artists(out));
  EXPECT_EQ(std::vector<std::wstring>{L"Writer"}, Composers(out));
  EXPECT_EQ(0, out.GetPictureCount());
}

TEST_F(TagsWriterTest, PictureMimeTypeFollowsTheExtensionExactly) {
  EXPECT_EQ(L"image/jpeg", CTagsWriter::PictureMimeType(L"/a/cover.jpg").str());
  EXPECT_EQ(L"image/jpeg", CTagsWriter::PictureMimeType(L"/a/cover.jpe").str());
  EXPECT_EQ(L"image/JPG", CTagsWriter::PictureMimeType(L"/a/cover.JPG").str());
  EXPECT_EQ(L"image/png", CTagsWriter::PictureMimeType(L"/a/cover.png").str());
  EXPECT_EQ(L"image/", CTagsWriter::PictureMimeType(L"/a.b/cover").str());
  EXPECT_EQ(L"image/", CTagsWriter::PictureMimeType(L"C:\\a.b\\cover").str());

  // Through a written candidate: the copy keeps the capital extension.
  SongInfo c(L"Band", L"Song", L"Record");
  c.coverInfo.coverFile = Picture(L"big.JPG", 100);
  Meridex::CTags out(covers.TempFolder());
  CTagsWriter::WriteCandidate(c, out, covers);
  ASSERT_EQ(1, out.GetPictureCount());
  Meridex::CPictureTag picture;
  ASSERT_TRUE(out.GetPicture(0, picture));
  EXPECT_EQ(L"image/JPG", picture.GetMimeType().str());
  EXPECT_NE(c.coverInfo.coverFile, picture.GetFilePath().str());  // a copy, not the cache's file
}

TEST_F(TagsWriterTest, NothingFoundOrNothingNewLeavesTheHostsTagsAsTheyWere) {
  // No candidate at all, and a candidate that only repeats the file (the
  // earlier source's address stays: nothing it described was replaced).
  for (bool candidate : {false, true}) {
    CNimbrelSong song;
    song.Init(FileTags(), CString());
    if (candidate) song.AddCandidate(Candidate(L"a", L"Jazz"));
    song.Finish(2);
    Meridex::CTags out;
    CTagsWriter::WriteResult(song, out, covers);
    const Meridex::CTags file = FileTags();
    for (auto get : {&Meridex::CTags::GetTitle, &Meridex::CTags::GetAlbum, &Meridex::CTags::GetGenre,
                     &Meridex::CTags::GetYear, &Meridex::CTags::GetTrackNumber, &Meridex::CTags::GetComment,
                     &Meridex::CTags::GetUrl}) {
      EXPECT_EQ(Get(file, get), Get(out, get)) << candidate;
    }
    EXPECT_EQ(Artists(file), Artists(out));
    EXPECT_EQ(Composers(file), Composers(out));
  }
}

TEST_F(TagsWriterTest, FieldsThatDidNotChangeKeepTheFilesText) {
  // Candidates agree with the file on album, year and track and bring a genre.
  CNimbrelSong song;
  song.Init(FileTags(), CString());
  song.AddCandidate(Candidate(L"a", L"Rock"));
  song.AddCandidate(Candidate(L"b", L"Rock"));
  song.Finish(2);
  Meridex::CTags out;
  CTagsWriter::WriteResult(song, out, covers);
  EXPECT_EQ(L"Rock", Get(out, &Meridex::CTags::GetGenre));
  EXPECT_EQ(L"2001-05-03", Get(out, &Meridex::CTags::GetYear));
  EXPECT_EQ(L"3/12", Get(out, &Meridex::CTags::GetTrackNumber));
  EXPECT_EQ((std::vector<std::wstring>{L"First Artist", L"Second Artist"}), Artists(out));
  EXPECT_EQ((std::vector<std::wstring>{L"Writer One", L"Writer Two"}), Composers(out));
  // Something was written: the earlier source's address goes.
  EXPECT_EQ(L"<none>", Get(out, &Meridex::CTags::GetUrl));
}

// A hidden track before the first is offered as track 0: no number, so
// nothing is written over the file's own, under every policy.
TEST_F(TagsWriterTest, TrackZeroIsNeverWrittenAsATrackNumber) {
  for (const bool fileHasTrack : {false, true}) {
    for (const int policy : {1, 2, 3}) {
      Meridex::CTags file = FileTags();
      if (!fileHasTrack) file.SetTrackNumber(CString());
      CNimbrelSong song;
      song.Init(file, CString());
      SongInfo hidden = Candidate(L"a", L"Rock");
      hidden.trackInfo.trackNumber = 0;
      song.AddCandidate(hidden);
      song.Finish(policy);
      Meridex::CTags out;
      CTagsWriter::WriteResult(song, out, covers);
      EXPECT_EQ(fileHasTrack ? L"3/12" : L"<none>", Get(out, &Meridex::CTags::GetTrackNumber)) << policy;
    }
  }
}

TEST_F(TagsWriterTest, PoliciesDecideWhetherTheFilesGenreIsReplaced) {
  struct Case {
    int policy;
    int agreeing;
    const wchar_t* genre;
  };
  for (const Case& c : {Case{1, 5, L"Jazz"}, Case{2, 1, L"Rock"}, Case{3, 1, L"Jazz"}, Case{3, 2, L"Rock"}}) {
    CNimbrelSong song;
    song.Init(FileTags(), CString());
    for (int i = 0; i < c.agreeing; ++i) song.AddCandidate(Candidate(L"s" + std::to_wstring(i), L"Rock"));
    song.Finish(c.policy);
    Meridex::CTags out;
    CTagsWriter::WriteResult(song, out, covers);
    EXPECT_EQ(c.genre, Get(out, &Meridex::CTags::GetGenre)) << "policy " << c.policy << ", " << c.agreeing;
  }
}

TEST_F(TagsWriterTest, TheFilesOwnPictureIsNotAddedAgain) {
  Meridex::CTags tags = FileTags();
  tags.AddPicture(Meridex::CPictureTag(Picture(L"own.png", 500), L"image/png", 3, L"", false));
  CNimbrelSong song;
  song.Init(tags, CString());
  song.AddCandidate(Candidate(L"a", L"Rock"));  // no cover: the file's picture stays the result's
  song.Finish(2);
  Meridex::CTags out;
  CTagsWriter::WriteResult(song, out, covers);
  EXPECT_EQ(1, out.GetPictureCount());

  // A larger cover of a candidate of the same album takes the place of the
  // file's picture, as its kind (front cover): a file keeps one cover
  // however often it is tagged.
  CNimbrelSong better;
  better.Init(tags, CString());
  SongInfo withCover = Candidate(L"a", L"Rock");
  withCover.coverInfo.coverFile = Picture(L"found.jpg", 5000);
  better.AddCandidate(withCover);
  better.Finish(2);
  Meridex::CTags improved;
  CTagsWriter::WriteResult(better, improved, covers);
  ASSERT_EQ(1, improved.GetPictureCount());
  Meridex::CPictureTag picture;
  ASSERT_TRUE(improved.GetPicture(0, picture));
  EXPECT_EQ(L"image/jpeg", picture.GetMimeType().str());
  EXPECT_EQ(3, picture.GetType());
  EXPECT_EQ(std::string(5000, 'p'), testing_support::ReadFileBytes(picture.GetFilePath().str()));

  // Policy 2 takes any found cover; one with the same bytes as the file's
  // (the cached copy of an earlier run's) changes nothing.
  CNimbrelSong same;
  same.Init(tags, CString());
  SongInfo sameCover = Candidate(L"a", L"Jazz");
  sameCover.coverInfo.coverFile = Picture(L"cached-own.png", 500);
  same.AddCandidate(sameCover);
  same.Finish(2);
  ASSERT_EQ(sameCover.coverInfo.coverFile, same.Result().coverInfo.coverFile);
  Meridex::CTags unchanged;
  CTagsWriter::WriteResult(same, unchanged, covers);
  ASSERT_EQ(1, unchanged.GetPictureCount());
  ASSERT_TRUE(unchanged.GetPicture(0, picture));
  EXPECT_EQ(folder / L"own.png", picture.GetFilePath().str());
  EXPECT_EQ(L"http://127.0.0.1/source", Get(unchanged, &Meridex::CTags::GetUrl));  // nothing was written
}

// The found album's disc, totals, album artist, original date and ids are
// written; ids of the file's old album go unless the source renews them.
TEST_F(TagsWriterTest, RecordFieldsAreWrittenAndIdsOfTheOldAlbumGo) {
  Meridex::CTags file = FileTags();
  file.SetReleaseId(L"old-release");
  file.SetReleaseGroupId(L"old-group");
  file.SetRecordingId(L"old-recording");
  file.SetOriginalDate(L"1980");
  SongInfo found = Candidate(L"a", L"Rock");
  found.albumInfo.SetAlbum(L"Compilation");
  found.albumInfo.albumArtist = L"Various Artists";
  found.albumInfo.trackTotal = 14;
  found.albumInfo.discTotal = 2;
  found.albumInfo.originalDate = L"1999-04-01";
  found.albumInfo.releaseGroupId = L"new-group";
  found.trackInfo.trackNumber = 7;
  found.trackInfo.discNumber = 2;
  CNimbrelSong song;
  song.Init(file, CString());
  song.AddCandidate(found);
  song.Finish(2);
  Meridex::CTags out;
  CTagsWriter::WriteResult(song, out, covers);
  EXPECT_EQ(L"Compilation", Get(out, &Meridex::CTags::GetAlbum));
  EXPECT_EQ(L"7/14", Get(out, &Meridex::CTags::GetTrackNumber));
  EXPECT_EQ(L"2/2", Get(out, &Meridex::CTags::GetDiscNumber));
  EXPECT_EQ(L"Various Artists", Get(out, &Meridex::CTags::GetAlbumArtist));
  EXPECT_EQ(L"1999-04-01", Get(out, &Meridex::CTags::GetOriginalDate));
  EXPECT_EQ(L"new-group", Get(out, &Meridex::CTags::GetReleaseGroupId));
  EXPECT_EQ(L"<none>", Get(out, &Meridex::CTags::GetReleaseId));
  EXPECT_EQ(L"<none>", Get(out, &Meridex::CTags::GetRecordingId));

  // A found album that tells no totals, disc or date: the old album's go too.
  SongInfo bare = Candidate(L"a", L"Rock");
  bare.albumInfo.SetAlbum(L"Elsewhere");
  bare.trackInfo.trackNumber = 5;
  Meridex::CTags withDisc = file;
  withDisc.SetDiscNumber(L"1/2");
  CNimbrelSong moved;
  moved.Init(withDisc, CString());
  moved.AddCandidate(bare);
  moved.Finish(2);
  Meridex::CTags movedOut;
  CTagsWriter::WriteResult(moved, movedOut, covers);
  EXPECT_EQ(L"5", Get(movedOut, &Meridex::CTags::GetTrackNumber));
  EXPECT_EQ(L"<none>", Get(movedOut, &Meridex::CTags::GetDiscNumber));
  EXPECT_EQ(L"<none>", Get(movedOut, &Meridex::CTags::GetOriginalDate));
  EXPECT_EQ(L"<none>", Get(movedOut, &Meridex::CTags::GetReleaseId));

  // The same album found again: the file's ids and numbers stay as they are.
  Meridex::CTags same = FileTags();
  same.SetReleaseId(L"old-release");
  same.SetDiscNumber(L"1/2");
  CNimbrelSong again;
  again.Init(same, CString());
  again.AddCandidate(Candidate(L"a", L"Jazz"));
  again.Finish(2);
  Meridex::CTags kept;
  CTagsWriter::WriteResult(again, kept, covers);
  EXPECT_EQ(L"old-release", Get(kept, &Meridex::CTags::GetReleaseId));
  EXPECT_EQ(L"1/2", Get(kept, &Meridex::CTags::GetDiscNumber));
  EXPECT_EQ(L"3/12", Get(kept, &Meridex::CTags::GetTrackNumber));
}

TEST_F(TagsWriterTest, MergeKeepsWhatTheRunDidNotSearch) {
  Meridex::CTags tags = FileTags();
  tags.AddPicture(Meridex::CPictureTag(Picture(L"small.png", 10), L"image/png", 3, L"", false));
  SongInfo found = Candidate(L"a", L"Rock");
  found.albumInfo.year = 1990;
  found.coverInfo.coverFile = Picture(L"large.jpg", 5000);

  // Covers only: the file's genre and year stay, the cover is taken.
  CNimbrelSong coversOnly;
  coversOnly.Init(tags, CString());
  coversOnly.SetSearched(false, true);
  coversOnly.AddCandidate(found);
  coversOnly.Finish(2);
  EXPECT_EQ(L"Jazz", coversOnly.Result().albumInfo.genre);
  EXPECT_EQ(2001, coversOnly.Result().albumInfo.year);
  EXPECT_EQ(found.coverInfo.coverFile, coversOnly.Result().coverInfo.coverFile);
  // A file without album still gets the cover, and still no album.
  Meridex::CTags albumless = tags;
  albumless.SetAlbum(CString());
  CNimbrelSong noAlbum;
  noAlbum.Init(albumless, CString());
  noAlbum.SetSearched(false, true);
  noAlbum.AddCandidate(found);
  noAlbum.Finish(2);
  EXPECT_EQ(L"Unknown", noAlbum.Result().albumInfo.album);
  EXPECT_EQ(found.coverInfo.coverFile, noAlbum.Result().coverInfo.coverFile);

  // Without covers: the genre is taken, the file's picture stays.
  CNimbrelSong noCovers;
  noCovers.Init(tags, CString());
  noCovers.SetSearched(true, false);
  noCovers.AddCandidate(found);
  noCovers.Finish(2);
  EXPECT_EQ(L"Rock", noCovers.Result().albumInfo.genre);
  EXPECT_EQ(noCovers.Input().coverInfo.coverFile, noCovers.Result().coverInfo.coverFile);
  Meridex::CTags out;
  CTagsWriter::WriteResult(noCovers, out, covers);
  EXPECT_EQ(1, out.GetPictureCount());
}

}  // namespace

TEST_F(TagsWriterTest, AFoundCoverTakesOnlyTheFrontCoversPlaceAndNeverASmallerOnesOfMorePixels) {
  const std::wstring found = Picture(L"found.jpg", 5000);
  struct Row {
    const char* name;
    std::vector<int> types;  // the file's pictures
    int replaced;            // the index the found cover takes, -1: added at the end
  } rows[] = {
      {"front between back and band", {4, 3, 10}, 1},
      {"no front cover, only a back cover", {4}, -1},
      {"untyped pictures: the first is the cover", {0, 0}, 0},
      {"no pictures", {}, -1},
  };
  for (const Row& row : rows) {
    Meridex::CTags tags = FileTags();
    std::vector<std::wstring> own;
    for (std::size_t i = 0; i < row.types.size(); ++i) {
      own.push_back(Picture(L"own" + std::to_wstring(i) + L".png", 500));
      tags.AddPicture(Meridex::CPictureTag(own.back(), L"image/png", row.types[i], L"", false));
    }
    CNimbrelSong song;
    song.Init(tags, CString());
    SongInfo withCover = Candidate(L"a", L"Rock");
    withCover.coverInfo.coverFile = found;
    song.AddCandidate(withCover);
    song.Finish(2);
    Meridex::CTags out;
    CTagsWriter::WriteResult(song, out, covers);
    const std::size_t count = row.types.size() + (row.replaced < 0 ? 1 : 0);
    ASSERT_EQ(count, static_cast<std::size_t>(out.GetPictureCount())) << row.name;
    for (std::size_t i = 0; i < count; ++i) {
      Meridex::CPictureTag picture;
      ASSERT_TRUE(out.GetPicture(static_cast<int>(i), picture));
      const bool isFound = row.replaced < 0 ? i + 1 == count : static_cast<int>(i) == row.replaced;
      if (isFound) {
        EXPECT_EQ(3, picture.GetType()) << row.name;
        EXPECT_EQ(std::string(5000, 'p'), testing_support::ReadFileBytes(picture.GetFilePath().str())) << row.name;
      } else {
        EXPECT_EQ(own[i], picture.GetFilePath().str()) << row.name << ", picture " << i;
      }
    }
  }

  // An own cover of 2200x2200 pixels stays, though a found 500x500 one has more bytes.
  const std::wstring large = folder / L"large.png";
  testing_support::WriteFileBytes(large, test_pictures::PngDeclaring(2200, 2200));
  const std::wstring small = folder / L"small.jpg";
  testing_support::WriteFileBytes(small, test_pictures::Make(test_pictures::Kind::kJpeg, 500, 500));
  Meridex::CTags tags = FileTags();
  tags.AddPicture(Meridex::CPictureTag(large, L"image/png", 3, L"", false));
  CNimbrelSong song;
  song.Init(tags, CString());
  SongInfo withCover = Candidate(L"a", L"Rock");
  withCover.coverInfo.coverFile = small;
  song.AddCandidate(withCover);
  song.Finish(2);
  EXPECT_EQ(L"", song.Result().coverInfo.coverFile);
  Meridex::CTags out;
  CTagsWriter::WriteResult(song, out, covers);
  Meridex::CPictureTag kept;
  ASSERT_TRUE(out.GetPicture(0, kept));
  EXPECT_EQ(large, kept.GetFilePath().str());
}

// A file's own cover still inside the file is weighed by its size, pixels
// and content, never copied out for that: the same cover found again, or
// one of more bytes and fewer pixels, leaves it in place and puts nothing in
// the temporary folder.
TEST_F(TagsWriterTest, TheFilesOwnCoverIsKeptWithoutACopyOnDisk) {
  const std::string ownBytes = test_pictures::Make(test_pictures::Kind::kJpeg, 400, 300);
  const std::wstring own = folder / L"own.jpg";
  testing_support::WriteFileBytes(own, ownBytes);
  const std::wstring song = folder / L"song.mp3";
  testing_support::WriteFileBytes(song, testing_support::MakeMp3());
  Meridex::CTags tags = FileTags();
  tags.AddPicture(Meridex::CPictureTag(own, L"image/jpeg", 3, L"", false));
  ASSERT_TRUE(tags.SaveFile(song));

  const std::wstring same = folder / L"cached-same.jpg";
  testing_support::WriteFileBytes(same, ownBytes);
  const std::wstring fewerPixels = folder / L"small-but-heavy.jpg";
  testing_support::WriteFileBytes(fewerPixels, test_pictures::Make(test_pictures::Kind::kJpeg, 40, 30) +
                                                   std::string(ownBytes.size() * 2, '\0'));
  ScratchFolder temp;
  for (const std::wstring& found : {same, fewerPixels}) {
    Meridex::CTags read(temp.path());
    ASSERT_TRUE(read.ReadFile(song));
    CNimbrelSong s;
    s.Init(read, temp.path());
    SongInfo withCover = Candidate(L"a", L"Rock");
    withCover.coverInfo.coverFile = found;
    s.AddCandidate(withCover);
    s.Finish(2);
    Meridex::CTags out;
    CTagsWriter::WriteResult(s, out, covers);
    ASSERT_EQ(1, out.GetPictureCount());
    EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(temp.path()))) << std::filesystem::path(found);
    Meridex::CPictureTag kept;
    ASSERT_TRUE(out.GetPicture(0, kept));
    EXPECT_EQ(testing_support::ReadFileBytes(kept.GetFilePath().str()), ownBytes);
  }
}
