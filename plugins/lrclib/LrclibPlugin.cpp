// The "lrclib" lyrics source: song texts from LRCLIB.
//
// Settings (SetProperty, CString* unless noted, or the plug-in settings
// file's [lrclib] section and NIMBREL_LRCLIB_<KEY>, see PluginSettings.h):
// "BaseUrl" (default https://lrclib.net/api), "Contact" (named in the
// User-Agent), "Proxy", "TimeoutSeconds" (std::int32_t*). "SettingsFile" and
// "SettingsProblems" answer which file was read and what in it was refused.
//
// A search answers whole records, texts included, so the texts of recent
// search hits are kept in memory and GetLyricsText asks the service only for
// a record it has not seen. An instrumental track has no text: it is not
// reported as found (a found song always carries its text).
#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "../common/DownloadStatistics.h"
#include "../common/HttpClient.h"
#include "../common/Json.h"
#include "../common/PluginSettings.h"
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
  std::int32_t timeoutSeconds = 20;
};

const std::vector<std::string> kKeys = {"BaseUrl", "Contact", "Proxy", "TimeoutSeconds"};

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
  } else if (key == "TimeoutSeconds") {
    const auto seconds = ps::Integer(value);
    if (!seconds) return false;
    s.timeoutSeconds = *seconds < 1 ? 1 : *seconds;
  } else {
    return false;
  }
  return true;
}

class LrclibPlugin : public CLyricsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (!value) return 0;
    const std::string key = Narrow(name.str());
    if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
      return name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath" ||
                     name == L"LocalCacheFolder"
                 ? 1
                 : 0;
    }
    const std::string text = key == "TimeoutSeconds" ? std::to_string(*static_cast<const std::int32_t*>(value))
                                                     : Narrow(static_cast<const CString*>(value)->str());
    Settings check;
    if (!Apply(check, key, text)) return 0;
    layered_.SetByHost(key, text);
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
    else if (name == L"SettingsFile") *static_cast<CString*>(out) = Widen(layered_.FilePath());
    else if (name == L"SettingsProblems") *static_cast<CString*>(out) = Widen(layered_.Problems());
    else return 0;
    return 1;
  }

  std::int32_t CallMethod(const CString&, void*) override { return 0; }
  std::int32_t Connect(ILyricsSearchEngine* engine) override {
    if (!engine) return 0;
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
    Settings s;
    for (const auto& key : kKeys) {
      const auto value = layered_.Get(key);
      if (value && !Apply(s, key, *value)) layered_.Report("refused value of " + key + ": " + *value);
    }
    settings_ = s;
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

  std::optional<plugin_json::Value> Fetch(const std::string& url) {
    const Settings s = Current();
    plugin_http::Options options;
    options.userAgent = std::string("nimbrel/") + kVersion + " ( " + s.contact + " )";
    options.proxy = s.proxy;
    options.stallTimeoutSeconds = s.timeoutSeconds;
    options.totalTimeoutSeconds = 3L * s.timeoutSeconds;
    statistics_.Requested();
    const plugin_http::Response response = plugin_http::Get(url, options);
    statistics_.Took(response.elapsedMs);
    if (!response.transferred || response.status != 200) return std::nullopt;
    plugin_json::Value value;
    if (!plugin_json::Parse(response.body, value).ok) return std::nullopt;
    statistics_.Succeeded();
    return value;
  }

  std::mutex mutex_;
  Settings settings_;
  plugin_settings::LayeredSettings layered_{"lrclib", kKeys};
  std::map<std::wstring, std::wstring> texts_;
  std::deque<std::wstring> order_;
  plugin_stats::DownloadStatistics statistics_;
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static LrclibPlugin plugin;
  return static_cast<CLyricsDllInterface*>(&plugin);
}
