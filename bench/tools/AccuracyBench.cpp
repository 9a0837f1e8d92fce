// How often nimbrel-tag writes the right album, track number and year into a
// collection shaped like real ones, and how often it writes a wrong value.
//
// The corpus is generated here as data: scenarios of releases (albums,
// singles and EPs, a "Various Artists" compilation, live albums, a deluxe
// edition with bonus tracks, a two-disc release whose track numbers repeat,
// a tribute band with the same titles, numbered parts, near-equal titles, the
// same titles on a studio and a live album, songs the catalogue does not
// know), put into a catalogue for the "catalogue" source plug-in, and small
// MP3 files of the songs a user owns, in four states: artist and title only;
// with the album; with the album and a wrong year; with the album and a
// picture of the file's own. Each state is a folder of its own, a folder per
// release below it, as users keep them. nimbrel-tag runs over every file
// twice: cold (every answer from the plug-in) and warm (the files given back
// their bytes, every answer from the library's caches). The files are read
// back through Meridex.
//
// What a file should get is worked out from what the file itself tells: the
// catalogue's tracks of the file's artist whose title is the file's (case
// and blanks aside), on the file's album when it names one. One such track
// (album, number, year) makes the file unambiguous: it should get that
// album, number and year, except that a year the file already holds stays
// under overwrite policy 3 (one source is not agreement). None or several:
// the file should be left alone. A wrong write is a changed album, track
// number, year, title, artist or picture whose new value is not the right
// one (for an ambiguous file: not the one of the release it came from).
//
// Arguments: the overwrite policy, whether the catalogue lists each
// scenario's releases in reverse (a live album, the tribute band, the deluxe
// edition or the single before the album), and whether the files of the
// scenarios where lengths tell versions apart (single/album, live, studio
// and live, two discs) carry their real length (else they are a few frames
// long, and length cannot help). A table per pass goes to standard output;
// the counters are the totals of the warm pass and the cold pass.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "../../plugins/catalogue/CatalogueStore.h"
#include "BenchRun.h"
#include "Reporter.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "Text.h"
#include "meridex/Tags.h"
#include "nimbrel/Nimbrel.h"
#include "support/AudioSamples.h"

namespace {

namespace fs = std::filesystem;

// ---- The corpus -----------------------------------------------------------

struct Track {
  std::string title;
  std::string artist;  // empty: the release's artist
  int seconds = 0;     // the length of the recording; 0: the files are tiny and the catalogue knows none
};

struct Release {
  std::string artist, title;
  int year = 0;
  std::vector<std::vector<Track>> media;
  bool inCatalogue = true;  // false: a release the catalogue does not know
  bool owned = true;        // the user has files of every track
};

struct Scenario {
  std::string name;
  std::vector<Release> releases;
};

// Distinct titles of two words, far apart from each other by the string
// difference (they differ in a whole word).
class TitleMaker {
 public:
  std::string Next() {
    static const char* const first[] = {"Silver", "Broken", "Quiet",  "Golden", "Hollow", "Crimson", "Distant",
                                        "Paper",  "Frozen", "Velvet", "Wild",   "Electric", "Midnight", "Amber"};
    static const char* const second[] = {"River",  "Clock",   "Harbour", "Garden", "Signal", "Mirror", "Lantern",
                                         "Meadow", "Thunder", "Compass", "Orchard", "Station", "Feather", "Canyon",
                                         "Window", "Engine",  "Island",  "Ladder"};
    constexpr int kFirst = sizeof first / sizeof *first;
    const std::string title = std::string(first[next_ % kFirst]) + " " + second[next_ / kFirst];
    ++next_;
    return title;
  }
  std::vector<Track> Tracks(int count) {
    std::vector<Track> tracks;
    for (int i = 0; i < count; ++i) tracks.push_back({Next(), ""});
    return tracks;
  }

