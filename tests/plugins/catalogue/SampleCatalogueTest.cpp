// The sample music of scripts/make-samples: the catalogue it learns from the
// well-tagged files answers for the partly tagged copies, through the
// catalogue module loaded by the real registry and searched by the real engine.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <map>
#include <string>

#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/SearchEngineTestKit.h"
#include "meridex/Tags.h"
#include "plugins/WebPluginSource.h"
#include "support/AudioSamples.h"

namespace {

namespace fs = std::filesystem;

// Lower case, single blanks, no blanks at the ends: how a person reads a title.
std::wstring Plain(const CString& text) {
  std::wstring out;
  for (const wchar_t c : text.str()) {
    if (std::iswspace(static_cast<wint_t>(c))) {
      if (!out.empty() && out.back() != L' ') out += L' ';
    } else {
      out += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
  }
  if (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

struct Expected {
  CString album, year, genre, track;
};

TEST(SampleMusic, TheCatalogueOfTheWellTaggedFilesTagsThePartlyTaggedOnes) {
  if (!testing_support::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  testing_support::WebPluginSource<CBasicTagsDllInterface> source{L"catalogue"};
  const fs::path out = fs::path(source.folder()) / "samples";
  const std::string command = std::string("bash '") + NIMBREL_MAKE_SAMPLES + "' --tool '" + NIMBREL_CATALOGUE_TOOL +
                              "' '" + out.string() + "' > '" + out.string() + ".log' 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see " << out << ".log";

  // What each song is, from the well-tagged files (cover included).
  std::map<std::wstring, Expected> songs;
  for (const auto& entry : fs::recursive_directory_iterator(out / "well-tagged")) {
    if (!entry.is_regular_file()) continue;
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(entry.path().wstring()))) << entry.path();
    CString title;
    Expected expected;
    ASSERT_TRUE(tags.GetTitle(title) && tags.GetAlbum(expected.album) && tags.GetYear(expected.year) &&
                tags.GetGenre(expected.genre) && tags.GetTrackNumber(expected.track))
        << entry.path();
    EXPECT_EQ(tags.GetPictureCount(), 1) << entry.path();
    songs[Plain(title)] = expected;
  }
  ASSERT_GE(songs.size(), 10u);

  ASSERT_EQ(source.Set(L"CatalogueFile", (out / "catalogue.sqlite").string()), 1);
  std::size_t found = 0, partial = 0;
  for (const auto& entry : fs::directory_iterator(out / "partial")) {
    Meridex::CTags tags;
    ASSERT_TRUE(tags.ReadFile(CString(entry.path().wstring()))) << entry.path();
    CString artist, title, album;
    ASSERT_TRUE(tags.GetFirstValidArtist(artist) && tags.GetTitle(title)) << entry.path();
    EXPECT_FALSE(tags.GetAlbum(album) && !album.IsEmpty()) << entry.path() << " carries more than artist and title";
    ++partial;

    CBasicTagsCommonSearchEngine engine;
    ASSERT_EQ(engine.Connect(source.plugin()), 1);
    float maxDifference = 100.0f;  // the library's default option
    engine.SetProperty(L"MaxMatchDifference", &maxDifference);
    std::int32_t timeOut = 150000;
    engine.SetProperty(L"TimeOut", &timeOut);
    engine_tests::Recorder recorder;
    engine.SetProperty(L"NimbrelObject", &recorder);
    engine.SetProperty(L"PFSongInfoCallback", reinterpret_cast<void*>(&engine_tests::Recorder::OnSong));
    engine.SetProperty(L"PFWriteBasicTagsToCache", reinterpret_cast<void*>(&engine_tests::Recorder::OnWriteBasic));
    std::list<Nimbrel::SongQuery> query{engine_tests::Song(artist.str(), title.str(), 1)};
    engine.GetAllBasicTags(query);

    const auto known = songs.find(Plain(title));
    if (known == songs.end()) {
      EXPECT_TRUE(recorder.found.empty()) << entry.path() << ": no album holds this song";
      continue;
    }
    ASSERT_EQ(recorder.found.size(), 1u) << entry.path();
    const Nimbrel::SongInfo& info = recorder.found[0].info;
    const Expected& expected = known->second;
    EXPECT_EQ(info.albumInfo.album, expected.album.str()) << entry.path();
    EXPECT_EQ(std::to_wstring(info.albumInfo.year), expected.year.str()) << entry.path();
    EXPECT_EQ(info.albumInfo.genre, expected.genre.str()) << entry.path();
    EXPECT_EQ(std::to_wstring(info.trackInfo.trackNumber), expected.track.str().substr(0, expected.track.str().find(L'/')))
        << entry.path();
    EXPECT_EQ(Plain(CString(info.trackInfo.title)), known->first) << entry.path();
    ++found;
  }
  EXPECT_EQ(found, songs.size()) << "every song of the albums is found";
  EXPECT_GT(partial, found) << "the song that no album holds is among the partial files";
}

}  // namespace
