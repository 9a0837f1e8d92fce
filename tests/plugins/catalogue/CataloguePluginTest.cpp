// The "catalogue" source: a catalogue made by nimbrel-catalogue from JSON
// lines, read by the module loaded through the real registry and searched by
// the real engine.
#include <map>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "../../../plugins/catalogue/CatalogueStore.h"
#include "../../../plugins/catalogue/tool/MusicBrainzImport.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "engines/SearchEngineTestKit.h"
#include "meridex/Tags.h"
#include "support/AudioSamples.h"
#include "plugins/WebPluginSource.h"
#include "support/ScopedEnvironment.h"

namespace {

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

std::string Lookup(const std::string& id, const std::string& artist, const std::string& title,
                   const std::string& media, const std::string& extra = "") {
  return R"({"id":")" + id + R"(","title":")" + title + R"(","date":"1980-07-25",)" + extra +
         R"("artist-credit":[{"name":")" + artist + R"(","joinphrase":""}],"media":[)" + media + "]}";
}
std::string Medium(int position, const std::string& titles) {
  std::string tracks;
  int n = 0;
  std::istringstream in(titles);
  for (std::string t; std::getline(in, t, '|');) {
    if (n++) tracks += ",";
    tracks += R"({"position":)" + std::to_string(n) + R"(,"title":")" + t + "\"}";
  }
  return R"({"position":)" + std::to_string(position) + R"(,"tracks":[)" + tracks + "]}";
}

// Two AC/DC releases (one of two media), one by another artist, and bad lines.
std::string Fixture() {
  return Lookup("r1", "AC/DC", "Back in Black", Medium(1, "Hells Bells|Shoot to Thrill") + "," + Medium(2, "Bonus Track"),
                R"("tags":[{"count":1,"name":"rock"},{"count":4,"name":"hard rock"}],"asin":"B000089RV6",)") +
         "\n" + "{not json\n\n" + R"(["an array"])" + "\n" +
         Lookup("r2", "AC/DC", "Highway to Hell", Medium(1, "Highway to Hell|Girls Got Rhythm")) + "\n" +
         Lookup("../../etc", "AC/DC", "Bad Id", Medium(1, "Hells Bells")) + "\n" +
         Lookup("r4", "AC/DC", "No Tracks", "") + "\n" +
         Lookup("r3", "Beyoncé", "Dangerously in Love", Medium(1, "Crazy in Love")) + "\n";
}

class CatalogueTest : public ::testing::Test {
 protected:
  CatalogueTest() { source_.Set(L"CatalogueFile", file_); }
  CBasicTagsDllInterface* plugin() { return source_.plugin(); }

