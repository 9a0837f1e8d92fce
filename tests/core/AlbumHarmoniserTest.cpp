// The merge of one song and the agreement of an album's songs, run together
// as the end of a run runs them: both must follow the overwrite policy.
#include "core/AlbumHarmoniser.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <string>
#include <vector>

#include "support/ScratchFolder.h"

namespace {

using Nimbrel::SongInfo;
using testing_support::ScratchFolder;
using SongPtr = boost::shared_ptr<CNimbrelSong>;

enum class Field { kAlbum, kGenre, kYear, kTrack };

// What the file of the song under test holds of the field when it has a
// value of its own, and what the sources found.
const wchar_t* const kOwnAlbum = L"Greatest Hits Live";
const wchar_t* const kFoundAlbum = L"Greatest Hits";

SongInfo Found(const std::wstring& source, const std::wstring& albumKey, unsigned track) {
  SongInfo s(L"Artist", L"Title", kFoundAlbum);
  s.source = source;
  s.albumInfo.albumKey = albumKey;
  s.albumInfo.genre = L"Folk";
  s.albumInfo.year = 2000;
  s.trackInfo.SetTrackNumber(track);
  return s;
}

SongPtr MakeSong(const std::wstring& title, const Meridex::CTags& base) {
  Meridex::CTags tags(base);
  tags.AddArtist(L"Artist", false);
  tags.SetTitle(CString(title));
  auto song = boost::make_shared<CNimbrelSong>();
  song->Init(tags, L"/tmp/");
  return song;
}

// Finishes every song, then makes the songs agree whose results name the
// same album, as the end of a run does.
void EndRun(const std::vector<SongPtr>& songs, int policy, bool cover = false) {
  for (const SongPtr& song : songs) song->Finish(policy);
  std::vector<SongPtr> group;
  for (const SongPtr& song : songs) {
    if (nimbrel::CompareNoCase(song->Result().albumInfo.album, songs[0]->Result().albumInfo.album) == 0) {
      group.push_back(song);
    }
  }
  CAlbumHarmoniser::Harmonise(group, true, cover, policy);
}

struct Case {
  int policy;
  Field field;
  bool own;     // the file of song 0 has its own value of the field
  int sources;  // sources giving the album's answer (one source answers twice)
};

std::string Name(const Case& c) {
  const char* fields[] = {"Album", "Genre", "Year", "Track"};
  return "Policy" + std::to_string(c.policy) + fields[static_cast<int>(c.field)] + (c.own ? "Own" : "Missing") +
         std::to_string(c.sources) + "Sources";
}

class MergeRuleTest : public ::testing::TestWithParam<Case> {};

// Three songs of "Greatest Hits"; song 0's file may hold its own value of
// one field. Source "a" answers song 0 with two releases of the album and
// each album-mate once; with two sources "b" agrees. A missing value is
// always filled; a file's own value is replaced under policy 2, under
// policy 3 only when two different sources agree, never under policy 1.
TEST_P(MergeRuleTest, FoundValuesReplaceTheFilesOwnOnlyAsThePolicySays) {
  const Case c = GetParam();
  Meridex::CTags own;
  std::wstring ownValue;
  switch (c.field) {
    case Field::kAlbum: own.SetAlbum(kOwnAlbum); ownValue = kOwnAlbum; break;
    case Field::kGenre: own.SetGenre(L"Sea Shanty"); ownValue = L"Sea Shanty"; break;
    case Field::kYear: own.SetYear(L"1990"); ownValue = L"1990"; break;
    case Field::kTrack: own.SetTrackNumber(L"1/3"); ownValue = L"1"; break;
  }
  std::vector<SongPtr> songs = {MakeSong(L"Song 1", c.own ? own : Meridex::CTags()),
                                MakeSong(L"Song 2", Meridex::CTags()), MakeSong(L"Song 3", Meridex::CTags())};
  songs[0]->AddCandidate(Found(L"a", L"k1", 7));
  songs[0]->AddCandidate(Found(L"a", L"k2", 7));
  for (unsigned i = 1; i < songs.size(); ++i) songs[i]->AddCandidate(Found(L"a", L"k1", 7 + i));
  if (c.sources == 2) {
    for (unsigned i = 0; i < songs.size(); ++i) songs[i]->AddCandidate(Found(L"b", L"b1", 7 + i));
  }

  EndRun(songs, c.policy);

  const bool taken = !c.own || c.policy == 2 || (c.policy == 3 && c.sources == 2);
  const SongInfo r = songs[0]->Result();
  std::wstring value;
  std::wstring found;
  switch (c.field) {
    case Field::kAlbum: value = r.albumInfo.album; found = kFoundAlbum; break;
    case Field::kGenre: value = r.albumInfo.genre; found = L"Folk"; break;
    case Field::kYear: value = std::to_wstring(r.albumInfo.year); found = L"2000"; break;
    case Field::kTrack: value = std::to_wstring(r.trackInfo.trackNumber); found = L"7"; break;
  }
  EXPECT_EQ(value, taken ? found : ownValue);
  // The album-mates had nothing of their own: they take what was found.
  for (unsigned i = 1; i < songs.size(); ++i) {
    const SongInfo mate = songs[i]->Result();
    EXPECT_EQ(mate.albumInfo.album, kFoundAlbum);
    EXPECT_EQ(mate.albumInfo.genre, L"Folk");
    EXPECT_EQ(mate.albumInfo.year, 2000);
    EXPECT_EQ(mate.trackInfo.trackNumber, 7 + i);
  }
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (int policy : {1, 2, 3}) {
    for (Field field : {Field::kAlbum, Field::kGenre, Field::kYear, Field::kTrack}) {
      for (bool own : {false, true}) {
        for (int sources : {1, 2}) cases.push_back({policy, field, own, sources});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(PoliciesFieldsAndSources, MergeRuleTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return Name(info.param); });

// A file's own values stay its own: song 2's genre and picture are not
// handed to its album-mates, whatever the policy, when no source found any.
TEST(AlbumHarmoniserTest, AFilesOwnValuesAndPictureStayWithIt) {
  ScratchFolder folder;
  const std::wstring picture = folder / L"own.jpg";
  for (int policy : {1, 2, 3}) {
    SCOPED_TRACE(policy);
    // In the tag set's temporary folder: the song's end removes it.
    testing_support::WriteFileBytes(picture, std::string(5000, 'j'));
    Meridex::CTags ownTags(folder.path());
    ownTags.SetGenre(L"Electronic");
    ownTags.AddPicture(Meridex::CPictureTag(picture.c_str(), L"image/jpeg", 3, L"", false));
    std::vector<SongPtr> songs = {MakeSong(L"Song 1", Meridex::CTags()), MakeSong(L"Song 2", ownTags)};
    ASSERT_EQ(songs[1]->OwnCover().GetSize(), 5000u);
    for (const SongPtr& song : songs) {
      SongInfo found = Found(L"a", L"k1", 1);
      found.albumInfo.genre.clear();
      song->AddCandidate(found);
    }
    EndRun(songs, policy, true);
    EXPECT_EQ(songs[0]->Result().albumInfo.genre, L"");
    EXPECT_EQ(songs[0]->Result().coverInfo.coverFile, L"");
    EXPECT_EQ(songs[1]->Result().albumInfo.genre, L"Electronic");
    EXPECT_EQ(songs[1]->Result().coverInfo.coverFile, L"");  // keeps its own, which names no file
  }
}

}  // namespace
