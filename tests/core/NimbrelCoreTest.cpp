// The tagging object end to end, in process: real catalogue plug-ins loaded
// through the sources manager, a loopback tag-cache server answering "nothing
// known", covers served from loopback.
#include "core/NimbrelCore.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/TaggingWorld.h"
#include "core/TagsSearchJob.h"
#include "covers/TestPictures.h"
#include "meridex/Tags.h"
#include "platform/Event.h"
#include "platform/TextCodec.h"
#include "sources/DllSourcesManager.h"
#include "support/ProcessLog.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::ProcessLogText;
using testing_support::TaggingWorld;

constexpr std::uint32_t kLimitMs = 60000;  // only bounds a hung test

std::wstring Text(bool (Meridex::CTags::*get)(CString&) const, const Meridex::CTags& tags) {
  CString value;
  (tags.*get)(value);
  return value.str();
}

std::size_t Count(const std::wstring& text, const std::wstring& entry, std::size_t from) {
  std::size_t n = 0;
  for (std::size_t at = text.find(entry, from); at != std::wstring::npos; at = text.find(entry, at + 1)) ++n;
  return n;
}

// Tells a test that a catalogue call has begun to stall (it then waits until
// its engine is stopped).
struct StallSignal {
  CEvent stalled{false, true};
  catalogue::StallHook hook{&StallSignal::Call, this};
  static void Call(void* self) { static_cast<StallSignal*>(self)->stalled.SetEvent(); }
};

class NimbrelCoreTest : public ::testing::Test {
 protected:
  NimbrelCoreTest() { ProcessLogText(); }  // the log is open before the world writes to it

  void SetOptions(bool basic, bool cover, bool lyrics, int policy = 3, int criterion = 1) {
    NimbrelOptions options;
    options.SearchBasicTags = basic;
    options.SearchCover = cover;
    options.SearchLyrics = lyrics;
    options.OverwritePolicy = policy;
    options.SuccessCriterion = criterion;
    core->SetOptions(options);
  }
  // Waits until the object's run is over, its finishing step included.
  void WaitForRun(CNimbrelCore& object) { ASSERT_TRUE(object.JobCounters().WaitUntilIdle(kLimitMs)); }
  Meridex::CTags Collect(unsigned id) {
    Meridex::CTags out;
    EXPECT_TRUE(core->GetSongTags(id, out, false)) << "song " << id;
    return out;
  }
  void MarkLog() { logMark = ProcessLogText().size(); }
  std::size_t Logged(const std::wstring& entry) { return Count(ProcessLogText(), entry, logMark); }

  std::unique_ptr<CNimbrelCore> core = std::make_unique<CNimbrelCore>();
  std::size_t logMark = 0;
  // The local tags cache lives as long as the process: every test has an
  // artist of its own, so that no test finds another's answers.
  const std::string bandText = TaggingWorld::UniqueName();
  const std::wstring band = platform::FromUtf8(bandText);
};

// ---------------------------------------------------------------- accepting songs

TEST_F(NimbrelCoreTest, RefusesSongsWithoutArtistOrTitleOrSearches) {
  TaggingWorld world({{L"Catalogue"}});
  Meridex::CTags noTitle;
  noTitle.AddArtist(CString(band), false);
  EXPECT_EQ(0u, core->AddSong(noTitle, false));
  Meridex::CTags blank = TaggingWorld::Song(band, L"   \t");
  EXPECT_EQ(0u, core->AddSong(blank, false));
  Meridex::CTags blankArtist = TaggingWorld::Song(L"  ", L"Song");
  EXPECT_EQ(0u, core->AddSong(blankArtist, false));
  SetOptions(false, false, false);
  Meridex::CTags good = TaggingWorld::Song(band, L"Song");
  EXPECT_EQ(0u, core->AddSong(good, false));
  EXPECT_EQ(0u, core->GetPendingJobCount());  // no job was created for any of them
}

