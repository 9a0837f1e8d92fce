// A configurable catalogue source for the tests, built as a basic-tags module
// and as a lyrics module (CATALOGUE_LYRICS). See CatalogueControl.h for the
// data file and the control properties.
#include <atomic>
#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cwctype>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CatalogueControl.h"
#include "nimbrel/SourcePlugin.h"

#define TEXT_OF(x) L## #x
#define WIDE(x) TEXT_OF(x)

namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::vector<std::wstring> SplitTabs(const std::wstring& text) {
  std::vector<std::wstring> fields;
  std::wstring::size_type start = 0;
  for (;;) {
    const auto tab = text.find(L'\t', start);
    fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

std::wstring Upper(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return true;
}

struct Album {
  Nimbrel::AlbumInfo info;
  Nimbrel::CoverInfo cover;
  std::list<Nimbrel::TrackInfo> tracks;
};

struct Lyric {
  std::wstring artist, title, link, text;
};

struct Catalogue {
  std::wstring name = WIDE(PLUGIN_NAME);
  bool hasSearch = false, hasConstants = false, throws = false, hasAnswer = false, hasArtistCount = false;
  std::int32_t search = 0, albumsConstant = 0, titlesConstant = 0, answer = 0, artistCount = 0;
  std::int32_t pages = 0, successes = 0, downloadTime = 0;
  std::vector<Album> albums;
  std::vector<Lyric> lyrics;
  // Places in `albums` and `lyrics` by upper-case artist, in catalogue
  // order, so that a catalogue of many artists answers each search at once.
  std::map<std::wstring, std::vector<std::size_t>> albumsOf, lyricsOf;
  // The first lyric of each link.
  std::map<std::wstring, std::size_t> lyricByLink;
  // The first album of each key and disc.
  std::map<std::pair<std::wstring, std::int32_t>, std::size_t> albumByKey;
  std::map<std::wstring, std::wstring> asins;
  std::wstring stallSlot;
  int stallCall = 0;
  int latencyMs = 0, jitterMs = 0, failPercent = 0;

  void ReadLine(const std::wstring& line) {
    const auto space = line.find(L' ');
    const std::wstring word = line.substr(0, space);
    const std::wstring rest = space == std::wstring::npos ? L"" : line.substr(space + 1);
    std::wistringstream numbers(rest);
    if (word == L"name") name = rest;
    else if (word == L"search") hasSearch = static_cast<bool>(numbers >> search);
    else if (word == L"constants") hasConstants = static_cast<bool>(numbers >> albumsConstant >> titlesConstant);
    else if (word == L"statistics") numbers >> pages >> successes >> downloadTime;
    else if (word == L"answer") hasAnswer = static_cast<bool>(numbers >> answer);
    else if (word == L"artistcount") hasArtistCount = static_cast<bool>(numbers >> artistCount);
    else if (word == L"throw") throws = true;
    else if (word == L"stall") numbers >> stallSlot >> stallCall;
    else if (word == L"latency") numbers >> latencyMs >> jitterMs;
    else if (word == L"failrate") numbers >> failPercent;
    else if (word == L"album") AddAlbum(SplitTabs(rest));
    else if (word == L"generate") Generate(SplitTabs(rest));
    else if (word == L"lyric") {
      auto fields = SplitTabs(rest);
      fields.resize(4);
      lyricsOf[Upper(fields[0])].push_back(lyrics.size());
      lyricByLink.emplace(fields[2], lyrics.size());
      lyrics.push_back({fields[0], fields[1], fields[2], fields[3]});
    } else if (word == L"asin") {
      auto fields = SplitTabs(rest);
      fields.resize(2);
      asins[fields[0]] = fields[1];
    }
  }

  void AddAlbum(std::vector<std::wstring> fields) {
    fields.resize(std::max<std::size_t>(fields.size(), 4));
    Album album;
    album.info.artist = fields[0];
    album.info.SetAlbum(fields[1]);
    // "<key>/<n>": disc n of the release with that key.
    const auto slash = fields[2].find(L'/');
    album.info.albumKey = fields[2].substr(0, slash);
    if (slash != std::wstring::npos) album.info.albumNumber = std::stoi(fields[2].substr(slash + 1));
    album.info.year = 2000 + static_cast<std::int32_t>(albums.size());  // given by the details only
    album.cover.coverUrl = fields[3];
    for (std::size_t i = 4; i < fields.size(); ++i) {
      Nimbrel::TrackInfo track;
      // "<title>@<seconds>": a track of that length.
      const auto at = fields[i].rfind(L'@');
      track.title = fields[i].substr(0, at);
      if (at != std::wstring::npos) track.lengthMs = static_cast<std::uint32_t>(std::stoul(fields[i].substr(at + 1)) * 1000);
      track.trackNumber = static_cast<std::uint32_t>(i - 3);
      album.tracks.push_back(track);
    }
    albumsOf[Upper(album.info.artist)].push_back(albums.size());
    albumByKey.emplace(std::make_pair(album.info.albumKey, album.info.albumNumber), albums.size());
    albums.push_back(std::move(album));
  }

  // The places of `artist`'s entries in `list` (by `of`).
  static const std::vector<std::size_t>& Of(const std::map<std::wstring, std::vector<std::size_t>>& of,
                                            const std::wstring& artist) {
    static const std::vector<std::size_t> none;
    const auto found = of.find(Upper(artist));
    return found == of.end() ? none : found->second;
  }

  void Generate(std::vector<std::wstring> fields) {
    fields.resize(3);
    const int count = std::stoi(fields[1]), perAlbum = std::stoi(fields[2]);
    for (int i = 1; i <= count; ++i) {
      std::vector<std::wstring> album{fields[0], L"Album " + std::to_wstring(i), L"gen-" + std::to_wstring(i), L""};
      for (int j = 1; j <= perAlbum; ++j) album.push_back(L"Song " + std::to_wstring(i) + L"-" + std::to_wstring(j));
      AddAlbum(std::move(album));
    }
  }
};

template <class Base, class Result>
class CataloguePlugin : public Base {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (name == catalogue::kDataFile) return value ? Load(*static_cast<const CString*>(value)) : 0;
    if (name == catalogue::kStallHook) {
      std::lock_guard<std::mutex> lock(mutex_);
      hook_ = value ? *static_cast<const catalogue::StallHook*>(value) : catalogue::StallHook{nullptr, nullptr};
      return 1;
    }
    Enter(L"SetProperty");
    return value ? 1 : 0;
  }

  // A host program that cannot set properties (the command-line host in its
  // tests) names the data file in NIMBREL_TEST_CATALOGUE_FILE instead.
  void LoadFromEnvironment() {
    if (const char* file = std::getenv("NIMBREL_TEST_CATALOGUE_FILE")) Load(CString(Widen(file)));
  }

  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    const std::wstring prefix = catalogue::kCallsPrefix;
    if (name.str().compare(0, prefix.size(), prefix) == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      *static_cast<std::int32_t*>(out) = calls_[name.str().substr(prefix.size())];
      return 1;
    }
    Enter(L"GetProperty");
    std::lock_guard<std::mutex> lock(mutex_);
    const Catalogue& c = catalogue_;
    auto integer = [out](bool present, std::int32_t value) {
      if (present) *static_cast<std::int32_t*>(out) = value;
      return present ? 1 : 0;
    };
    if (name == L"SourceName") *static_cast<CString*>(out) = c.name;
    else if (name == L"SourceId") *static_cast<CString*>(out) = L"id-" + c.name;
    else if (name == L"SupportedSearch") return integer(c.hasSearch, c.search);
    else if (name == L"AlbumsItearationConstant") return integer(c.hasConstants, c.albumsConstant);
    else if (name == L"TitlesItearationConstant") return integer(c.hasConstants, c.titlesConstant);
    else if (name == L"StatisticDownloadCounter") return integer(true, c.pages);
    else if (name == L"StatisticSuccessfulDownloads") return integer(true, c.successes);
    else if (name == L"StatisticTotalDownloadTime") return integer(true, c.downloadTime);
    else return 0;
    return 1;
  }

  std::int32_t CallMethod(const CString& name, void* args) override {
    Enter(L"CallMethod");
    if (name != L"GetCover_by_asin" || !args) return 0;
    auto* request = static_cast<CoverByAsinArgs*>(args);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = catalogue_.asins.find(request->asin->str());
    if (found == catalogue_.asins.end()) return 0;
    *request->coverUrl = found->second;
    return 1;
  }

  std::int32_t Connect(typename Base::Engine* engine) override {
    Enter(L"Connect");
    std::lock_guard<std::mutex> lock(mutex_);
    lastEngine_ = engine;
    const auto self = std::this_thread::get_id();
    auto mine = std::find_if(engines_.begin(), engines_.end(), [&](const auto& e) { return e.first == self; });
    if (mine != engines_.end()) {
      mine->second = engine;
    } else {
      engines_.push_back({self, engine});
    }
    return engine ? 1 : 0;
  }

  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Result>& results) override {
    Enter(L"FindAlbumsByArtist");
    return Collect(artist ? artist->str() : L"", L"", results) > 0 ? 1 : 0;
  }

  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Result>& results,
                          bool countOnly) override {
    Enter(countOnly ? L"FindAlbumsCount" : L"FindAlbums");
    std::list<Result> found;
    const std::int32_t hits = Collect(artist ? artist->str() : L"", title ? title->str() : L"", found);
    if (!countOnly) results.splice(results.end(), found);
    std::lock_guard<std::mutex> lock(mutex_);
    if (countOnly && title && title->IsEmpty() && catalogue_.hasArtistCount) return catalogue_.artistCount;
    return catalogue_.hasAnswer ? catalogue_.answer : hits;
  }

 protected:
  // Counts the call, then throws or stalls as the catalogue says; a search
  // call that does not stall (a remote request in a real source) takes the
  // catalogue's latency and fails at its rate.
  void Enter(const wchar_t* slot) {
    catalogue::StallHook hook{nullptr, nullptr};
    bool stall = false;
    int delayMs = 0;
    bool fail = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const int call = ++calls_[slot];
      if (catalogue_.throws) throw std::runtime_error("catalogue failure");
      stall = catalogue_.stallSlot == slot && catalogue_.stallCall == call;
      hook = hook_;
      const std::wstring name = slot;
      if (name != L"SetProperty" && name != L"GetProperty" && name != L"Connect" && name != L"CallMethod") {
        thread_local std::minstd_rand random(std::random_device{}());
        delayMs = catalogue_.latencyMs + (catalogue_.jitterMs > 0 ? static_cast<int>(random() % catalogue_.jitterMs) : 0);
        fail = catalogue_.failPercent > 0 && static_cast<int>(random() % 100) < catalogue_.failPercent;
      }
    }
    if (!stall) {
      if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      if (fail) throw std::runtime_error("catalogue failure at random");
      return;
    }
    if (hook.function) hook.function(hook.context);
    // As a real source would between two requests, give up once the engine is stopped.
    typename Base::Engine* engine = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto self = std::this_thread::get_id();
      auto mine = std::find_if(engines_.begin(), engines_.end(), [&](const auto& e) { return e.first == self; });
      engine = mine != engines_.end() ? mine->second : lastEngine_;
    }
    while (engine && !engine->IsStopped()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // The entries of `artist` holding `title` (every entry of the artist for an empty title).
  virtual std::int32_t Collect(const std::wstring& artist, const std::wstring& title, std::list<Result>& results) = 0;

  std::mutex mutex_;
  Catalogue catalogue_;

 private:
  std::int32_t Load(const CString& path) {
    std::ifstream file(std::string(path.str().begin(), path.str().end()));
    if (!file) return 0;
    Catalogue fresh;
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) fresh.ReadLine(Widen(line));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    catalogue_ = std::move(fresh);
    calls_.clear();
    return 1;
  }

  std::map<std::wstring, int> calls_;
  catalogue::StallHook hook_{nullptr, nullptr};
  // The engine each thread connected last, and the last one connected: a
  // stalled call waits for the engine its thread connected (searches of
  // several engines at once), else for the last one (an engine connected on
  // one thread and searching on another).
  std::vector<std::pair<std::thread::id, typename Base::Engine*>> engines_;
  typename Base::Engine* lastEngine_ = nullptr;
};