  // Runs the tool on `jsonLines`; its exit status, with its error output in `errors`.
  int RunTool(const std::string& jsonLines, std::string& errors, const std::string& file = "") {
    const std::string input = dir_ + "releases.jsonl";
    std::ofstream(input, std::ios::binary) << jsonLines;
    return RunCommand("import-musicbrainz", input, errors, file);
  }
  int RunCommand(const std::string& what, const std::string& input, std::string& errors, const std::string& file = "") {
    const std::string errorFile = dir_ + "errors.txt";
    const std::string command = std::string("'") + NIMBREL_CATALOGUE_TOOL + "' --catalogue '" + (file.empty() ? file_ : file) +
                                "' " + what + " '" + input + "' > /dev/null 2> '" + errorFile + "'";
    const int status = std::system(command.c_str());
    std::ifstream in(errorFile);
    errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::int32_t Find(const std::wstring& artist, const std::wstring& title, std::list<Nimbrel::AlbumResult>& out,
                    bool countOnly = false) {
    const CString a(artist), t(title);
    return plugin()->FindAlbums(&a, &t, out, countOnly);
  }
  // Runs one search of `titles` by `artist` through the engine.
  void Search(const std::wstring& artist, const std::vector<std::wstring>& titles, engine_tests::Recorder& recorder) {
    CBasicTagsCommonSearchEngine engine;
    ASSERT_EQ(engine.Connect(plugin()), 1);
    engine_tests::SetUpLikeTheCore(engine, recorder);
    engine.SetProperty(L"PFWriteBasicTagsToCache", reinterpret_cast<void*>(&engine_tests::Recorder::OnWriteBasic));
    std::list<Nimbrel::SongQuery> songs;
    for (unsigned i = 0; i < titles.size(); ++i) songs.push_back(engine_tests::Song(artist, titles[i], i));
    engine.GetAllBasicTags(songs);
  }

  testing_support::WebPluginSource<CBasicTagsDllInterface> source_{L"catalogue"};
  const std::string dir_ = Narrow(source_.folder());
  const std::string file_ = dir_ + "catalogue.sqlite";
};

TEST_F(CatalogueTest, TheEngineFindsSongsInACatalogueMadeByTheTool) {
  std::string errors;
  ASSERT_EQ(RunTool(Fixture(), errors), 0) << errors;
  engine_tests::Recorder recorder;
  Search(L"AC/DC", {L"Hells Bells", L"No Such Song"}, recorder);
  ASSERT_EQ(recorder.found.size(), 1u);
  const Nimbrel::SongInfo& song = recorder.found[0].info;
  EXPECT_EQ(song.trackInfo.title, L"Hells Bells");
  EXPECT_EQ(song.trackInfo.trackNumber, 1u);
  EXPECT_EQ(song.albumInfo.album, L"Back in Black");
  EXPECT_EQ(song.albumInfo.artist, L"AC/DC");
  EXPECT_EQ(song.albumInfo.year, 1980);
  EXPECT_EQ(song.albumInfo.genre, L"hard rock");
  EXPECT_EQ(song.albumInfo.albumKey, L"r1");
  EXPECT_EQ(song.coverInfo.coverUrl, L"ASIN=B000089RV6");
  EXPECT_EQ(song.source, L"catalogue");
  EXPECT_EQ(recorder.NotFound(), std::vector<std::wstring>{L"No Such Song"});
}

// Lengths, recording and release-group ids and the original date come from
// the import; a catalogue of the first layout is read as it is and brought
// up to date by the next import into it.
TEST_F(CatalogueTest, RecordFieldsComeFromTheImportAndAnOlderCatalogueIsUpgraded) {
  const std::string old = dir_ + "old.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(old.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE releases(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, title TEXT NOT NULL,"
                         " artist TEXT NOT NULL, genre TEXT NOT NULL, year INTEGER NOT NULL, cover TEXT NOT NULL);"
                         "CREATE TABLE tracks(id INTEGER PRIMARY KEY, release INTEGER NOT NULL, medium INTEGER NOT NULL,"
                         " number INTEGER NOT NULL, title TEXT NOT NULL);"
                         "CREATE INDEX tracks_of_release ON tracks(release, medium, number);"
                         "CREATE VIRTUAL TABLE track_index USING fts5(artist, title, tokenize = 'unicode61 remove_diacritics 2');"
                         "INSERT INTO releases VALUES(1, 'old1', 'Old Album', 'Band', 'rock', 1970, '');"
                         "INSERT INTO tracks VALUES(1, 1, 1, 1, 'Old Song');"
                         "INSERT INTO track_index(rowid, artist, title) VALUES(1, 'Band', 'Old Song');"
                         "PRAGMA user_version = 1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  source_.Set(L"CatalogueFile", old);
  engine_tests::Recorder before;
  Search(L"Band", {L"Old Song"}, before);
  ASSERT_EQ(before.found.size(), 1u);
  EXPECT_EQ(before.found[0].info.trackInfo.lengthMs, 0u);
  EXPECT_EQ(before.found[0].info.albumInfo.albumArtist, L"Band");

  const std::string mbid = "0a1b2c3d-0000-4000-8000-000000000001";
  const std::string tracks = R"({"position":1,"tracks":[{"position":1,"title":"New Song","length":241000,)"
                             R"("recording":{"id":"rec-1","length":240000}},{"position":2,"title":"Other",)"
                             R"("recording":{"id":"rec-2","length":180500}}]})";
  std::string errors;
  ASSERT_EQ(RunTool(Lookup(mbid, "Band", "New Album", tracks,
                           R"("release-group":{"id":"group-1","first-release-date":"1969-10-01"},)") + "\n",
                    errors, old),
            0)
      << errors;
  engine_tests::Recorder after;
  Search(L"Band", {L"New Song", L"Other", L"Old Song"}, after);
  ASSERT_EQ(after.found.size(), 3u);
  std::map<std::wstring, Nimbrel::SongInfo> found;
  for (const auto& f : after.found) found[f.info.trackInfo.title] = f.info;
  EXPECT_EQ(found[L"New Song"].trackInfo.lengthMs, 241000u);
  EXPECT_EQ(found[L"New Song"].trackInfo.recordingId, L"rec-1");
  EXPECT_EQ(found[L"New Song"].trackInfo.discNumber, 1u);
  EXPECT_EQ(found[L"Other"].trackInfo.lengthMs, 180500u);
  EXPECT_EQ(found[L"Other"].albumInfo.releaseId, std::wstring(mbid.begin(), mbid.end()));
  EXPECT_EQ(found[L"Other"].albumInfo.releaseGroupId, L"group-1");
  EXPECT_EQ(found[L"Other"].albumInfo.originalDate, L"1969-10-01");
  EXPECT_EQ(found[L"Other"].albumInfo.trackTotal, 2u);
  EXPECT_EQ(found[L"Old Song"].albumInfo.releaseId, L"") << "an importer's own key is no release id";
}

// A catalogue made before the recording index existed: the plug-in adds the
// index on opening a writable file, and leaves a read-only one as it is.
TEST_F(CatalogueTest, AnOlderCatalogueGetsItsRecordingIndexUnlessItIsReadOnly) {
  const std::string recording = "cccccccc-0000-4000-8000-000000000003";
  const auto hasIndex = [](const std::string& file) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name = 'tracks_of_recording'", -1, &s, nullptr);
    const bool found = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return found;
  };
  const auto bytes = [](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  for (const bool readOnly : {false, true}) {
    const std::string file = dir_ + (readOnly ? "locked.sqlite" : "old.sqlite");
    {
      catalogue::CatalogueStore writer;
      ASSERT_TRUE(writer.OpenForWriting(file));
      ASSERT_TRUE(writer.Add({"r1", "First", "X", "", 2001, "", {{1, 1, "One", 0, recording}}}));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP INDEX tracks_of_recording", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    if (readOnly) std::filesystem::permissions(file, std::filesystem::perms::owner_read);
    const std::string before = bytes(file);
    source_.Set(L"CatalogueFile", file);
    const CString release, byRecording(std::wstring(recording.begin(), recording.end()));
    std::list<Nimbrel::AlbumResult> albums;
    FindAlbumsByIdArgs args{&release, &byRecording, &albums};
    EXPECT_EQ(plugin()->CallMethod(L"FindAlbumsById", &args), 1) << file;
    EXPECT_EQ(albums.size(), 1u) << file;
    EXPECT_EQ(hasIndex(file), !readOnly) << file;
    if (readOnly) {
      EXPECT_TRUE(bytes(file) == before) << "the read-only file changed";
    }
  }
}

// The catalogue's artist search also finds artists whose names hold the
// song's artist: a tribute band's album listed first does not take the song.
TEST_F(CatalogueTest, ATitleGoesToTheSongsOwnArtistBeforeATributeBandListedFirst) {
  std::string errors;
  ASSERT_EQ(RunTool(Lookup("t1", "AC/DC Tribute", "Black Again", Medium(1, "Hells Bells")) + "\n" + Fixture(), errors), 0)
      << errors;
  for (const auto& [artist, album, track] : {std::tuple{L"AC/DC", L"Back in Black", 1u},
                                             std::tuple{L"AC/DC Tribute", L"Black Again", 1u}}) {
    engine_tests::Recorder recorder;
    Search(artist, {L"Hells Bells"}, recorder);
    ASSERT_EQ(recorder.found.size(), 1u) << artist;
    EXPECT_EQ(recorder.found[0].info.albumInfo.album, album) << artist;
    EXPECT_EQ(recorder.found[0].info.trackInfo.trackNumber, track) << artist;
  }
}

TEST_F(CatalogueTest, BadLinesAreReportedAndSkippedAndAReimportReplaces) {
  std::string errors;
  ASSERT_EQ(RunTool(Fixture(), errors), 0);
  // Line numbers count the blank line; the path-like id never reaches the catalogue.
  for (const char* expected : {"line 2: not JSON", "line 4: not a release", "line 6: release id", "line 7: release without"}) {
    EXPECT_NE(errors.find(expected), std::string::npos) << expected << " in\n" << errors;
  }
  ASSERT_EQ(RunTool(Fixture(), errors), 0);
  catalogue::CatalogueStore store;
  ASSERT_TRUE(store.OpenReadOnly(file_));
  EXPECT_EQ(store.ReleaseCount(), 3);
  EXPECT_EQ(store.FindByTitle("AC/DC", "Hells Bells").size(), 1u);
  // A writer that fails part-way keeps nothing: the group is rolled back on close.
  catalogue::CatalogueStore writer;
  ASSERT_TRUE(writer.OpenForWriting(file_));
  ASSERT_TRUE(writer.Begin());
  ASSERT_TRUE(writer.Add({"r9", "Later", "AC/DC", "", 0, "", {{1, 1, "Late Song"}}}));
  writer.Close();
  EXPECT_EQ(store.ReleaseCount(), 3);
  std::istringstream more(Lookup("r9", "AC/DC", "Later", Medium(1, "Late Song")));
  std::ostringstream refused;
  EXPECT_EQ(catalogue::ImportMusicBrainzLines(more, store, refused).imported, 0u) << "a read-only store takes nothing";
  EXPECT_EQ(store.ReleaseCount(), 3);
}

// A release id names every medium of that release, first; a recording id
// the media of any release that hold it.
TEST_F(CatalogueTest, IdsFindTheirReleaseAndTheMediaHoldingTheirRecording) {
  const std::string first = "aaaaaaaa-0000-4000-8000-000000000001", second = "aaaaaaaa-0000-4000-8000-000000000002",
                    recording = "cccccccc-0000-4000-8000-000000000003";
  {
    catalogue::CatalogueStore writer;
    ASSERT_TRUE(writer.OpenForWriting(file_));
    ASSERT_TRUE(writer.Begin());
    ASSERT_TRUE(writer.Add({first, "First", "X", "", 2001, "", {{1, 1, "One"}, {2, 1, "Two", 0, recording}}}));
    ASSERT_TRUE(writer.Add({second, "Second", "X", "", 2002, "", {{1, 1, "Other"}, {1, 2, "Two again", 0, recording}}}));
    ASSERT_TRUE(writer.Commit());
  }
  using Media = std::vector<std::pair<std::string, std::int32_t>>;
  const struct {
    std::string release, recording;
    Media media;
  } cases[] = {{first, "", {{first, 1}, {first, 2}}},
               {"", recording, {{first, 2}, {second, 1}}},
               {second, recording, {{second, 1}, {first, 2}}},
               {"aaaaaaaa-0000-4000-8000-00000000000f", "", {}}};
  for (const auto& c : cases) {
    const CString release(std::wstring(c.release.begin(), c.release.end())),
        byRecording(std::wstring(c.recording.begin(), c.recording.end()));
    std::list<Nimbrel::AlbumResult> albums;
    FindAlbumsByIdArgs args{&release, &byRecording, &albums};
    EXPECT_EQ(plugin()->CallMethod(L"FindAlbumsById", &args), c.media.empty() ? 0 : 1);
    Media seen;
    for (const auto& album : albums) seen.emplace_back(Narrow(album.albumInfo.albumKey), album.albumInfo.albumNumber);
    EXPECT_EQ(seen, c.media) << c.release << " " << c.recording;
  }
}

TEST_F(CatalogueTest, ArtistSearchWhenItIsCheaperThanTitleByTitle) {
  std::string errors;
  ASSERT_EQ(RunTool(Fixture(), errors), 0);
  std::list<Nimbrel::AlbumResult> albums;
  // Three media of two releases; the other artist's accents do not matter.
  EXPECT_EQ(Find(L"ac dc", L"", albums, true), 3);
  EXPECT_TRUE(albums.empty());
  EXPECT_EQ(Find(L"Beyonce", L"crazy IN love", albums), 1);
  EXPECT_EQ(source_.Integer(L"SupportedSearch"), 1);

  engine_tests::Recorder recorder;
  // The first title hits once; the artist's three media cost less than four more titles.
  Search(L"AC/DC", {L"Shoot to Thrill", L"Girls Got Rhythm", L"Bonus Track", L"Highway to Hell", L"Missing"}, recorder);
  EXPECT_EQ(recorder.found.size(), 4u);
  ASSERT_FALSE(recorder.written.empty());
  EXPECT_TRUE(recorder.written.back().byArtist);
  EXPECT_EQ(recorder.NotFound(), std::vector<std::wstring>{L"Missing"});

  // A medium's details hold that medium's tracks only.
  Nimbrel::AlbumInfo album;
  album.albumKey = L"r1";
  album.albumNumber = 2;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
  ASSERT_EQ(plugin()->GetAlbumDetails(&album, &cover, &tracks), 1);
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks.front().title, L"Bonus Track");
}

TEST_F(CatalogueTest, MissingCorruptOrForeignCataloguesFindNothing) {
  std::list<Nimbrel::AlbumResult> albums;
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 0);
  EXPECT_FALSE(std::ifstream(file_).good()) << "reading must not create the catalogue";
  // Without a file of its own the source reads the user's data folder, else
  // the library's cache folder, whichever holds a catalogue; with neither, the
  // data folder's file is the one waited for.
  {
    testing_support::ScopedEnvironment data("XDG_DATA_HOME", dir_ + "data");
    source_.Set(L"CatalogueFile", "");
    source_.Set(L"LocalCacheFolder", dir_ + "cache");
    const auto current = [this] {
      CString file;
      EXPECT_EQ(plugin()->GetProperty(L"CatalogueFile", &file), 1);
      return Narrow(file.str());
    };
    const std::string inData = dir_ + "data/nimbrel/catalogue.sqlite", inCache = dir_ + "cache/catalogue/catalogue.sqlite";
    EXPECT_EQ(current(), inData);
    std::string errors;
    std::filesystem::create_directories(dir_ + "cache/catalogue");
    ASSERT_EQ(RunTool(Fixture(), errors, inCache), 0);
    EXPECT_EQ(current(), inCache);
    EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 1);
    std::filesystem::create_directories(dir_ + "data/nimbrel");
    ASSERT_EQ(RunTool(Lookup("d1", "AC/DC", "In Data", Medium(1, "Hells Bells")), errors, inData), 0);
    EXPECT_EQ(current(), inData);
    albums.clear();
    EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 1);
    EXPECT_EQ(albums.front().albumInfo.albumKey, L"d1");
    // The tool writes there by default.
    const std::string command = std::string("cd '") + dir_ + "' && '" + NIMBREL_CATALOGUE_TOOL +
                                "' import-musicbrainz releases.jsonl > /dev/null 2>&1";
    std::ofstream(dir_ + "releases.jsonl") << Lookup("d2", "AC/DC", "Also In Data", Medium(1, "Hells Bells")) << "\n";
    ASSERT_EQ(std::system(command.c_str()), 0);
    albums.clear();
    EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 2);
    // A relative path names no file.
    EXPECT_EQ(source_.Set(L"CatalogueFile", "catalogue.sqlite"), 0);
    std::filesystem::remove_all(dir_ + "data");
    std::filesystem::remove_all(dir_ + "cache");
    albums.clear();
  }
  source_.Set(L"CatalogueFile", file_);
  // Query syntax in the tags is only text.
  std::string errors;
  ASSERT_EQ(RunTool(Fixture(), errors), 0);
  EXPECT_EQ(Find(L"AC/DC", L"Hells\" OR title:*", albums), 0);
  EXPECT_EQ(Find(L"\"", L"Hells Bells", albums), 0);
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 1) << "a catalogue made later is read by the next search";

  const std::string corrupt = dir_ + "corrupt.sqlite";
  std::ofstream(corrupt, std::ios::binary) << std::string(4096, 'x');
  source_.Set(L"CatalogueFile", corrupt);
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 0);
  EXPECT_EQ(RunTool(Fixture(), errors, corrupt), 1) << "the tool does not write into a file that is not a catalogue";

  // A catalogue of a later layout is not misread.
  const std::string later = dir_ + "later.sqlite";
  ASSERT_EQ(RunTool(Fixture(), errors, later), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(later.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version = 3", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  source_.Set(L"CatalogueFile", later);
  EXPECT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 0);
  EXPECT_EQ(RunTool(Fixture(), errors, later), 1);
  EXPECT_EQ(albums.size(), 1u) << "only the one search that could read its catalogue found something";
}