// Ids are process-wide: two objects never hand out the same one, and the
// counter passes over 0 when it wraps.
TEST_F(NimbrelCoreTest, IdsAreDistinctAcrossObjectsAndNeverZero) {
  TaggingWorld world({{L"Catalogue"}});
  CNimbrelCore other;
  SetOptions(false, false, true);
  other.SetOptions(core->Options());
  CNimbrelCore::SetNextSongIdForTest(0xFFFFFFFEu);
  std::vector<unsigned> ids;
  for (int i = 0; i < 4; ++i) {
    Meridex::CTags song = TaggingWorld::Song(band, L"Song " + std::to_wstring(i));
    ids.push_back((i % 2 ? other : *core).AddSong(song, false));
  }
  EXPECT_EQ(ids, (std::vector<unsigned>{0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 2u}));
  WaitForRun(*core);
  WaitForRun(other);
}

// ---------------------------------------------------------------- a run end to end

TEST_F(NimbrelCoreTest, FindsTagsAndLyricsThroughThePluginsAndHandsThemOutOnce) {
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}});
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tIntro\tSong\n"));
  ASSERT_TRUE(world.Load(L"LyricsCatalogue", "search 0\nlyric " + bandText + "\tSong\tl1\tla la la\n"));
  SetOptions(true, false, true, 2);
  Meridex::CTags song = TaggingWorld::Song(band, L"Song");
  const unsigned id = core->AddSong(song, false);
  ASSERT_NE(0u, id);
  WaitForRun(*core);

  std::vector<unsigned> finished;
  EXPECT_EQ(1u, core->GetFinishedSongs({id + 1000, id}, finished));
  EXPECT_EQ(finished, std::vector<unsigned>{id});
  std::vector<Meridex::CTags> results;
  ASSERT_TRUE(core->GetSongResults(id, results, false));
  ASSERT_EQ(results.size(), 2u);  // one candidate, one lyrics text
  EXPECT_EQ(Text(&Meridex::CTags::GetAlbum, results[0]), L"First");
  EXPECT_EQ(Text(&Meridex::CTags::GetLyrics, results[1]).rfind(L"la la la", 0), 0u);
  // Each candidate names its source, so a host can say where a value came from.
  EXPECT_EQ(Text(&Meridex::CTags::GetSource, results[0]), L"Catalogue");
  EXPECT_EQ(Text(&Meridex::CTags::GetSource, results[1]), L"LyricsCatalogue");

  Meridex::CTags out;
  ASSERT_TRUE(core->GetSongTags(id, out, true));
  EXPECT_EQ(Text(&Meridex::CTags::GetAlbum, out), L"First");
  EXPECT_EQ(Text(&Meridex::CTags::GetTrackNumber, out), L"2");
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, out), L"2000");
  EXPECT_EQ(Text(&Meridex::CTags::GetLyrics, out), Text(&Meridex::CTags::GetLyrics, results[1]));
  EXPECT_FALSE(core->GetSongTags(id, out, true));  // removed with the first call
  EXPECT_EQ(1, core->FinishingSteps());
  EXPECT_EQ(1, core->SongsFinished());
}

// Without the lyrics search the song is finished as soon as its basic-tags
// search has ended; nothing is asked of the lyrics source.
TEST_F(NimbrelCoreTest, WithoutLyricsTheBasicSearchAloneFinishesTheSong) {
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}});
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tSong\n"));
  ASSERT_TRUE(world.Load(L"LyricsCatalogue", "search 0\nlyric " + bandText + "\tSong\tl1\tla la la\n"));
  SetOptions(true, false, false);
  Meridex::CTags song = TaggingWorld::Song(band, L"Song");
  const unsigned id = core->AddSong(song, false);
  WaitForRun(*core);
  EXPECT_EQ(Text(&Meridex::CTags::GetAlbum, Collect(id)), L"First");
  EXPECT_EQ(Text(&Meridex::CTags::GetLyrics, Collect(id)), L"");
  EXPECT_EQ(0, world.Calls(L"LyricsCatalogue", L"FindAlbums"));
}

