// The "musicbrainz" basic-tags source: albums, tracks, years and genres from
// the MusicBrainz web service, covers from the Cover Art Archive.
//
// Settings (SetProperty, CString* unless noted, or the plug-in settings
// file's [musicbrainz] section and NIMBREL_MUSICBRAINZ_<KEY>, see
// PluginSettings.h): "BaseUrl" (the service root, default
// https://musicbrainz.org/ws/2), "CoverArtUrl" (default
// https://coverartarchive.org), "Contact" (named in the User-Agent the
// service requires), "Proxy" (else the host's "HttpProxy"), "DataFolder"
// (where the answer cache lives;
// otherwise <LocalCacheFolder>/musicbrainz, otherwise memory only),
// "CacheLifetimeSeconds", "TimeoutSeconds" and "TagsAsGenre" (std::int32_t*;
// non-zero lets a free-form tag stand for the genre when the release and its
// release group name no genre; off by default), "Clock"
// (PluginClock*, for tests). "SettingsFile" and "SettingsProblems" answer
// which file was read and what in it was refused.
//
// Releases are offered best first (ReleaseRank.h), one album per disc.
//
// Politeness (ServiceClient): one request per second for the whole machine,
// shared through the answer cache's folder; an answer 503 makes every thread
// wait for Retry-After before up to three more tries (without Retry-After:
// 1 s, 2 s, 4 s by try), and a Retry-After over a minute skips the service
// until then. "Notices" answers what the plug-in said.
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>

#include "../common/DownloadStatistics.h"
#include "../common/HttpClient.h"
#include "../common/Json.h"
#include "../common/PluginSettings.h"
#include "../common/ResponseCache.h"
#include "../common/SearchStop.h"
#include "../common/ServiceClient.h"
#include "../common/Text.h"
#include "KnownArtists.h"
#include "MusicBrainzParser.h"
#include "MusicBrainzQuery.h"
#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