// The user's settings file and the environment choose the catalogue of a
// module that no host configured; a host's setting still wins.
TEST_F(CatalogueTest, TheSettingsFileAndTheEnvironmentNameTheCatalogue) {
  std::string errors;
  const std::string fromFile = dir_ + "from-file.sqlite", fromEnvironment = dir_ + "from-environment.sqlite";
  ASSERT_EQ(RunTool(Lookup("f1", "AC/DC", "File", Medium(1, "Hells Bells")), errors, fromFile), 0);
  ASSERT_EQ(RunTool(Lookup("e1", "AC/DC", "Environment", Medium(1, "Hells Bells")), errors, fromEnvironment), 0);
  const std::string conf = dir_ + "plugins.conf";
  std::ofstream(conf) << "[catalogue]\nCatalogueFile = " << fromFile << "\n";
  testing_support::ScopedEnvironment settingsFile("NIMBREL_PLUGINS_CONF", conf);
  testing_support::WebPluginSource<CBasicTagsDllInterface> fresh{L"catalogue"};
  const auto found = [&fresh] {
    std::list<Nimbrel::AlbumResult> albums;
    const CString artist(L"AC/DC"), title(L"Hells Bells");
    return fresh.plugin()->FindAlbums(&artist, &title, albums, false) == 1 ? Narrow(albums.front().albumInfo.albumKey)
                                                                            : std::string("nothing");
  };
  EXPECT_EQ(found(), "f1");
  {
    testing_support::ScopedEnvironment variable("NIMBREL_CATALOGUE_CATALOGUEFILE", fromEnvironment);
    EXPECT_EQ(found(), "e1");
    ASSERT_EQ(fresh.Set(L"CatalogueFile", file_), 1);
    EXPECT_EQ(found(), "nothing") << "the host's file, not made yet";
    ASSERT_EQ(fresh.Set(L"CatalogueFile", ""), 1);
    EXPECT_EQ(found(), "e1") << "an empty host setting gives the environment its say again";
  }
  // A relative path in the file is refused and reported; the defaults apply.
  std::ofstream(conf) << "[catalogue]\nCatalogueFile = relative.sqlite\nLibrary = x\n";
  EXPECT_EQ(found(), "nothing");
  CString problems;
  ASSERT_EQ(fresh.plugin()->GetProperty(L"SettingsProblems", &problems), 1);
  EXPECT_NE(problems.Find(L"CatalogueFile: relative.sqlite"), -1) << Narrow(problems.str());
  EXPECT_NE(problems.Find(L"unknown key \"Library\""), -1) << Narrow(problems.str());
}