// ---------------------------------------------------------------- jobs

// A job ends its song's part when it goes, run or not, and not only when it
// is the run's last: while another job keeps the run open, the song whose
// two jobs were dropped is finished already, before any finishing step.
TEST(TagsSearchJobTest, EachJobEndsItsSongsPartWhenItGoes) {
  CNimbrelCore core;
  Meridex::CTags tags = TaggingWorld::Song(L"Job Band", L"Song");
  auto song = boost::make_shared<CNimbrelSong>();
  song->Init(tags, L"/tmp/");
  auto other = boost::make_shared<CNimbrelSong>();
  other->Init(tags, L"/tmp/");
  {
    TagsSearchJob keeper(&core, 1, other, CNimbrelCore::SearchKind::kLyrics);
    auto basic = std::make_unique<TagsSearchJob>(&core, 2, song, CNimbrelCore::SearchKind::kBasicTags);
    auto lyrics = std::make_unique<TagsSearchJob>(&core, 2, song, CNimbrelCore::SearchKind::kLyrics);
    basic.reset();
    EXPECT_TRUE(song->basicDone());
    EXPECT_FALSE(song->lyricsDone());
    lyrics.reset();
    EXPECT_TRUE(song->IsDone());
    EXPECT_EQ(core.SongsFinished(), 1);
    EXPECT_EQ(core.FinishingSteps(), 0);
    EXPECT_FALSE(other->lyricsDone());
  }
  EXPECT_TRUE(other->lyricsDone());
  EXPECT_EQ(core.FinishingSteps(), 1);
}

// ---------------------------------------------------------------- overwrite policies

struct PolicyCase {
  int policy;
  int sources;  // sources agreeing on the album's year and track
  const wchar_t* year;
  const wchar_t* track;
};

class PolicyTest : public NimbrelCoreTest, public ::testing::WithParamInterface<PolicyCase> {};

// A file with album, year "1999-05-03" and track "7/12"; every source knows
// the song as track 1 of the same album, of the year 2000. Policy 1 keeps
// the file's values, policy 2 takes the found ones, policy 3 only when two
// sources agree. Kept values stay exactly as the file has them; a found
// track number of the same album keeps the file's total.
TEST_P(PolicyTest, FileValuesAreKeptOrReplacedAsThePolicySays) {
  const PolicyCase c = GetParam();
  TaggingWorld world({{L"Catalogue"}, {L"CatalogueB", L"CatalogueB"}});
  const std::string data = "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tSong\n";
  ASSERT_TRUE(world.Load(L"Catalogue", data));
  ASSERT_TRUE(world.Load(L"CatalogueB", c.sources == 2 ? data : "search 0\n"));
  SetOptions(true, false, false, c.policy, 3);  // criterion 3: every source is asked
  Meridex::CTags song = TaggingWorld::Song(band, L"Song");
  song.SetAlbum(L"First");
  song.SetYear(L"1999-05-03");
  song.SetTrackNumber(L"7/12");
  song.SetGenre(L"Rock");
  const unsigned id = core->AddSong(song, false);
  WaitForRun(*core);
  const Meridex::CTags out = Collect(id);
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, out), c.year);
  EXPECT_EQ(Text(&Meridex::CTags::GetTrackNumber, out), c.track);
  EXPECT_EQ(Text(&Meridex::CTags::GetGenre, out), L"Rock");  // nothing found: as the file has it
}

INSTANTIATE_TEST_SUITE_P(Policies, PolicyTest,
                         ::testing::Values(PolicyCase{1, 2, L"1999-05-03", L"7/12"}, PolicyCase{2, 1, L"2000", L"1/12"},
                                           PolicyCase{3, 1, L"1999-05-03", L"7/12"},
                                           PolicyCase{3, 2, L"2000", L"1/12"}),
                         [](const ::testing::TestParamInfo<PolicyCase>& info) {
                           return "Policy" + std::to_string(info.param.policy) + "With" +
                                  std::to_string(info.param.sources) + "Sources";
                         });