class BasicCatalogue : public CataloguePlugin<CBasicTagsDllInterface, Nimbrel::AlbumResult> {
 public:
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                               std::list<Nimbrel::TrackInfo>* tracks) override {
    Enter(L"GetAlbumDetails");
    if (!album || !cover || !tracks) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = catalogue_.albumByKey.find({album->albumKey, album->albumNumber});
    if (found == catalogue_.albumByKey.end()) return 0;
    const Album& entry = catalogue_.albums[found->second];
    *album = entry.info;
    *cover = entry.cover;
    tracks->insert(tracks->end(), entry.tracks.begin(), entry.tracks.end());
    return 1;
  }

 protected:
  std::int32_t Collect(const std::wstring& artist, const std::wstring& title,
                       std::list<Nimbrel::AlbumResult>& results) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::int32_t hits = 0;
    for (const std::size_t place : Catalogue::Of(catalogue_.albumsOf, artist)) {
      const Album& entry = catalogue_.albums[place];
      bool holds = title.empty();
      for (const auto& track : entry.tracks) holds = holds || SameText(track.title, title);
      if (!holds) continue;
      // As a real search answers: the album's name and key; its details come with GetAlbumDetails.
      Nimbrel::AlbumResult result;
      result.albumInfo.artist = entry.info.artist;
      result.albumInfo.album = entry.info.album;
      result.albumInfo.albumKey = entry.info.albumKey;
      result.albumInfo.albumNumber = entry.info.albumNumber;
      result.source = catalogue_.name;
      results.push_back(std::move(result));
      ++hits;
    }
    return hits;
  }
};