TEST_F(CatalogueTest, SearchesInSeveralThreadsWhileTheCatalogueIsSwitched) {
  std::string errors;
  const std::string other = dir_ + "other.sqlite";
  ASSERT_EQ(RunTool(Fixture(), errors), 0);
  ASSERT_EQ(RunTool(Lookup("o1", "AC/DC", "Other", Medium(1, "Hells Bells|Hells Bells Live")), errors, other), 0);
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        std::list<Nimbrel::AlbumResult> albums;
        const std::int32_t hits = Find(L"AC/DC", L"Hells Bells", albums);
        // Either catalogue holds one album with the song; a search during the switch may find none.
        if (hits > 1 || albums.size() != static_cast<std::size_t>(hits < 0 ? 0 : hits)) wrong = true;
      }
    });
  }
  for (int i = 0; i < 100; ++i) source_.Set(L"CatalogueFile", i % 2 ? file_ : other);
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(wrong);
  std::list<Nimbrel::AlbumResult> albums;
  ASSERT_EQ(Find(L"AC/DC", L"Hells Bells", albums), 1);
  EXPECT_EQ(albums.front().albumInfo.albumKey, L"r1") << "the last file set is the one read";
}

// An MP3 file at `path` with these tags (empty ones left out).
void TaggedMp3(const std::string& path, const wchar_t* artist, const wchar_t* album, const wchar_t* title,
               const wchar_t* track, const wchar_t* year = L"", const wchar_t* genre = L"") {
  std::ofstream(path, std::ios::binary) << testing_support::MakeMp3();
  Meridex::CTags tags;
  tags.AddArtist(artist, false);
  tags.SetAlbum(album);
  tags.SetTitle(title);
  tags.SetTrackNumber(track);
  tags.SetYear(year);
  tags.SetGenre(genre);
  ASSERT_TRUE(tags.SaveFile(CString(std::wstring(path.begin(), path.end()))).ok) << path;
}