namespace {

using plugin_text::Narrow;
using plugin_text::Widen;

constexpr char kVersion[] = "1.0.0";
constexpr std::int32_t kDefaultLifetimeSeconds = 7 * 24 * 3600;
constexpr int kMaxPages = 20;
// Recordings scored lower are rarely the song asked for, and every album costs a request.
constexpr std::int64_t kMinScore = 90;

struct Settings {
  std::string baseUrl = "https://musicbrainz.org/ws/2";
  std::string coverUrl = "https://coverartarchive.org";
  std::string contact = "no contact configured";
  std::string proxy;
  std::string dataFolder;
  std::int32_t lifetimeSeconds = kDefaultLifetimeSeconds;
  std::int32_t timeoutSeconds = 20;
  bool tagsAsGenre = false;
};

const std::vector<std::string> kTextKeys = {"BaseUrl", "CoverArtUrl", "Contact", "Proxy", "DataFolder"};
const std::vector<std::string> kIntegerKeys = {"CacheLifetimeSeconds", "TimeoutSeconds", "TagsAsGenre"};

std::string WithoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// Sets `key` in `s` from its text; false when the value is refused.
bool Apply(Settings& s, const std::string& key, const std::string& value) {
  namespace ps = plugin_settings;
  if (!ps::IsPlainText(value)) return false;
  if (key == "BaseUrl" || key == "CoverArtUrl") {
    if (!ps::IsWebAddress(value)) return false;
    (key == "BaseUrl" ? s.baseUrl : s.coverUrl) = WithoutTrailingSlash(value);
  } else if (key == "Contact") {
    s.contact = value;
  } else if (key == "Proxy") {
    s.proxy = value;
  } else if (key == "DataFolder") {
    s.dataFolder = value.empty() ? value : ps::UserPath(value);
    return value.empty() || !s.dataFolder.empty();
  } else {
    const auto number = ps::Integer(value);
    if (!number) return false;
    if (key == "CacheLifetimeSeconds") s.lifetimeSeconds = *number < 0 ? 0 : *number;
    else if (key == "TimeoutSeconds") s.timeoutSeconds = *number < 1 ? 1 : *number;
    else if (key == "TagsAsGenre") s.tagsAsGenre = *number != 0;
    else return false;
  }
  return true;
}

std::vector<std::string> AllKeys() {
  std::vector<std::string> keys = kTextKeys;
  keys.insert(keys.end(), kIntegerKeys.begin(), kIntegerKeys.end());
  return keys;
}

class MusicBrainzPlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (name == L"Clock") {
      client_.Limiter().SetClock(static_cast<const PluginClock*>(value));
      return 1;
    }
    if (!value) return 0;
    if (plugin_settings::TakeEngineProperty(name.str(), value, mutex_, hostProxy_)) return 1;
    const std::string key = Narrow(name.str());
    std::string text;
    if (std::find(kTextKeys.begin(), kTextKeys.end(), key) != kTextKeys.end()) {
      text = Narrow(static_cast<const CString*>(value)->str());
    } else if (std::find(kIntegerKeys.begin(), kIntegerKeys.end(), key) != kIntegerKeys.end()) {
      text = std::to_string(*static_cast<const std::int32_t*>(value));
    } else if (name == L"LocalCacheFolder") {
      std::lock_guard<std::mutex> lock(mutex_);
      localCacheFolder_ = Narrow(static_cast<const CString*>(value)->str());
      ChooseCache();
      return 1;
    } else {
      return name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath" ? 1 : 0;
    }
    if (!plugin_settings::TakeHostValue<Settings>(layered_, key, text, Apply)) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    Rebuild();
    // A data folder of the host's counts only when its cache opens.
    return key == "DataFolder" && !text.empty() && !dataFolderOpen_ ? 0 : 1;
  }

  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    const auto integer = [out](std::int64_t value) { return plugin_stats::PutInt32(out, value); };
    if (name == L"SourceName") *static_cast<CString*>(out) = L"musicbrainz";
    else if (name == L"SourceId") *static_cast<CString*>(out) = L"musicbrainz.org";
    // One search request per title, or one artist look-up and a page per 100
    // releases for the whole artist; then one request per album either way.
    // A title's hits are its recordings: the best ranked release of each is
    // what gets fetched, not every release it was put out on.
    else if (name == L"SupportedSearch") return integer(1);
    else if (name == L"SearchesById") return integer(1);
    else if (name == L"AlbumsItearationConstant") return integer(2);
    else if (name == L"TitlesItearationConstant") return integer(1);
    else if (statistics_.Answer(name, out)) return 1;
    else if (name == L"CacheFile") *static_cast<CString*>(out) = Widen(cache_.Path());
    else if (name == L"SettingsFile") *static_cast<CString*>(out) = Widen(layered_.FilePath());
    else if (name == L"SettingsProblems") *static_cast<CString*>(out) = Widen(layered_.Problems());
    else if (name == L"Notices") *static_cast<CString*>(out) = Widen(client_.Notices());
    else return 0;
    return 1;
  }

  // "FindAlbumsById": a release is looked up with its tracks (every medium
  // complete); a recording brings the releases that hold it, best first,
  // whose details follow. A release id comes first; the recording is looked
  // up only when that release does not hold it.
  std::int32_t CallMethod(const CString& name, void* value) override {
    if (name != L"FindAlbumsById" || !value) return 0;
    const auto& args = *static_cast<const FindAlbumsByIdArgs*>(value);
    if (!args.albums) return 0;
    RefreshSettings();
    const Settings s = Current();
    std::list<Nimbrel::AlbumResult> found;
    if (args.releaseId && !args.releaseId->IsEmpty()) {
      if (const auto answer = Fetch(musicbrainz::ReleaseLookupUrl(s.baseUrl, Narrow(args.releaseId->str()), s.tagsAsGenre))) {
        found = musicbrainz::ReleaseMedia(*answer, s.coverUrl, s.tagsAsGenre);
      }
    }
    // A release that holds the recording answers both: no second request.
    const bool held = args.recordingId && std::any_of(found.begin(), found.end(), [&](const Nimbrel::AlbumResult& album) {
      return std::any_of(album.tracks.begin(), album.tracks.end(),
                         [&](const Nimbrel::TrackInfo& track) { return track.recordingId == args.recordingId->str(); });
    });
    if (args.recordingId && !args.recordingId->IsEmpty() && !held && !plugin_stop::Stopped()) {
      if (const auto answer = Fetch(musicbrainz::RecordingLookupUrl(s.baseUrl, Narrow(args.recordingId->str())))) {
        std::list<Nimbrel::AlbumResult> releases = musicbrainz::ReleasesOfRecording(*answer);
        found.splice(found.end(), releases);
      }
    }
    const bool any = !found.empty();
    args.albums->splice(args.albums->end(), found);
    return any ? 1 : 0;
  }

  std::int32_t Connect(IBasicTagsSearchEngine* engine) override {
    if (!engine) return 0;
    plugin_stop::Attach(engine);
    RefreshSettings();
    return 1;
  }

  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::AlbumResult>& albums) override {
    if (!artist || artist->IsEmpty()) return 0;
    RefreshSettings();
    std::list<Nimbrel::AlbumResult> found = ArtistReleases(artist->str());
    const bool any = !found.empty();
    albums.splice(albums.end(), found);
    return any ? 1 : 0;
  }

  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Nimbrel::AlbumResult>& albums,
                          bool countOnly) override {
    if (!artist || artist->IsEmpty()) return 0;
    RefreshSettings();
    std::list<Nimbrel::AlbumResult> found;
    if (!title || CString(*title).Trim().IsEmpty()) {
      // Counting needs the first page only; the full list reads it again from the cache.
      std::int64_t total = 0;
      found = ArtistReleases(artist->str(), countOnly ? 1 : kMaxPages, &total);
      // An artist not found, or without official releases, is no cheap
      // artist to browse: below 0, so that the engine searches the title.
      if (countOnly) return total <= 0 ? -1 : static_cast<std::int32_t>(total > INT32_MAX ? INT32_MAX : total);
    } else {
      std::int32_t recordings = 0;
      found = TitleReleases(artist->str(), title->str(), recordings);
      if (!countOnly) albums.splice(albums.end(), found);
      return recordings;
    }
    const auto hits = static_cast<std::int32_t>(found.size());
    if (!countOnly) albums.splice(albums.end(), found);
    return hits;
  }

  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                               std::list<Nimbrel::TrackInfo>* tracks) override {
    if (!album || !cover || !tracks) return 0;
    RefreshSettings();
    const Settings s = Current();
    const std::string url = musicbrainz::ReleaseLookupUrl(s.baseUrl, Narrow(album->albumKey), s.tagsAsGenre);
    if (url.empty()) return 0;
    const auto answer = Fetch(url);
    if (!answer) return 0;
    Nimbrel::AlbumInfo readAlbum = *album;
    Nimbrel::CoverInfo readCover;
    std::list<Nimbrel::TrackInfo> readTracks;
    if (!musicbrainz::ReadRelease(*answer, s.coverUrl, s.tagsAsGenre, readAlbum, readCover, readTracks)) return 0;
    *album = readAlbum;
    cover->coverUrl = readCover.coverUrl;
    tracks->splice(tracks->end(), readTracks);
    return 1;
  }

 private:
  Settings Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
  }

  // The settings file and the environment are read again before every
  // search: a stat and a few variables, nothing next to a request.
  void RefreshSettings() {
    if (!layered_.Refresh()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    Rebuild();
  }

  // The settings from their layers. Called with mutex_ held.
  void Rebuild() {
    settings_ = plugin_settings::BuildSettings<Settings>(layered_, Apply);
    ChooseCache();
  }

  // The cache in the data folder, else below the library's cache folder.
  // Called with mutex_ held.
  void ChooseCache() {
    dataFolderOpen_ = !settings_.dataFolder.empty() && OpenCache(settings_.dataFolder);
    if (!dataFolderOpen_ && !localCacheFolder_.empty()) {
      OpenCache((std::filesystem::path(localCacheFolder_) / "musicbrainz").string());
    }
  }

  // Called with mutex_ held.
  bool OpenCache(const std::string& folder) {
    const std::string file = (std::filesystem::path(folder) / "responses.sqlite").string();
    // Every search hands the library's folder in again.
    if (cache_.IsOpen() && cache_.Path() == file) return true;
    plugin_settings::MakePrivateFolder(folder);
    if (!cache_.Open(file)) return false;
    // The request slot is kept beside the answers, for every process of the user.
    client_.Limiter().ShareThrough(folder);
    return true;
  }

  void EnsureCache() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cache_.IsOpen()) cache_.Open(":memory:");
  }

  // How requests go now: the plug-in's own proxy setting, else the host's.
  ServiceRequest Request() {
    const Settings s = Current();
    ServiceRequest request;
    request.userAgent = std::string("nimbrel/") + kVersion + " ( " + s.contact + " )";
    std::lock_guard<std::mutex> lock(mutex_);
    request.proxy = layered_.Get("Proxy") ? s.proxy : hostProxy_;
    request.stallTimeoutSeconds = s.timeoutSeconds;
    request.totalTimeoutSeconds = 3L * s.timeoutSeconds;
    request.lifetimeMs = static_cast<std::int64_t>(s.lifetimeSeconds) * 1000;
    if (!layered_.Get("Contact")) request.contactHint = plugin_settings::ContactHint("musicbrainz", layered_.FilePath());
    return request;
  }

  // The answer to `url` as JSON, from the cache or the service.
  std::optional<plugin_json::Value> Fetch(const std::string& url) {
    if (url.empty()) return std::nullopt;
    EnsureCache();
    return client_.GetJson(url, Request());
  }

  // Pages of an artist's releases as browsed.
  struct Browsed {
    std::vector<plugin_json::Value> pages;
    std::int64_t releases = -1;  // as the service counts them
    bool complete = false;       // every release is on the pages
  };

  // At most `pages` pages of the releases of the artist `artistId`; what
  // was browsed before comes from the answer cache. A page may hold fewer
  // releases than asked for, so each next page starts where the last ended.
  Browsed Browse(const std::string& artistId, int pages) {
    const Settings s = Current();
    Browsed browsed;
    std::int64_t offset = 0;
    for (int page = 0; page < pages; ++page) {
      auto answer = Fetch(musicbrainz::ArtistReleasesUrl(s.baseUrl, artistId, static_cast<int>(offset)));
      if (!answer) break;
      const plugin_json::Value* list = answer->Find("releases");
      const auto listed = static_cast<std::int64_t>(list && list->IsArray() ? list->Items().size() : 0);
      const std::int64_t count = std::max<std::int64_t>(answer->IntegerOf("release-count").value_or(listed), 0);
      if (page == 0) browsed.releases = count;
      browsed.pages.push_back(std::move(*answer));
      offset += listed;
      if (listed == 0 || offset >= count) {
        browsed.complete = true;
        break;
      }
    }
    return browsed;
  }

  // The id of `artist`: as learnt from a search's credits, else by an
  // artist search.
  std::string ArtistId(const std::wstring& artist) {
    const std::wstring key = musicbrainz::ArtistKey(artist);
    std::string id = artists_.Get(key).id;
    if (!id.empty()) return id;
    const auto search = Fetch(musicbrainz::ArtistSearchUrl(Current().baseUrl, Narrow(artist)));
    if (!search) return id;
    id = musicbrainz::ArtistIdOf(*search, artist);
    artists_.SetId(key, id);
    return id;
  }

  // The releases of `title` by `artist`, best ranked first; `recordings`
  // receives how many recordings they came from. The first title asked of
  // an artist is searched, and the artist learnt from it (its id from the
  // search's credits, the first page of its releases with their tracks);
  // the artist's titles are then answered from its browsed releases where
  // they are all known and hold the title, else searched.
  std::list<Nimbrel::AlbumResult> TitleReleases(const std::wstring& artist, const std::wstring& title,
                                                std::int32_t& recordings) {
    recordings = 0;
    const std::string searchUrl = musicbrainz::RecordingSearchUrl(Current().baseUrl, Narrow(artist), Narrow(title));
    const std::wstring key = musicbrainz::ArtistKey(artist);
    std::optional<plugin_json::Value> search;
    switch (artists_.Ask(key, musicbrainz::ArtistKey(title), [] { return plugin_stop::Stopped(); })) {
      case musicbrainz::KnownArtists::Turn::kStopped:
        return {};
      case musicbrainz::KnownArtists::Turn::kLearn: {
        search = Fetch(searchUrl);
        if (search) artists_.SetId(key, musicbrainz::ArtistIdOfCredits(*search, artist));
        const std::string id = artists_.Get(key).id;
        if (search && !id.empty()) {
          const Browsed first = Browse(id, 1);
          const std::int64_t pageSize =
              first.pages.empty() ? 0 : static_cast<std::int64_t>(ArrayCount(first.pages.front(), "releases"));
          artists_.SetPaging(key, !first.pages.empty(), first.releases, pageSize);
        }
        artists_.Learned(key, search.has_value());
        break;
      }
      case musicbrainz::KnownArtists::Turn::kKnown:
        break;
    }
    if (auto browsed = FromBrowsedReleases(key, artist, title, recordings)) return std::move(*browsed);
    if (!search) search = Fetch(searchUrl);
    if (!search) return {};
    return musicbrainz::ReleasesOfRecordings(*search, kMinScore, artist, recordings);
  }

  static std::size_t ArrayCount(const plugin_json::Value& object, std::string_view key) {
    const plugin_json::Value* list = object.Find(key);
    return list && list->IsArray() ? list->Items().size() : 0;
  }

  // The releases holding `title` among the artist's browsed releases, when
  // browsing them all is worth it: each page beyond the first stands for a
  // search saved, so an artist of more pages is browsed whole once it has
  // had as many titles asked. Nothing when the title is not among them (a
  // compilation of others, a guest appearance) or they are not all known.
  std::optional<std::list<Nimbrel::AlbumResult>> FromBrowsedReleases(const std::wstring& key,
                                                                      const std::wstring& artist,
                                                                      const std::wstring& title,
                                                                      std::int32_t& recordings) {
    const musicbrainz::KnownArtists::Artist known = artists_.Get(key);
    if (known.id.empty() || !known.browsable || known.releases < 0) return std::nullopt;
    const std::int64_t pageSize = std::max<std::int64_t>(known.pageSize, 1);
    const std::int64_t pages = std::max<std::int64_t>((known.releases + pageSize - 1) / pageSize, 1);
    if (pages > kMaxPages || static_cast<std::int64_t>(known.titles) < pages) return std::nullopt;
    const Browsed browsed = Browse(known.id, static_cast<int>(pages) + 1);
    if (!browsed.complete) return std::nullopt;
    std::vector<musicbrainz::RankedAlbum> ranked;
    std::set<std::string> ids;
    for (const auto& page : browsed.pages) musicbrainz::ReleasesWithTitle(page, title, artist, ranked, ids);
    if (ids.empty()) return std::nullopt;
    recordings = static_cast<std::int32_t>(std::min<std::size_t>(ids.size(), INT32_MAX));
    return musicbrainz::InRankOrder(std::move(ranked));
  }

  // The artist's official releases, at most `pages` pages of them, best
  // ranked first; `total` receives the number the service counts.
  std::list<Nimbrel::AlbumResult> ArtistReleases(const std::wstring& artist, int pages = kMaxPages,
                                                 std::int64_t* total = nullptr) {
    std::list<Nimbrel::AlbumResult> albums;
    const std::string artistId = ArtistId(artist);
    if (artistId.empty()) return albums;
    const Browsed browsed = Browse(artistId, pages);
    if (total && !browsed.pages.empty()) *total = browsed.releases;
    std::vector<musicbrainz::RankedAlbum> ranked;
    for (const auto& page : browsed.pages) {
      std::int64_t count = 0;
      musicbrainz::ReleasesOfPage(page, artist, ranked, count);
    }
    albums = musicbrainz::InRankOrder(std::move(ranked));
    for (auto& album : albums) {
      if (album.albumInfo.artist.empty()) album.albumInfo.artist = artist;
    }
    return albums;
  }

  std::mutex mutex_;
  Settings settings_;
  plugin_settings::LayeredSettings layered_{"musicbrainz", AllKeys()};
  std::string localCacheFolder_;
  std::string hostProxy_;
  bool dataFolderOpen_ = false;
  ResponseCache cache_;
  plugin_stats::DownloadStatistics statistics_;
  musicbrainz::KnownArtists artists_;
  // One per process: the module is loaded once.
  ServiceClient client_{"musicbrainz", cache_, statistics_};
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static MusicBrainzPlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
}
