// The "lrclib" lyrics source: song texts from LRCLIB.
//
// Settings (SetProperty, CString* unless noted, or the plug-in settings
// file's [lrclib] section and NIMBREL_LRCLIB_<KEY>, see PluginSettings.h):
// "BaseUrl" (default https://lrclib.net/api), "Contact" (named in the
// User-Agent), "Proxy" (else the host's "HttpProxy"), "DataFolder" (where
// the answer cache lives; otherwise
// <LocalCacheFolder>/lrclib, otherwise memory only), "TimeoutSeconds" and
// "CacheLifetimeSeconds" (std::int32_t*; default 7 days, 0 asks the service
// every time). "SettingsFile" and "SettingsProblems" answer which file was
// read and what in it was refused.
//
// Answers are kept on disk like the musicbrainz source's, so that lyrics
// searched again within the lifetime cost no request; requests go through the
// same polite client (ServiceClient), at most ten a second for the machine.
// "Clock" (PluginClock*) is for tests; "Notices" answers what it said.
//
// A search answers whole records, texts included, so the texts of recent
// search hits are kept in memory and GetLyricsText asks the service only for
// a record it has not seen. Records without text (instrumental tracks, or
// both lyrics fields null or blank) are not offered at all.
#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "../common/DownloadStatistics.h"
#include "../common/HttpClient.h"
#include "../common/Json.h"
#include "../common/PluginClock.h"
#include "../common/PluginSettings.h"
#include "../common/ResponseCache.h"
#include "../common/SearchStop.h"
#include "../common/ServiceClient.h"
#include "../common/Text.h"
#include "LrclibParser.h"
#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

