// The "catalogue" basic-tags source: albums and tracks from a local SQLite
// catalogue (see CatalogueStore.h, made by the nimbrel-catalogue tool), so
// that tagging works without any network.
//
// Settings (SetProperty, CString*): "CatalogueFile" (the catalogue to read;
// otherwise catalogue.sqlite in "DataFolder", otherwise
// <LocalCacheFolder>/catalogue/catalogue.sqlite). The file is only
// read, and is opened at the first search that finds it: a missing or broken
// file finds nothing, and a file made later is picked up by the next search.
#include <filesystem>
#include <mutex>
#include <string>

#include "../common/Text.h"
#include "CatalogueStore.h"
#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

namespace {

using plugin_text::Narrow;
using plugin_text::Widen;

constexpr char kFileName[] = "catalogue.sqlite";

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
    const std::string text = Narrow(static_cast<const CString*>(value)->str());
    std::lock_guard<std::mutex> lock(mutex_);
    if (name == L"CatalogueFile") {
      fileSetting_ = text;
    } else if (name == L"DataFolder") {
      dataFolderFile_ = text.empty() ? text : (std::filesystem::path(text) / kFileName).string();
    } else if (name == L"LocalCacheFolder") {
      cacheFolderFile_ = text.empty() ? text : (std::filesystem::path(text) / "catalogue" / kFileName).string();
    } else if (name != L"TraceLevel" && name != L"LogFolder" && name != L"ParentLogfilePath") {
      return 0;
    }
    // The most particular setting wins.
    SetFile(!fileSetting_.empty() ? fileSetting_ : !dataFolderFile_.empty() ? dataFolderFile_ : cacheFolderFile_);
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
    else if (name == L"AlbumsItearationConstant") return integer(1);
    else if (name == L"TitlesItearationConstant") return integer(1);
    // Nothing is downloaded.
    else if (name == L"StatisticDownloadCounter" || name == L"StatisticSuccessfulDownloads" ||
             name == L"StatisticTotalDownloadTime")
      return integer(0);
    else if (name == L"CatalogueFile") *static_cast<CString*>(out) = Widen(CurrentFile());
    else return 0;
    return 1;
  }

  std::int32_t CallMethod(const CString&, void*) override { return 0; }

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
    cover->coverUrl = Widen(release.coverUrl);
    for (const auto& t : release.tracks) {
      Nimbrel::TrackInfo track;
      track.title = Widen(t.title);
      track.SetTrackNumber(t.number);
      tracks->push_back(std::move(track));
    }
    return 1;
  }

 private:
  // Called with mutex_ held.
  void SetFile(const std::string& file) {
    if (file == file_) return;
    file_ = file;
    store_.Close();
  }

  std::string CurrentFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    return file_;
  }

  void EnsureOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_.IsOpen() || file_.empty()) return;
    // Read-only opening never creates the file; a missing one stays missing.
    std::error_code error;
    if (std::filesystem::is_regular_file(file_, error)) store_.OpenReadOnly(file_);
  }

  std::mutex mutex_;
  std::string file_;
  std::string fileSetting_, dataFolderFile_, cacheFolderFile_;
  catalogue::CatalogueStore store_;
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static CataloguePlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
}