TEST_F(CatalogueTest, ImportTagsLearnsAlbumsFromWellTaggedFiles) {
  const std::string music = dir_ + "music/", disc = music + "disc/";
  std::filesystem::create_directories(disc);
  TaggedMp3(music + "b.mp3", L"Band", L"Album A", L"Second Song", L"2/10", L"2001", L"Rock");
  TaggedMp3(disc + "a.mp3", L"band ", L"album a", L"First Song", L"1");
  TaggedMp3(disc + "copy.mp3", L"Band", L"Album A", L"First Song", L"1");
  TaggedMp3(music + "other.mp3", L"Band", L"Album B", L"Other", L"");
  TaggedMp3(music + "untitled.mp3", L"Band", L"", L"Loose Song", L"5");
  std::ofstream(music + "notes.txt") << "not music";
  std::string errors;
  ASSERT_EQ(RunCommand("import-tags", music, errors), 0) << errors;
  EXPECT_NE(errors.find("untitled.mp3: no artist, album or title"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("notes.txt"), std::string::npos) << errors;
  ASSERT_EQ(RunCommand("import-tags", music, errors), 0) << "a second import replaces the first";

  engine_tests::Recorder recorder;
  Search(L"Band", {L"First Song", L"Second Song", L"Loose Song"}, recorder);
  ASSERT_EQ(recorder.found.size(), 2u);
  for (const auto& found : recorder.found) {
    EXPECT_EQ(found.info.albumInfo.album, L"Album A");
    EXPECT_EQ(found.info.albumInfo.year, 2001);
    EXPECT_EQ(found.info.albumInfo.genre, L"Rock");
  }
  catalogue::CatalogueStore store;
  ASSERT_TRUE(store.OpenReadOnly(file_));
  EXPECT_EQ(store.ReleaseCount(), 2);
  const auto hits = store.FindByTitle("band", "first song");
  ASSERT_EQ(hits.size(), 1u);
  catalogue::Release release;
  ASSERT_TRUE(store.Details(hits[0].key, 1, release));
  ASSERT_EQ(release.tracks.size(), 2u) << "the copy of a song counts once";
  EXPECT_EQ(release.tracks[0].title, "First Song");
  EXPECT_EQ(release.tracks[1].number, 2);
  EXPECT_EQ(RunCommand("import-tags", dir_ + "missing", errors), 1);
}

}  // namespace
