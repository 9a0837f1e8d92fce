// The "catalogue" basic-tags source: albums and tracks from a local SQLite
// catalogue (see CatalogueStore.h, made by the nimbrel-catalogue tool), so
// that tagging works without any network.
//
// Settings (SetProperty, CString*, or the plug-in settings file's
// [catalogue] section and NIMBREL_CATALOGUE_<KEY>, see PluginSettings.h):
// "CatalogueFile" and "DataFolder". The catalogue read is the first of
//   1. CatalogueFile;
//   2. catalogue.sqlite in DataFolder;
//   3. $XDG_DATA_HOME/nimbrel/catalogue.sqlite (~/.local/share/... without
//      XDG_DATA_HOME), where nimbrel-catalogue writes by default, when it exists;
//   4. <LocalCacheFolder>/catalogue/catalogue.sqlite when it exists;
//   5. otherwise the file of rule 3, so that a catalogue made there later is found.
// The file is only read, and is opened at the first search that finds it: a
// missing or broken file finds nothing, and a file made later is picked up by
// the next search. "SettingsFile" and "SettingsProblems" answer which
// settings file was read and what in it was refused.
#include <cctype>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>

#include "../common/PluginSettings.h"
#include "../common/Text.h"
#include "CatalogueStore.h"
#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

