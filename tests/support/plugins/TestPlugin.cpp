// A small source plug-in for the tests, built into several modules that
// differ by name, kind, version stamp and entry point. It answers its name
// and id, accepts every property, and knows one album per artist for titles
// beginning with "Known".
#include <map>
#include <mutex>

#include "nimbrel/SourcePlugin.h"

#define TEXT_OF(x) L## #x
#define WIDE(x) TEXT_OF(x)

namespace {

template <class Base, class Result>
class TestPlugin : public Base {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (!value) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[name.str()] = *static_cast<const CString*>(value);
    return 1;
  }
  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    // Names without regard to case, as plug-ins often compare them: this
    // brings the SDK's case mapping into every module.
    if (name.CompareNoCase(L"SourceName") == 0 || name.CompareNoCase(L"SourceId") == 0) {
      *static_cast<CString*>(out) = name.CompareNoCase(L"SourceName") == 0 ? WIDE(PLUGIN_NAME) : L"id-" WIDE(PLUGIN_NAME);
      return 1;
    }
    if (name == L"SupportedSearch") {
      *static_cast<std::int32_t*>(out) = 2;
      return 1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = properties_.find(name.str());
    if (found == properties_.end()) return 0;
    *static_cast<CString*>(out) = found->second;
    return 1;
  }
  // "DetailsThroughEngine" with a CString*: asks the connected engine for the
  // details of "Album of Engine" and answers "<album>|<year>|<first title>|<tracks>".
  std::int32_t CallMethod(const CString& name, void* args) override {
    if (name != L"DetailsThroughEngine" || !args) return 0;
    typename Base::Engine* engine;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      engine = engine_;
    }
    return engine ? AskEngine(engine, *static_cast<CString*>(args)) : 0;
  }
  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Result>& results) override {
    return FindAlbums(artist, nullptr, results, false);
  }
  std::int32_t Connect(typename Base::Engine* engine) override {
    std::lock_guard<std::mutex> lock(mutex_);
    engine_ = engine;
    return engine ? 1 : 0;
  }
  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Result>& results,
                          bool countOnly) override {
    if (!artist || (title && !title->IsEmpty() && title->Find(L"Known") != 0)) return 0;
    if (!countOnly) results.push_back(MakeResult(*artist, title ? *title : CString(L"Known song")));
    return 1;
  }

 protected:
  virtual Result MakeResult(const CString& artist, const CString& title) = 0;
  virtual std::int32_t AskEngine(typename Base::Engine*, CString&) { return 0; }

 private:
  std::mutex mutex_;
  typename Base::Engine* engine_ = nullptr;
  std::map<std::wstring, CString> properties_;
};

class BasicPlugin : public TestPlugin<CBasicTagsDllInterface, Nimbrel::AlbumResult> {
 public:
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo* album, Nimbrel::CoverInfo*, std::list<Nimbrel::TrackInfo>* tracks) override {
    if (!album || !tracks) return 0;
    Nimbrel::TrackInfo track;
    track.title = L"Known song";
    track.trackNumber = 1;
    tracks->push_back(track);
    return 1;
  }

 protected:
  std::int32_t AskEngine(IBasicTagsSearchEngine* engine, CString& answer) override {
    Nimbrel::AlbumInfo album;
    album.SetAlbum(L"Album of Engine");
    Nimbrel::CoverInfo cover;
    std::list<Nimbrel::TrackInfo> tracks;
    const std::int32_t result = engine->GetAlbumDetails(&album, &cover, &tracks);
    answer.Format(L"%s|%d|%s|%d", album.album, album.year, tracks.empty() ? std::wstring() : tracks.front().title,
                  static_cast<int>(tracks.size()));
    return result;
  }
  Nimbrel::AlbumResult MakeResult(const CString& artist, const CString&) override {
    Nimbrel::AlbumResult result;
    result.albumInfo.artist = artist.str();
    CString album;
    album.Format(L"Album of %s", artist);  // brings the SDK's formatter into every module
    result.albumInfo.SetAlbum(album.str());
    result.albumInfo.albumKey = L"key-" + artist.str();
    result.source = WIDE(PLUGIN_NAME);
    return result;
  }
};

class LyricsPlugin : public TestPlugin<CLyricsDllInterface, Nimbrel::LyricsInfo> {
 public:
  std::int32_t GetLyricsText(const CString* link, CString* text) override {
    if (!link || !text || link->IsEmpty()) return 0;
    *text = L"Words behind " + *link;
    return 1;
  }

 protected:
  Nimbrel::LyricsInfo MakeResult(const CString& artist, const CString& title) override {
    Nimbrel::LyricsInfo info;
    info.artist = artist.str();
    info.title = title.str();
    info.link = L"page:" + title.str();
    return info;
  }
};

}  // namespace

#ifdef PLUGIN_LEVEL
// A stamp stating SDK level PLUGIN_LEVEL, written out as a later SDK's macro would.
extern "C" __attribute__((used, NIMBREL_DETAIL_UNPADDED section(".nimbrel_version"), aligned(1))) const unsigned char
    nimbrel_module_version_record[24] = {'N', 'I', 'M', 'B', 'V', 'E', 'R', '1', 1, 0, 0, 0, 0, 0, 0, 0,
                                         'S', 'D', 'K', 'L', PLUGIN_LEVEL, 0, 0, 0};
#endif

#ifdef PLUGIN_VERSION
// PLUGIN_VERSION holds the four numbers; expand it before the stamp counts them.
#define STAMP(...) NIMBREL_MODULE_VERSION(__VA_ARGS__)
STAMP(PLUGIN_VERSION);
#endif

#ifndef PLUGIN_NO_ENTRY
NIMBREL_PLUGIN_ENTRY {
#ifdef PLUGIN_LYRICS
  static LyricsPlugin plugin;
  return static_cast<CLyricsDllInterface*>(&plugin);
#else
  static BasicPlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
#endif
}
#else
// Exports something, so that only the entry point is missing.
extern "C" __attribute__((visibility("default"))) int NotTheEntryPoint() { return 1; }
#endif