 private:
  int next_ = 0;
};

std::vector<Track> Titled(std::initializer_list<const char*> titles) {
  std::vector<Track> tracks;
  for (const char* title : titles) tracks.push_back({title, ""});
  return tracks;
}

// Gives the tracks lengths from `base` seconds on, spread over two minutes.
std::vector<Track> Timed(std::vector<Track> tracks, int base) {
  for (std::size_t i = 0; i < tracks.size(); ++i) tracks[i].seconds = base + static_cast<int>((i * 37) % 120);
  return tracks;
}

// The same songs in other takes: `change` seconds longer (a live take) or shorter (an edit).
std::vector<Track> Retimed(std::vector<Track> tracks, int change) {
  for (auto& track : tracks) track.seconds += change;
  return tracks;
}

std::vector<Track> Suffixed(std::vector<Track> tracks, const std::string& suffix) {
  for (auto& track : tracks) track.title += suffix;
  return tracks;
}

// The scenarios; `tag` makes the artists of one corpus differ from those of
// another in the same process (the library's caches live as long as it).
std::vector<Scenario> MakeCorpus(const std::string& tag) {
  TitleMaker titles;
  const auto artist = [&tag](const std::string& name) { return tag.empty() ? name : name + " " + tag; };
  std::vector<Scenario> corpus;

  corpus.push_back({"album", {{artist("Aster Lane"), "Northern Lights", 2001, {titles.Tracks(10)}}}});

  {
    // A single whose song is also on the album, a single of its own, an EP.
    // The single is an edit of the album's song, 45 s shorter.
    auto album = Timed(titles.Tracks(9), 180);
    const Track shared = Retimed({album[3]}, -45)[0];
    corpus.push_back({"single/EP",
                      {{artist("Bryony Vale"), shared.title, 2014, {{shared}}},
                       {artist("Bryony Vale"), "Tidewater", 2015, {album}},
                       {artist("Bryony Vale"), "Lone Star", 2016, {Titled({"Lone Star"})}},
                       {artist("Bryony Vale"), "Quiet Hours EP", 2017, {titles.Tracks(4)}}}});
  }

  {
    // A compilation: the catalogue knows it under "Various Artists" only.
    // Two of its songs are also on their singers' own albums.
    const auto cato = titles.Tracks(6), delia = titles.Tracks(6);
    const std::string catoName = artist("Cato Reyes"), deliaName = artist("Delia Munro"), ezraName = artist("Ezra Quinn");
    std::vector<Track> hits = {{cato[1].title, catoName},   {delia[2].title, deliaName},
                               {titles.Next(), ezraName},   {titles.Next(), catoName},
                               {titles.Next(), ezraName},   {titles.Next(), deliaName}};
    corpus.push_back({"Various Artists",
                      {{"Various Artists", "Summer Hits 2020", 2020, {hits}},
                       {catoName, "Harbour Town", 2019, {cato}, true, false},
                       {deliaName, "Open Roads", 2018, {delia}, true, false}}});
  }

  {
    // A live album whose titles carry "(Live)".
    const auto studio = Timed(titles.Tracks(8), 170);
    std::vector<Track> live = Retimed({studio.begin(), studio.begin() + 6}, 40);
    corpus.push_back({"live album",
                      {{artist("Dorian Fields"), "Glass Harbour", 2005, {studio}},
                       {artist("Dorian Fields"), "Alive in Lisbon", 2007, {Suffixed(live, " (Live)")}}}});
  }

  {
    auto standard = titles.Tracks(10), deluxe = standard;
    for (const auto& bonus : titles.Tracks(4)) deluxe.push_back(bonus);
    corpus.push_back({"deluxe edition",
                      {{artist("Elena Marsh"), "Firefly", 2010, {standard}},
                       {artist("Elena Marsh"), "Firefly (Deluxe Edition)", 2011, {deluxe}}}});
  }

  corpus.push_back({"two discs",
                    {{artist("Felix Orr"), "Double Life", 2012, {Timed(titles.Tracks(8), 150), Timed(titles.Tracks(7), 160)}}}});

  {
    // The tribute band's name holds the original's, so searching the
    // original artist finds the tribute albums too.
    const auto songs = titles.Tracks(8);
    corpus.push_back({"tribute band",
                      {{artist("Queen Bee"), "Honeycomb", 1999, {songs}},
                       {artist("Queen Bee") + " Tribute", "Honeycomb Revisited", 2019, {songs}}}});
  }

  corpus.push_back({"numbered parts",
                    {{artist("Gideon Hale"),
                      "Seasons",
                      2003,
                      {Titled({"Overture (Part 1)", "Overture (Part 2)", "Winter I", "Winter II", "Winter III",
                               "Part 1", "Part 2", "Intro (Part 1)", "Intro (Part 2)", "Spring", "Spring II"})}}}});

  corpus.push_back({"near-equal titles",
                    {{artist("Hana Voss"),
                      "Halo",
                      2011,
                      {Titled({"Angel", "Angels", "Hold On", "Holding On", "Stay", "Stays", "Lover", "Lovers"})}}}});

  {
    // The same titles on a studio album and, in another order, a live album.
    // The live takes run 35 s longer than the studio ones.
    const auto studio = Timed(titles.Tracks(8), 190);
    std::vector<Track> live = Retimed({studio[5], studio[2], studio[0], studio[7], studio[1], studio[4]}, 35);
    corpus.push_back({"studio and live",
                      {{artist("Iris Cole"), "Evergreen", 2008, {studio}},
                       {artist("Iris Cole"), "Evergreen Live", 2009, {live}}}});
  }

  // Songs the catalogue does not know, one letter away from songs it knows.
  corpus.push_back({"unknown, near a known title",
                    {{artist("Jonas Wild"), "Paper Crowns", 2013, {Titled({"Angel", "Hold On", "Lover", "Night"})}, true,
                      false},
                     {artist("Jonas Wild"), "Demos", 2014, {Titled({"Angela", "Hold Out", "Loner", "Nights"})}, false}}});

  return corpus;
}

// ---- What a file should get -----------------------------------------------

// Lower case, single blanks, no blanks at the ends.
std::string Plain(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

struct Values {
  std::string artist, title, album;
  int year = 0, track = 0;
  std::string picture;  // the bytes of the file's picture, empty: none
  int lengthMs = 0;     // of the file's audio; 0 for the tiny files of scenarios without lengths
};

enum class State { kTitleOnly, kWithAlbum, kWrongYear, kOwnCover };
const char* const kStateNames[] = {"artist+title", "with album", "wrong year", "own cover"};

struct File {
  std::string path;
  std::size_t scenario = 0;
  State state = State::kTitleOnly;
  Values before;   // as written before tagging
  Values truth;    // the release the file came from
  bool unambiguous = false;
  Values expected;  // for an unambiguous file: album, track and year it should hold
};

// The catalogue's (album, number, year) of the tracks by `file`'s artist
// titled like it, on its album when it names one, and of a length that fits
// the file's (within 5 s) when both are known.
std::set<std::tuple<std::string, int, int>> Matches(const std::vector<Scenario>& corpus, const Values& file) {
  std::set<std::tuple<std::string, int, int>> found;
  for (const auto& scenario : corpus) {
    for (const auto& release : scenario.releases) {
      if (!release.inCatalogue || Plain(release.artist) != Plain(file.artist)) continue;
      if (!file.album.empty() && Plain(release.title) != Plain(file.album)) continue;
      for (const auto& medium : release.media) {
        for (std::size_t i = 0; i < medium.size(); ++i) {
          const int gap = std::abs(medium[i].seconds * 1000 - file.lengthMs);
          if (file.lengthMs > 0 && medium[i].seconds > 0 && gap > 5000) continue;
          if (Plain(medium[i].title) == Plain(file.title)) {
            found.emplace(release.title, static_cast<int>(i + 1), release.year);
          }
        }
      }
    }
  }
  return found;
}

// Silent MPEG-2.5 Layer III, 8 kHz mono at 8 kbit/s: 72-byte frames of 72 ms,
// so a song of minutes takes a few hundred kilobytes. A constant bit rate
// without a Xing header: readers work the length out from the size.
std::string SilentMp3(int lengthMs) {
  std::string frame(72, '\0');
  frame[0] = static_cast<char>(0xFF);
  frame[1] = static_cast<char>(0xE3);  // sync, MPEG 2.5, Layer III, no CRC
  frame[2] = static_cast<char>(0x18);  // 8 kbit/s, 8000 Hz, no padding
  frame[3] = static_cast<char>(0xC0);  // mono
  std::string audio;
  for (int at = 0; at < lengthMs; at += 72) audio += frame;
  return audio;
}

int Number(const CString& text) { return std::atoi(plugin_text::Narrow(text.str()).c_str()); }

Values ReadBack(const std::string& path) {
  Values values;
  Meridex::CTags tags;
  if (!tags.ReadFile(CString(plugin_text::Widen(path)))) return values;
  CString text;
  if (tags.GetFirstValidArtist(text)) values.artist = plugin_text::Narrow(text.str());
  if (tags.GetTitle(text)) values.title = plugin_text::Narrow(text.str());
  if (tags.GetAlbum(text)) values.album = plugin_text::Narrow(text.str());
  if (tags.GetYear(text)) values.year = Number(text);
  if (tags.GetTrackNumber(text)) values.track = Number(text);
  if (tags.GetPictureCount() > 0) {
    Meridex::CPictureTag picture;
    if (tags.GetPicture(0, picture)) {
      std::ifstream in(plugin_text::Narrow(picture.GetFilePath().str()), std::ios::binary);
      values.picture.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (values.picture.empty()) values.picture = "(unreadable picture)";
    }
  }
  return values;
}

// ---- Counting -------------------------------------------------------------

struct Tally {
  int files = 0, unambiguous = 0, right = 0;
  int ambiguous = 0, leftAlone = 0;  // ambiguous files, and those not changed
  int wrongWrites = 0;
  std::vector<std::string> examples;  // the first wrong results, for the report
};

// Counts one file after a run.
void Count(const File& file, const Values& after, Tally& tally) {
  ++tally.files;
  const Values& before = file.before;
  const Values& right = file.unambiguous ? file.expected : file.truth;
  int wrong = 0;
  std::string why;
  const auto field = [&](const char* name, const auto& was, const auto& now, const auto& should) {
    if (now != was && now != should) {
      ++wrong;
      why += std::string(" ") + name;
    }
  };
  field("album", before.album, after.album, right.album);
  field("track", before.track, after.track, right.track);
  field("year", before.year, after.year, right.year);
  field("title", before.title, after.title, before.title);
  field("artist", before.artist, after.artist, before.artist);
  field("picture", before.picture, after.picture, before.picture);
  tally.wrongWrites += wrong;

  bool ok;
  if (file.unambiguous) {
    ++tally.unambiguous;
    ok = after.album == file.expected.album && after.track == file.expected.track && after.year == file.expected.year;
    tally.right += ok;
  } else {
    ++tally.ambiguous;
    ok = after.album == before.album && after.track == before.track && after.year == before.year;
    tally.leftAlone += ok;
  }
  if ((!ok || wrong) && tally.examples.size() < 4) {
    char line[512];
    std::snprintf(line, sizeof line, "%s \"%s\" (%s): got \"%s\" #%d %d, %s \"%s\" #%d %d%s%s",
                  kStateNames[static_cast<int>(file.state)], before.title.c_str(),
                  file.unambiguous ? "unambiguous" : "ambiguous", after.album.c_str(), after.track, after.year,
                  file.unambiguous ? "should be" : "was", (file.unambiguous ? file.expected : before).album.c_str(),
                  (file.unambiguous ? file.expected : before).track, (file.unambiguous ? file.expected : before).year,
                  wrong ? ", wrong:" : "", why.c_str());
    tally.examples.push_back(line);
  }
}

// ---- The world ------------------------------------------------------------

std::string Png(std::size_t serial) {
  // Bytes after the end chunk make each file's picture its own.
  return testing_support::MakePng() + "nimbrel-bench-" + std::to_string(serial);
}

struct World {
  std::string root;
  std::vector<Scenario> corpus;
  std::vector<File> files;
  std::vector<std::string> paths;
  std::map<std::string, std::string> originals;
  std::unique_ptr<INimbrel> nimbrel;
  nimbrel_tag::SignalWatch signals;
  int policy;
  bool reversed;    // the catalogue lists each scenario's releases last first
  bool lengths;     // files of timed tracks carry their length (else they are tiny, as before lengths)
  std::string tag;  // album keys of their own: the library knows the albums it fetched

  World(int overwritePolicy, bool reverseOrder, bool withLengths, const std::string& tag)
      : corpus(MakeCorpus(tag)), policy(overwritePolicy), reversed(reverseOrder), lengths(withLengths), tag(tag) {
    root = bench_run::NewFolder("nimbrel-accuracy");
    fs::create_directories(root + "plugins/General");
    fs::copy_file(NIMBREL_CATALOGUE_PLUGIN, root + "plugins/General/catalogue.so");
    WriteCatalogue();
    ::setenv("NIMBREL_CATALOGUE_CATALOGUEFILE", (root + "catalogue.sqlite").c_str(), 1);
    ::setenv("NIMBREL_PLUGINS_CONF", (root + "plugins.conf").c_str(), 1);  // none: the user's own stays out
    WriteFiles();
    nimbrel.reset(bench_run::StartLibrary(root));
  }
  ~World() { fs::remove_all(root); }

  void WriteCatalogue() {
    catalogue::CatalogueStore store;
    if (!store.OpenForWriting(root + "catalogue.sqlite") || !store.Begin()) std::abort();
    int key = 0;
    for (const auto& scenario : corpus) {
      std::vector<const Release*> releases;
      for (const auto& release : scenario.releases) releases.push_back(&release);
      if (reversed) std::reverse(releases.begin(), releases.end());
      for (const Release* listed : releases) {
        const Release& release = *listed;
        if (!release.inCatalogue) continue;
        catalogue::Release out;
        out.key = "bench-" + tag + "-" + std::to_string(++key);
        out.title = release.title;
        out.artist = release.artist;
        out.genre = "Pop";
        out.year = release.year;
        for (std::size_t m = 0; m < release.media.size(); ++m) {
          for (std::size_t t = 0; t < release.media[m].size(); ++t) {
            out.tracks.push_back({static_cast<int>(m + 1), static_cast<int>(t + 1), release.media[m][t].title,
                                  release.media[m][t].seconds * 1000});
          }
        }
        if (!store.Add(out)) std::abort();
      }
    }
    if (!store.Commit()) std::abort();
  }

  void WriteFiles() {
    std::size_t serial = 0;
    for (std::size_t s = 0; s < corpus.size(); ++s) {
      for (std::size_t r = 0; r < corpus[s].releases.size(); ++r) {
        const Release& release = corpus[s].releases[r];
        if (!release.owned) continue;
        for (int state = 0; state < 4; ++state) {
          const std::string folder = root + "music/" + std::to_string(state) + "/" + std::to_string(s) + "-" +
                                     std::to_string(r) + "/";
          fs::create_directories(folder);
          for (std::size_t m = 0; m < release.media.size(); ++m) {
            for (std::size_t t = 0; t < release.media[m].size(); ++t) {
              File file;
              file.scenario = s;
              file.state = static_cast<State>(state);
              file.path = folder + std::to_string(m + 1) + "-" + std::to_string(t + 1) + ".mp3";
              const Track& track = release.media[m][t];
              file.truth = {track.artist.empty() ? release.artist : track.artist, track.title, release.title,
                            release.year, static_cast<int>(t + 1), ""};
              file.before.artist = file.truth.artist;
              file.before.title = file.truth.title;
              file.before.lengthMs = lengths ? track.seconds * 1000 : 0;
              if (file.state != State::kTitleOnly) file.before.album = release.title;
              if (file.state == State::kWrongYear) file.before.year = release.year + 3;
              if (file.state == State::kOwnCover) file.before.picture = Png(++serial);
              file.truth.picture = file.before.picture;
              Decide(file);
              Write(file);
              files.push_back(file);
              paths.push_back(file.path);
            }
          }
        }
      }
    }
  }

  // Whether the file is unambiguous, and what it should then hold.
  void Decide(File& file) const {
    const auto matches = Matches(corpus, file.before);
    file.unambiguous = matches.size() == 1;
    if (!file.unambiguous) return;
    const auto& [album, track, year] = *matches.begin();
    file.expected = file.before;
    file.expected.album = album;
    file.expected.track = track;
    if (file.before.year == 0 || policy == 2) file.expected.year = year;
  }

  void Write(const File& file) {
    std::ofstream(file.path, std::ios::binary)
        << (file.before.lengthMs > 0 ? SilentMp3(file.before.lengthMs) : testing_support::MakeMp3(2));
    Meridex::CTags tags;
    tags.AddArtist(CString(plugin_text::Widen(file.before.artist)), false);
    tags.SetTitle(CString(plugin_text::Widen(file.before.title)));
    if (!file.before.album.empty()) tags.SetAlbum(CString(plugin_text::Widen(file.before.album)));
    if (file.before.year) tags.SetYear(CString(std::to_wstring(file.before.year)));
    std::string picturePath;
    if (!file.before.picture.empty()) {
      picturePath = file.path + ".png";
      std::ofstream(picturePath, std::ios::binary) << file.before.picture;
      tags.AddPicture(Meridex::CPictureTag(CString(plugin_text::Widen(picturePath)), L"image/png", 3, L"", false));
    }
    if (!tags.SaveFile(CString(plugin_text::Widen(file.path)))) std::abort();
    if (!picturePath.empty()) fs::remove(picturePath);
    originals[file.path] = bench_run::FileBytes(file.path);
  }

  // One run of nimbrel-tag over every file (given their bytes back first);
  // the tally per scenario and state.
  std::map<std::pair<std::size_t, int>, Tally> Run() {
    bench_run::Restore(originals);
    nimbrel_tag::TagOptions options;
    options.library.SearchLyrics = false;
    options.library.OverwritePolicy = policy;
    NimbrelOptions library = options.library;
    nimbrel->SetOptions(library);
    bench_run::Run(*nimbrel, options, signals, paths);
    std::map<std::pair<std::size_t, int>, Tally> tallies;
    for (const File& file : files) Count(file, ReadBack(file.path), tallies[{file.scenario, static_cast<int>(file.state)}]);
    return tallies;
  }
};

void Print(const char* pass, int policy, bool reversed, const World& world,
           const std::map<std::pair<std::size_t, int>, Tally>& tallies) {
  std::printf("\n%s pass, overwrite policy %d, catalogue order %s\n", pass, policy,
              reversed ? "reversed (live, tribute, deluxe, single listed first)" : "as listed");
  std::printf("%-28s %-13s %6s %12s %10s %13s\n", "scenario", "files", "count", "right", "wrong", "ambiguous");
  std::printf("%-28s %-13s %6s %12s %10s %13s\n", "", "", "", "(unambig.)", "writes", "left alone");
  for (const auto& [where, tally] : tallies) {
    char right[32], alone[32];
    std::snprintf(right, sizeof right, tally.unambiguous ? "%d/%d" : "-", tally.right, tally.unambiguous);
    std::snprintf(alone, sizeof alone, tally.ambiguous ? "%d/%d" : "-", tally.leftAlone, tally.ambiguous);
    std::printf("%-28s %-13s %6d %12s %10d %13s\n", world.corpus[where.first].name.c_str(), kStateNames[where.second],
                tally.files, right, tally.wrongWrites, alone);
    for (const auto& example : tally.examples) std::printf("    %s\n", example.c_str());
  }
  std::fflush(stdout);
}

Tally Sum(const std::map<std::pair<std::size_t, int>, Tally>& tallies) {
  Tally sum;
  for (const auto& [where, tally] : tallies) {
    sum.files += tally.files;
    sum.unambiguous += tally.unambiguous;
    sum.right += tally.right;
    sum.ambiguous += tally.ambiguous;
    sum.leftAlone += tally.leftAlone;
    sum.wrongWrites += tally.wrongWrites;
  }
  return sum;
}

void BM_Accuracy(benchmark::State& state) {
  static int worlds = 0;
  const int policy = static_cast<int>(state.range(0));
  const bool reversed = state.range(1) != 0;
  const bool lengths = state.range(2) != 0;
  // Artists of their own for every world after the first, so the caches start cold.
  World world(policy, reversed, lengths, worlds++ ? "No" + std::to_string(worlds) : "");
  Tally cold, warm;
  for (auto _ : state) {
    const auto first = world.Run();
    Print("cold", policy, reversed, world, first);
    const auto second = world.Run();
    Print("warm", policy, reversed, world, second);
    cold = Sum(first);
    warm = Sum(second);
  }
  state.counters["files"] = warm.files;
  state.counters["unambiguous"] = warm.unambiguous;
  state.counters["right_share"] = warm.unambiguous ? static_cast<double>(warm.right) / warm.unambiguous : 0.0;
  state.counters["wrong_writes"] = warm.wrongWrites;
  state.counters["ambiguous_left"] = warm.ambiguous ? static_cast<double>(warm.leftAlone) / warm.ambiguous : 0.0;
  state.counters["cold_right_share"] = cold.unambiguous ? static_cast<double>(cold.right) / cold.unambiguous : 0.0;
  state.counters["cold_wrong_writes"] = cold.wrongWrites;
  state.counters["cold_ambiguous_left"] = cold.ambiguous ? static_cast<double>(cold.leftAlone) / cold.ambiguous : 0.0;
}
BENCHMARK(BM_Accuracy)
    ->ArgNames({"policy", "reversed", "lengths"})
    ->Args({3, 0, 1})
    ->Args({3, 1, 1})
    ->Args({2, 0, 1})
    ->Args({2, 1, 1})
    ->Args({3, 0, 0})
    ->Args({3, 1, 0})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