namespace {

using plugin_text::Narrow;
using plugin_text::UrlEncode;
using plugin_text::Widen;

constexpr char kVersion[] = "1.0.0";
constexpr std::size_t kRememberedTexts = 2000;

struct Settings {
  std::string baseUrl = "https://lrclib.net/api";
  std::string contact = "no contact configured";
  std::string proxy;
  std::string dataFolder;
  std::int32_t timeoutSeconds = 20;
  std::int32_t lifetimeSeconds = 7 * 24 * 3600;
};

const std::vector<std::string> kKeys = {"BaseUrl", "Contact", "Proxy", "DataFolder", "TimeoutSeconds",
                                        "CacheLifetimeSeconds"};
const std::vector<std::string> kIntegerKeys = {"TimeoutSeconds", "CacheLifetimeSeconds"};

// Sets `key` in `s` from its text; false when the value is refused.
bool Apply(Settings& s, const std::string& key, const std::string& value) {
  namespace ps = plugin_settings;
  if (!ps::IsPlainText(value)) return false;
  if (key == "BaseUrl") {
    if (!ps::IsWebAddress(value)) return false;
    s.baseUrl = value;
    while (!s.baseUrl.empty() && s.baseUrl.back() == '/') s.baseUrl.pop_back();
  } else if (key == "Contact") {
    s.contact = value;
  } else if (key == "Proxy") {
    s.proxy = value;
  } else if (key == "DataFolder") {
    s.dataFolder = value.empty() ? value : ps::UserPath(value);
    return value.empty() || !s.dataFolder.empty();
  } else if (key == "TimeoutSeconds" || key == "CacheLifetimeSeconds") {
    const auto seconds = ps::Integer(value);
    if (!seconds) return false;
    if (key == "TimeoutSeconds") s.timeoutSeconds = *seconds < 1 ? 1 : *seconds;
    else s.lifetimeSeconds = *seconds < 0 ? 0 : *seconds;
  } else {
    return false;
  }
  return true;
}

class LrclibPlugin : public CLyricsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (name == L"Clock") {
      client_.Limiter().SetClock(static_cast<const PluginClock*>(value));
      return 1;
    }
    if (!value) return 0;
    if (plugin_settings::TakeEngineProperty(name.str(), value, mutex_, hostProxy_)) return 1;
    const std::string key = Narrow(name.str());
    if (name == L"LocalCacheFolder") {
      std::lock_guard<std::mutex> lock(mutex_);
      localCacheFolder_ = Narrow(static_cast<const CString*>(value)->str());
      ChooseCache();
      return 1;
    }
    const auto text = plugin_settings::HostValueText(key, value, kKeys, kIntegerKeys);
    if (!text) return name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath" ? 1 : 0;
    if (!plugin_settings::TakeHostValue<Settings>(layered_, key, *text, Apply)) return 0;
    Rebuild();
    return 1;
  }

  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    const auto integer = [out](std::int64_t value) { return plugin_stats::PutInt32(out, value); };
    if (name == L"SourceName") *static_cast<CString*>(out) = L"lrclib";
    else if (name == L"SourceId") *static_cast<CString*>(out) = L"lrclib.net";
    // One request per song by artist and title; an artist-wide search answers
    // at most 20 records, so it is never the cheaper way.
    else if (name == L"SupportedSearch") return integer(2);
    else if (name == L"AlbumsItearationConstant") return integer(1000);
    else if (name == L"TitlesItearationConstant") return integer(1);
    else if (statistics_.Answer(name, out)) return 1;
    else if (name == L"CacheFile") *static_cast<CString*>(out) = Widen(cache_.Path());
    else if (name == L"SettingsFile") *static_cast<CString*>(out) = Widen(layered_.FilePath());
    else if (name == L"SettingsProblems") *static_cast<CString*>(out) = Widen(layered_.Problems());
    else if (name == L"Notices") *static_cast<CString*>(out) = Widen(client_.Notices());
    else return 0;
    return 1;
  }

  std::int32_t CallMethod(const CString&, void*) override { return 0; }
  std::int32_t Connect(ILyricsSearchEngine* engine) override {
    if (!engine) return 0;
    plugin_stop::Attach(engine);
    if (layered_.Refresh()) Rebuild();
    return 1;
  }

  std::int32_t FindAlbumsByArtist(const CString* artist, std::list<Nimbrel::LyricsInfo>& candidates) override {
    if (!artist || artist->IsEmpty()) return 0;
    return Search(artist->str(), L"", candidates, false) > 0 ? 1 : 0;
  }

  std::int32_t FindAlbums(const CString* artist, const CString* title, std::list<Nimbrel::LyricsInfo>& candidates,
                          bool countOnly) override {
    if (!artist || artist->IsEmpty()) return 0;
    return Search(artist->str(), title ? title->str() : L"", candidates, countOnly);
  }

  std::int32_t GetLyricsText(const CString* link, CString* text) override {
    if (!link || !text || !lrclib::IsRecordId(link->str())) return 0;
    if (layered_.Refresh()) Rebuild();
    std::wstring found;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto known = texts_.find(link->str());
      if (known != texts_.end()) found = known->second;
    }
    if (found.empty()) {
      const auto record = Fetch(Current().baseUrl + "/get/" + Narrow(link->str()));
      if (!record || !record->IsObject()) return 0;
      found = lrclib::LyricsTextOf(*record);
    }
    if (plugin_text::Trimmed(found).empty()) return 0;
    *text = found;
    return 1;
  }

 private:
  // The settings from their layers.
  // Under the lock throughout, so that a rebuild from older values never
  // lands after a newer one.
  void Rebuild() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = plugin_settings::BuildSettings<Settings>(layered_, Apply);
    ChooseCache();
  }

  // The cache in the data folder, else below the library's cache folder.
  // Called with mutex_ held.
  void ChooseCache() {
    std::string folder = settings_.dataFolder;
    if (folder.empty() && !localCacheFolder_.empty()) folder = (std::filesystem::path(localCacheFolder_) / "lrclib").string();
    if (folder.empty()) return;
    const std::string file = (std::filesystem::path(folder) / "responses.sqlite").string();
    // Every search hands the library's folder in again.
    if (cache_.IsOpen() && cache_.Path() == file) return;
    plugin_settings::MakePrivateFolder(folder);
    // The request slot is kept beside the answers, for every process of the user.
    if (cache_.Open(file)) client_.Limiter().ShareThrough(folder);
  }

  Settings Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
  }

  std::int32_t Search(const std::wstring& artist, const std::wstring& title,
                      std::list<Nimbrel::LyricsInfo>& candidates, bool countOnly) {
    // The settings file and the environment: a stat and a few variables per search.
    if (layered_.Refresh()) Rebuild();
    const Settings s = Current();
    const std::string url = title.empty()
                                ? s.baseUrl + "/search?q=" + UrlEncode(Narrow(artist))
                                : s.baseUrl + "/search?track_name=" + UrlEncode(Narrow(title)) +
                                      "&artist_name=" + UrlEncode(Narrow(artist));
    const auto answer = Fetch(url);
    if (!answer || !answer->IsArray()) return 0;
    std::int32_t hits = 0;
    for (const auto& record : answer->Items()) {
      Nimbrel::LyricsInfo candidate;
      std::wstring text;
      if (!lrclib::ReadRecord(record, candidate, text)) continue;
      // A record without text (an instrumental, or one nobody wrote the
      // lyrics for) is no candidate: offered, it would stand in the way of a
      // later record of the same title that has them.
      if (candidate.flag || plugin_text::Trimmed(text).empty()) continue;
      // A free-text search also finds other artists' songs that name this one.
      if (title.empty() && !plugin_text::SameText(candidate.artist, artist)) continue;
      ++hits;
      Remember(candidate.link, text);
      if (!countOnly) candidates.push_back(std::move(candidate));
    }
    return hits;
  }

  void Remember(const std::wstring& link, const std::wstring& text) {
    if (plugin_text::Trimmed(text).empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (texts_.emplace(link, text).second) order_.push_back(link);
    while (order_.size() > kRememberedTexts) {
      texts_.erase(order_.front());
      order_.pop_front();
    }
  }

  // The answer to `url` as JSON, from the cache or the service.
  std::optional<plugin_json::Value> Fetch(const std::string& url) {
    const Settings s = Current();
    ServiceRequest request;
    request.userAgent = std::string("nimbrel/") + kVersion + " ( " + s.contact + " )";
    request.stallTimeoutSeconds = s.timeoutSeconds;
    request.totalTimeoutSeconds = 3L * s.timeoutSeconds;
    request.lifetimeMs = static_cast<std::int64_t>(s.lifetimeSeconds) * 1000;
    if (!layered_.Get("Contact")) request.contactHint = plugin_settings::ContactHint("lrclib", layered_.FilePath());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!cache_.IsOpen()) cache_.Open(":memory:");
      // The plug-in's own proxy setting, else the host's.
      request.proxy = layered_.Get("Proxy") ? s.proxy : hostProxy_;
    }
    return client_.GetJson(url, request);
  }

  std::mutex mutex_;
  Settings settings_;
  plugin_settings::LayeredSettings layered_{"lrclib", kKeys};
  std::string localCacheFolder_;
  std::string hostProxy_;
  ResponseCache cache_;
  std::map<std::wstring, std::wstring> texts_;
  std::deque<std::wstring> order_;
  plugin_stats::DownloadStatistics statistics_;
  // The service publishes no limit: ten a second keeps a full run well-mannered.
  ServiceClient client_{"lrclib", cache_, statistics_, ServicePolicy{100, 60000, 2}};
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static LrclibPlugin plugin;
  return static_cast<CLyricsDllInterface*>(&plugin);
}