// ---------------------------------------------------------------- bad input

// Texts a file may hold: very long, control characters, beyond the Basic
// Multilingual Plane. Whether the song is taken or not, the tags that come
// back are those given, field for field.
TEST_F(NimbrelCoreTest, OddTextsNeverDamageTheHostsTags) {
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}});
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\n"));
  ASSERT_TRUE(world.Load(L"LyricsCatalogue", "search 0\n"));
  SetOptions(true, true, true, 2);
  const std::wstring longText(10000, L'x');
  const std::wstring control = L"a\x01\x1f\x7f\tb\r\nc";
  const std::wstring astral = L"\U0001F3B5 \U00020000 song";
  const std::vector<std::pair<std::wstring, std::wstring>> songs = {
      {longText, L"Song"}, {band, longText}, {control, control}, {astral, astral}, {band, astral}};
  std::vector<std::pair<unsigned, Meridex::CTags>> added;
  for (const auto& [artist, title] : songs) {
    Meridex::CTags tags = TaggingWorld::Song(artist, title);
    tags.SetAlbum(CString(title));
    tags.SetYear(L"2001-05-03");
    tags.AddComposer(L"One", false);
    tags.AddComposer(L"Two", false);
    const unsigned id = core->AddSong(tags, false);
    ASSERT_NE(0u, id);
    added.emplace_back(id, tags);
  }
  WaitForRun(*core);
  for (const auto& [id, given] : added) {
    const Meridex::CTags out = Collect(id);
    for (auto get : {&Meridex::CTags::GetFirstValidArtist, &Meridex::CTags::GetTitle, &Meridex::CTags::GetAlbum,
                     &Meridex::CTags::GetYear, &Meridex::CTags::GetGenre, &Meridex::CTags::GetLyrics}) {
      EXPECT_EQ(Text(get, out), Text(get, given)) << "song " << id;
    }
    EXPECT_EQ(out.GetComposerCount(), 2);
    EXPECT_EQ(out.GetPictureCount(), 0);
  }
}

// ---------------------------------------------------------------- stopping

// A stop reaches the engine that searches (its plug-in call returns), the
// dropped and stopped songs still finish, the stop's duration is logged once,
// and a song offered while the stopped run winds down is refused; once it is
// over the object takes songs again.
TEST_F(NimbrelCoreTest, StopEndsTheRunFinishesEverySongAndThenAcceptsAgain) {
  TaggingWorld world({{L"Catalogue"}});
  // Every search call takes 100 ms; the first one then waits for a stop.
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nlatency 100\nstall GetAlbumDetails 1\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tSong 0\n"));
  StallSignal signal;
  CDllSourcesManager::Instance().GetGeneralInterface(L"Catalogue")->SetProperty(catalogue::kStallHook, &signal.hook);
  SetOptions(true, false, false);
  std::vector<unsigned> ids;
  for (int i = 0; i < 40; ++i) {  // more than the eight workers of one source
    Meridex::CTags song = TaggingWorld::Song(band, L"Song " + std::to_wstring(i));
    ids.push_back(core->AddSong(song, false));
    ASSERT_NE(0u, ids.back());
  }
  ASSERT_TRUE(signal.stalled.Wait(kLimitMs));
  MarkLog();
  core->StopTagging();
  Meridex::CTags late = TaggingWorld::Song(band, L"Late");
  EXPECT_EQ(0u, core->AddSong(late, false));  // the stopped searches are still in their calls
  WaitForRun(*core);
  std::vector<unsigned> finished;
  EXPECT_EQ(ids.size(), core->GetFinishedSongs(ids, finished));
  EXPECT_EQ(static_cast<int>(ids.size()), core->SongsFinished());
  EXPECT_EQ(1u, Logged(L"CNimbrelCore::StopTagging: StopTagging triggered"));
  EXPECT_EQ(1u, Logged(L"CNimbrelCore::NimbrelingFinished: Nimbreling finished."));
  EXPECT_EQ(1u, Logged(L" ms to stop."));
  EXPECT_TRUE(core->BasicEngines().Empty());
  EXPECT_LT(world.Calls(L"Catalogue", L"FindAlbums"), 40);  // queued songs were dropped, not searched
  CDllSourcesManager::Instance().GetGeneralInterface(L"Catalogue")->SetProperty(catalogue::kStallHook, nullptr);
  EXPECT_NE(0u, core->AddSong(late, false));
  WaitForRun(*core);
  EXPECT_EQ(2, core->FinishingSteps());
}

