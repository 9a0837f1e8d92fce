// Plug-ins of another SDK level: a basic-tags module built against the
// earlier headers (tests/sources/sdk_v1) is served through its own layout,
// a module of a level newer than the library's is refused with one log line.
#include <gtest/gtest.h>

#include <string>

#include "nimbrel/SourcePlugin.h"
#include "sources/DllSourcesManager.h"
#include "sources/PluginFolder.h"
#include "support/ProcessLog.h"

namespace {

using testing_support::PluginFolder;
using testing_support::ProcessLogText;

// Answers album details with today's fields, those of level 2 included.
class DetailsEngine : public IBasicTagsSearchEngine {
 public:
  std::int32_t SetProperty(const CString&, void*) override { return 0; }
  std::int32_t GetProperty(const CString&, void*) override { return 0; }
  std::int32_t CallMethod(const CString&, void*) override { return 0; }
  void SetStop() override {}
  bool IsStopped() override { return false; }
  std::int32_t GetActiveSearchCount() override { return 0; }
  bool IsTimeOut() override { return false; }
  void GetAllBasicTags(std::list<Nimbrel::SongQuery>) override {}
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo*,
                               std::list<Nimbrel::TrackInfo>* tracks) override {
    if (!album || !tracks || album->album != L"Album of Engine") return 0;
    album->year = 1999;
    album->albumArtist = L"Various Artists";
    album->releaseId = L"release";
    for (const wchar_t* title : {L"First", L"Second"}) {
      Nimbrel::TrackInfo& track = tracks->emplace_back();
      track.title = title;
      track.discNumber = 2;
      track.lengthMs = 180000;
      track.recordingId = L"recording";
    }
    return 1;
  }
  std::int32_t DownloadCover(const CString*, const CString*, Nimbrel::CoverInfo*) override { return 0; }
};

TEST(SdkLevel, AnOlderBasicTagsModuleIsServedThroughItsOwnLayoutBothWays) {
  PluginFolder folder;
  folder.Install(L"General", L"OldLevel");
  folder.Install(L"General", L"Alpha");
  folder.Install(L"Lyrics", L"OldLevelLyrics");
  CDllSourcesManager manager;
  ASSERT_EQ(3u, manager.LoadSources(folder.path(), kSourceAll));
  EXPECT_EQ(1u, manager.Registry(kSourceGeneral)->GetSdkLevel(L"OldLevel"));
  EXPECT_EQ(nimbrel::kSdkLevel, manager.Registry(kSourceGeneral)->GetSdkLevel(L"Alpha"));

  CBasicTagsDllInterface* old = manager.GetGeneralInterface(L"OldLevel");
  ASSERT_NE(nullptr, old);
  // Records coming from the module arrive in today's layout, later fields empty;
  // albums found before stay as they were.
  std::list<Nimbrel::AlbumResult> albums(1);
  albums.front().albumInfo.albumArtist = L"kept";
  const CString artist(L"Someone"), title(L"Known one");
  EXPECT_EQ(1, old->FindAlbums(&artist, &title, albums, false));
  ASSERT_EQ(2u, albums.size());
  EXPECT_EQ(L"kept", albums.front().albumInfo.albumArtist);
  const Nimbrel::AlbumResult& found = albums.back();
  EXPECT_EQ(L"Album of Someone", found.albumInfo.album);
  EXPECT_EQ(L"key-Someone", found.albumInfo.albumKey);
  EXPECT_EQ(L"OldLevel", found.source);
  EXPECT_TRUE(found.albumInfo.albumArtist.empty());
  EXPECT_EQ(0u, found.albumInfo.trackTotal);

  Nimbrel::AlbumInfo album = found.albumInfo;
  album.releaseId = L"asked release";
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  EXPECT_EQ(1, old->GetAlbumDetails(&album, &cover, &tracks));
  ASSERT_EQ(1u, tracks.size());
  EXPECT_EQ(L"Known song", tracks.front().title);
  EXPECT_EQ(1u, tracks.front().trackNumber);
  EXPECT_EQ(0u, tracks.front().lengthMs);
  EXPECT_EQ(L"asked release", album.releaseId);

  // The engine the module is connected to answers in the module's layout.
  DetailsEngine engine;
  ASSERT_EQ(1, old->Connect(&engine));
  CString answer;
  EXPECT_EQ(1, old->CallMethod(L"DetailsThroughEngine", &answer));
  EXPECT_EQ(CString(L"Album of Engine|1999|First|2"), answer);
  CString ended;
  old->SetProperty(L"SearchEnded", &ended);

  // A module of today's level is handed out as it is, and so is a lyrics
  // module of the earlier level, whose records did not change.
  CBasicTagsDllInterface* alpha = manager.GetGeneralInterface(L"Alpha");
  ASSERT_NE(nullptr, alpha);
  ASSERT_EQ(1, alpha->Connect(&engine));
  EXPECT_EQ(1, alpha->CallMethod(L"DetailsThroughEngine", &answer));
  EXPECT_EQ(CString(L"Album of Engine|1999|First|2"), answer);
  CLyricsDllInterface* lyrics = manager.GetLyricsInterface(L"OldLevelLyrics");
  ASSERT_NE(nullptr, lyrics);
  CString text;
  const CString link(L"x");
  EXPECT_EQ(1, lyrics->GetLyricsText(&link, &text));
}

TEST(SdkLevel, AModuleOfANewerLevelIsRefusedWithOneLine) {
  PluginFolder folder;
  folder.Install(L"General", L"FutureLevel");
  folder.Install(L"Lyrics", L"FutureLevel");
  const std::size_t mark = ProcessLogText().size();
  CDllSourcesManager manager;
  EXPECT_EQ(0u, manager.LoadSources(folder.path(), kSourceAll));
  EXPECT_EQ(nullptr, manager.GetGeneralInterface(L"FutureLevel"));
  const std::wstring log = ProcessLogText().substr(mark);
  const std::wstring line = L"CDllSources::LoadSource: " + folder.path() + L"General/FutureLevel.so is built for SDK level 3, "
                            L"this library serves levels 1 to 2; not loaded";
  const std::size_t at = log.find(line);
  EXPECT_NE(std::wstring::npos, at) << std::string(log.begin(), log.end());
  EXPECT_EQ(std::wstring::npos, log.find(L"General/FutureLevel.so", at + line.size()));
}

}  // namespace