class LyricsCatalogue : public CataloguePlugin<CLyricsDllInterface, Nimbrel::LyricsInfo> {
 public:
  std::int32_t GetLyricsText(const CString* link, CString* text) override {
    Enter(L"GetLyricsText");
    if (!link || !text) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = catalogue_.lyricByLink.find(link->str());
    if (found == catalogue_.lyricByLink.end()) return 0;
    *text = catalogue_.lyrics[found->second].text;
    return 1;
  }

 protected:
  std::int32_t Collect(const std::wstring& artist, const std::wstring& title,
                       std::list<Nimbrel::LyricsInfo>& results) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::int32_t hits = 0;
    for (const std::size_t place : Catalogue::Of(catalogue_.lyricsOf, artist)) {
      const Lyric& entry = catalogue_.lyrics[place];
      if (!title.empty() && !SameText(entry.title, title)) continue;
      Nimbrel::LyricsInfo info;
      info.artist = entry.artist;
      info.title = entry.title;
      info.link = entry.link;
      results.push_back(std::move(info));
      ++hits;
    }
    return hits;
  }
};

}  // namespace

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

NIMBREL_PLUGIN_ENTRY {
#ifdef CATALOGUE_LYRICS
  static LyricsCatalogue plugin;
  static const bool loaded = (plugin.LoadFromEnvironment(), true);
  (void)loaded;
  return static_cast<CLyricsDllInterface*>(&plugin);
#else
  static BasicCatalogue plugin;
  static const bool loaded = (plugin.LoadFromEnvironment(), true);
  (void)loaded;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
#endif
}