// A stop with nothing running only logs; the object then takes songs as
// soon as no job of its own is pending.
TEST_F(NimbrelCoreTest, StopWithoutSongsOnlyLogs) {
  TaggingWorld world({{L"Catalogue"}});
  MarkLog();
  core->StopTagging();
  EXPECT_EQ(1u, Logged(L"StopTagging triggered"));
  EXPECT_EQ(0, core->FinishingSteps());
  EXPECT_TRUE(core->StopRequested());
  SetOptions(true, false, false);
  Meridex::CTags song = TaggingWorld::Song(band, L"Song");
  EXPECT_NE(0u, core->AddSong(song, false));
  WaitForRun(*core);
}

// Two objects: each one's run ends, and is finished, on its own. Stopping
// the first while the second still searches ends the first's run at once
// (its finishing step runs, its stop is cleared, it takes songs again).
TEST_F(NimbrelCoreTest, TwoObjectsFinishAndClearTheirStopsIndependently) {
  TaggingWorld world({{L"Catalogue"}, {L"LyricsCatalogue", L"LyricsCatalogue", true}});
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nstall GetAlbumDetails 1\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tSong\n"));
  ASSERT_TRUE(world.Load(L"LyricsCatalogue", "search 0\nstall GetLyricsText 1\nlyric " + bandText + "\tSong\tl1\tla\n"));
  StallSignal basicSignal, lyricsSignal;
  CDllSourcesManager& sources = CDllSourcesManager::Instance();
  sources.GetGeneralInterface(L"Catalogue")->SetProperty(catalogue::kStallHook, &basicSignal.hook);
  sources.GetLyricsInterface(L"LyricsCatalogue")->SetProperty(catalogue::kStallHook, &lyricsSignal.hook);
  auto other = std::make_unique<CNimbrelCore>();
  SetOptions(true, false, false);
  other->SetOptions(core->Options());
  SetOptions(false, false, true);
  Meridex::CTags song = TaggingWorld::Song(band, L"Song");
  ASSERT_NE(0u, other->AddSong(song, false));
  ASSERT_TRUE(basicSignal.stalled.Wait(kLimitMs));  // the other object's search waits for a stop
  const unsigned id = core->AddSong(song, false);
  ASSERT_NE(0u, id);
  ASSERT_TRUE(lyricsSignal.stalled.Wait(kLimitMs));  // and so does this one's

  core->StopTagging();
  WaitForRun(*core);
  EXPECT_EQ(1, core->FinishingSteps());
  EXPECT_FALSE(core->StopRequested());
  std::vector<unsigned> finished;
  EXPECT_EQ(1u, core->GetFinishedSongs({id}, finished));
  EXPECT_NE(0u, core->AddSong(song, false));
  WaitForRun(*core);
  EXPECT_EQ(2, core->FinishingSteps());

  EXPECT_EQ(0, other->FinishingSteps());  // still searching
  EXPECT_EQ(1u, other->GetPendingJobCount());
  other.reset();  // stops its engine and waits for its worker
  sources.GetGeneralInterface(L"Catalogue")->SetProperty(catalogue::kStallHook, nullptr);
  sources.GetLyricsInterface(L"LyricsCatalogue")->SetProperty(catalogue::kStallHook, nullptr);
}