namespace {

using plugin_text::Narrow;
using plugin_text::Widen;

constexpr char kFileName[] = "catalogue.sqlite";
const std::vector<std::string> kKeys = {"CatalogueFile", "DataFolder"};

struct Settings {
  std::string file, dataFolder;
};

// Sets `key` in `s` from its text; false when the value is refused. Only
// absolute paths (or "~/...") are taken: a relative one would depend on the
// host's current folder.
bool Apply(Settings& s, const std::string& key, const std::string& value) {
  const std::string path = value.empty() ? value : plugin_settings::UserPath(value);
  if (!value.empty() && path.empty()) return false;
  if (key == "CatalogueFile") s.file = path;
  else if (key == "DataFolder") s.dataFolder = path;
  else return false;
  return true;
}

bool IsFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

// 8-4-4-4-12 hexadecimal digits, as MusicBrainz ids are written.
bool LooksLikeMbid(const std::string& key) {
  if (key.size() != 36) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const char c = key[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

Nimbrel::AlbumResult ResultOf(const catalogue::Hit& hit) {
  Nimbrel::AlbumResult result;
  result.albumInfo.SetAlbum(Widen(hit.title));
  result.albumInfo.artist = Widen(hit.artist);
  result.albumInfo.albumKey = Widen(hit.key);
  result.albumInfo.albumNumber = hit.medium;
  return result;
}

class CataloguePlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (!value) return 0;
    const std::string key = Narrow(name.str());
    const std::string text = Narrow(static_cast<const CString*>(value)->str());
    if (name == L"LocalCacheFolder") {
      std::lock_guard<std::mutex> lock(mutex_);
      localCacheFolder_ = text;
      return 1;
    }
    if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
      return name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath" ? 1 : 0;
    }
    if (!plugin_settings::TakeHostValue<Settings>(layered_, key, text, Apply)) return 0;
    Rebuild();
    return 1;
  }

  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    const auto integer = [out](std::int32_t value) {
      *static_cast<std::int32_t*>(out) = value;
      return 1;
    };
    if (name == L"SourceName") *static_cast<CString*>(out) = L"catalogue";
    else if (name == L"SourceId") *static_cast<CString*>(out) = L"catalogue";
    // A title costs one indexed query, the whole artist one indexed query;
    // every album found then costs one more look-up either way.
    else if (name == L"SupportedSearch") return integer(1);
    else if (name == L"SearchesById") return integer(1);
    else if (name == L"AlbumsItearationConstant") return integer(1);
    else if (name == L"TitlesItearationConstant") return integer(1);
    // Nothing is downloaded.
    else if (name == L"StatisticDownloadCounter" || name == L"StatisticSuccessfulDownloads" ||
             name == L"StatisticTotalDownloadTime")
      return integer(0);
    else if (name == L"CatalogueFile") *static_cast<CString*>(out) = Widen(CurrentFile());
    else if (name == L"SettingsFile") *static_cast<CString*>(out) = Widen(layered_.FilePath());
    else if (name == L"SettingsProblems") *static_cast<CString*>(out) = Widen(layered_.Problems());
    else return 0;
    return 1;
  }

  // "FindAlbumsById": the media of the release of that key, then those
  // holding the recording; their details follow as for any album found.
  std::int32_t CallMethod(const CString& name, void* value) override {
    if (name != L"FindAlbumsById" || !value) return 0;
    const auto& args = *static_cast<const FindAlbumsByIdArgs*>(value);
    if (!args.albums) return 0;
    EnsureOpen();
    const auto text = [](const CString* id) { return id ? Narrow(id->str()) : std::string(); };
    const auto hits = store_.FindById(text(args.releaseId), text(args.recordingId));
    for (const auto& hit : hits) args.albums->push_back(ResultOf(hit));
    return hits.empty() ? 0 : 1;
  }

  std::int32_t Connect(IBasicTagsSearchEngine* engine) override {
    if (!engine) return 0;
    EnsureOpen();
    return 1;
  }

  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::AlbumResult>& albums) override {
    if (!artist || artist->IsEmpty()) return 0;
    EnsureOpen();
    const auto hits = store_.FindByArtist(Narrow(artist->str()));
    for (const auto& hit : hits) albums.push_back(ResultOf(hit));
    return hits.empty() ? 0 : 1;
  }

  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Nimbrel::AlbumResult>& albums,
                          bool countOnly) override {
    if (!artist || artist->IsEmpty()) return 0;
    EnsureOpen();
    const bool byArtist = !title || CString(*title).Trim().IsEmpty();
    const auto hits = byArtist ? store_.FindByArtist(Narrow(artist->str()))
                               : store_.FindByTitle(Narrow(artist->str()), Narrow(title->str()));
    if (!countOnly) {
      for (const auto& hit : hits) albums.push_back(ResultOf(hit));
    }
    return static_cast<std::int32_t>(hits.size() > INT32_MAX ? INT32_MAX : hits.size());
  }

  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo* cover,
                               std::list<Nimbrel::TrackInfo>* tracks) override {
    if (!album || !cover || !tracks) return 0;
    catalogue::Release release;
    if (!store_.Details(Narrow(album->albumKey), album->albumNumber, release)) return 0;
    album->SetAlbum(Widen(release.title));
    album->artist = Widen(release.artist);
    album->genre = Widen(release.genre);
    album->year = release.year;
    album->albumArtist = Widen(release.artist);
    album->originalDate = Widen(release.originalDate);
    album->releaseGroupId = Widen(release.releaseGroupId);
    // A key from MusicBrainz is the release's id; an importer's own key is not.
    if (LooksLikeMbid(release.key)) album->releaseId = Widen(release.key);
    cover->coverUrl = Widen(release.coverUrl);
    std::uint32_t count = 0;
    for (const auto& t : release.tracks) {
      Nimbrel::TrackInfo track;
      track.title = Widen(t.title);
      track.SetTrackNumber(t.number);
      track.discNumber = static_cast<std::uint32_t>(t.medium > 0 ? t.medium : 0);
      track.lengthMs = static_cast<std::uint32_t>(t.lengthMs > 0 ? t.lengthMs : 0);
      track.recordingId = Widen(t.recordingId);
      tracks->push_back(std::move(track));
      ++count;
    }
    // Asked for one medium: its track count is that disc's total.
    if (album->albumNumber > 0) album->trackTotal = count;
    return 1;
  }

 private:
  // The settings from their layers.
  // Under the lock throughout, so that a rebuild from older values never
  // lands after a newer one.
  void Rebuild() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = plugin_settings::BuildSettings<Settings>(layered_, Apply);
  }

  // The catalogue by the rules at the top. Called with mutex_ held.
  std::string ResolveLocked() const {
    if (!settings_.file.empty()) return settings_.file;
    if (!settings_.dataFolder.empty()) return (std::filesystem::path(settings_.dataFolder) / kFileName).string();
    std::vector<std::string> defaults;
    const std::string dataHome = plugin_settings::DataHome();
    if (!dataHome.empty()) defaults.push_back((std::filesystem::path(dataHome) / "nimbrel" / kFileName).string());
    if (!localCacheFolder_.empty()) {
      defaults.push_back((std::filesystem::path(localCacheFolder_) / "catalogue" / kFileName).string());
    }
    for (const auto& file : defaults) {
      if (IsFile(file)) return file;
    }
    return defaults.empty() ? std::string() : defaults.front();
  }

  std::string CurrentFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ResolveLocked();
  }

  // Before every search: the settings file and the environment read again
  // (a stat and a few variables), the catalogue chosen, and opened when it exists.
  void EnsureOpen() {
    if (layered_.Refresh()) Rebuild();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string file = ResolveLocked();
    if (file != file_) {
      file_ = file;
      store_.Close();
    }
    if (store_.IsOpen() || file_.empty()) return;
    // Read-only opening never creates the file; a missing one stays missing.
    if (IsFile(file_)) store_.OpenReadOnly(file_);
  }

  std::mutex mutex_;
  std::string file_;
  Settings settings_;
  std::string localCacheFolder_;
  plugin_settings::LayeredSettings layered_{"catalogue", kKeys};
  catalogue::CatalogueStore store_;
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static CataloguePlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
}