// The object's cover retrieval: after a stop an abortable request asks no
// plug-in; another object finds the picture through "amazon" and the cover
// cache, and then from the cache alone.
TEST_F(NimbrelCoreTest, CoverByArticleNumberHonoursTheStop) {
  TaggingWorld world(std::vector<TaggingWorld::Source>{{L"amazon", L"amazon"}});
  world.server().ServeText("/asin.jpg", test_pictures::Make(test_pictures::Kind::kJpeg, 60, 60), "image/jpeg");
  const std::string asin = TaggingWorld::UniqueName();
  ASSERT_TRUE(world.Load(L"amazon", "search 0\nasin " + asin + "\t" + world.server().Url("/asin.jpg") + "\n"));
  CString path;
  core->StopTagging();
  EXPECT_FALSE(core->GetCover(L"", L"", CString(platform::FromUtf8(asin)), path, true, false));
  EXPECT_EQ(0, world.Calls(L"amazon", L"CallMethod"));
  CNimbrelCore other;
  ASSERT_TRUE(other.GetCover(L"", L"", CString(platform::FromUtf8(asin)), path, true, false));
  EXPECT_FALSE(testing_support::ReadFileBytes(path.str()).empty());
  EXPECT_EQ(1, world.Calls(L"amazon", L"CallMethod"));
  CString again;
  EXPECT_TRUE(other.GetCover(L"", L"", CString(platform::FromUtf8(asin)), again, false, false));
  EXPECT_EQ(again, path);
  EXPECT_EQ(1, world.Calls(L"amazon", L"CallMethod"));  // the second came from the cover cache
}

// ---------------------------------------------------------------- album harmonisation

class HarmonisationTest : public NimbrelCoreTest {
 protected:
  HarmonisationTest() {
    world.server().ServeText("/big.jpg", test_pictures::Make(test_pictures::Kind::kJpeg, 400, 300), "image/jpeg");
    world.server().ServeText("/small.jpg", test_pictures::Make(test_pictures::Kind::kJpeg, 40, 30), "image/jpeg");
  }
  std::string Url(const std::string& path) { return world.server().Url(path); }
  std::vector<unsigned> AddSongs(const std::vector<Meridex::CTags>& songs) {
    std::vector<unsigned> ids;
    for (Meridex::CTags tags : songs) ids.push_back(core->AddSong(tags, false));
    WaitForRun(*core);
    return ids;
  }
  static std::string PictureOf(const Meridex::CTags& tags) {
    Meridex::CPictureTag picture;
    if (!tags.GetPicture(0, picture)) return "";
    return testing_support::ReadFileBytes(picture.GetFilePath().str());
  }

  TaggingWorld world{{{L"Catalogue"}}};
};

// A file's own cover of more pixels than the album's largest found cover
// stays, though the found one has more bytes; the album's other song gets
// the found one.
TEST_F(HarmonisationTest, AnOwnCoverOfMorePixelsIsNotGivenUpForTheAlbumsCover) {
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t" + Url("/small.jpg") +
                                           "\tSong 1\nalbum " + bandText + "\tFirst\t" + bandText + "k2\t" + Url("/big.jpg") + "\tSong 2\n"));
  SetOptions(true, true, false, 2);
  testing_support::ScratchFolder folder;
  const std::string ownBytes = test_pictures::PngDeclaring(2200, 2200);
  testing_support::WriteFileBytes(folder / L"own.png", ownBytes);
  Meridex::CTags own = TaggingWorld::Song(band, L"Song 1");
  own.AddPicture(Meridex::CPictureTag(folder / L"own.png", L"image/png", 3, L"", false));
  const auto ids = AddSongs({own, TaggingWorld::Song(band, L"Song 2")});
  const std::string big = PictureOf(Collect(ids[1]));
  ASSERT_GT(big.size(), ownBytes.size());
  const Meridex::CTags out = Collect(ids[0]);
  EXPECT_EQ(Text(&Meridex::CTags::GetAlbum, out), L"First");
  EXPECT_EQ(out.GetPictureCount(), 1);
  EXPECT_TRUE(PictureOf(out) == ownBytes);
}

// Two songs of one album, one found with a large cover and one with a small
// one: both end with the large cover.
TEST_F(HarmonisationTest, SongsOfOneAlbumShareTheLargestCover) {
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t" + Url("/big.jpg") +
                                           "\tSong 1\nalbum " + bandText + "\tFirst\t" + bandText + "k2\t" + Url("/small.jpg") + "\tSong 2\n"));
  SetOptions(true, true, false, 2);
  const auto ids = AddSongs({TaggingWorld::Song(band, L"Song 1"), TaggingWorld::Song(band, L"Song 2")});
  const std::string big = PictureOf(Collect(ids[0]));
  ASSERT_GT(big.size(), 1000u);
  EXPECT_TRUE(PictureOf(Collect(ids[1])) == big);
}

// Songs whose album stayed unknown are no album: each keeps the year of its
// own candidate (2000 and 2001) instead of one year for all.
TEST_F(HarmonisationTest, SongsWithoutAnAlbumAreNotMadeToAgree) {
  // Titles far apart, so that each song matches its own album only.
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\t\t" + bandText + "k1\t\tMorning light\nalbum " +
                                           bandText + "\t\t" + bandText + "k2\t\tXylophone quartet\n"));
  SetOptions(true, false, false, 2);
  const auto ids =
      AddSongs({TaggingWorld::Song(band, L"Morning light"), TaggingWorld::Song(band, L"Xylophone quartet")});
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, Collect(ids[0])), L"2000");
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, Collect(ids[1])), L"2001");
}

// Under policy 1 the album's year chosen by the other songs fills only a
// song whose file had none; a file's own year stays.
TEST_F(HarmonisationTest, UnderPolicyOneOnlyEmptyFieldsAreFilled) {
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t\tSong 1\tSong 2\tSong 3\n"));
  SetOptions(true, false, false, 1);
  Meridex::CTags own = TaggingWorld::Song(band, L"Song 1");
  own.SetAlbum(L"First");
  own.SetYear(L"1990");
  const auto ids = AddSongs({own, TaggingWorld::Song(band, L"Song 2"), TaggingWorld::Song(band, L"Song 3")});
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, Collect(ids[0])), L"1990");
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, Collect(ids[1])), L"2000");
  EXPECT_EQ(Text(&Meridex::CTags::GetYear, Collect(ids[2])), L"2000");
}

// A run without covers gets no cover, not even one that an earlier run of
// the same songs downloaded and the album's other songs carry.
TEST_F(HarmonisationTest, ARunWithoutCoversGetsNoCover) {
  ASSERT_TRUE(world.Load(L"Catalogue", "search 0\nalbum " + bandText + "\tFirst\t" + bandText + "k1\t" + Url("/big.jpg") + "\tSong 1\tSong 2\n"));
  SetOptions(true, true, false, 2);
  auto ids = AddSongs({TaggingWorld::Song(band, L"Song 1"), TaggingWorld::Song(band, L"Song 2")});
  ASSERT_FALSE(PictureOf(Collect(ids[0])).empty());
  SetOptions(true, false, false, 2);
  ids = AddSongs({TaggingWorld::Song(band, L"Song 1"), TaggingWorld::Song(band, L"Song 2")});
  for (unsigned id : ids) {
    const Meridex::CTags out = Collect(id);
    EXPECT_EQ(Text(&Meridex::CTags::GetAlbum, out), L"First");
    EXPECT_EQ(out.GetPictureCount(), 0);
  }
}

}  // namespace
