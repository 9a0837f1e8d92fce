// The "amazon" basic-tags source: cover pictures by article number (ASIN).
// It finds no albums; the library asks it through CallMethod("GetCover_by_asin")
// for the address of the picture of an article number.
//
// Settings (SetProperty, CString* unless noted, or the plug-in settings
// file's [amazon] section and NIMBREL_AMAZON_<KEY>, see PluginSettings.h):
// "BaseUrl" (default http://images.amazon.com), "Region" (US, UK, DE, FR, JP
// or the two-digit code; default US), "Proxy" (else the host's "HttpProxy"),
// "TimeoutSeconds"
// (std::int32_t*), "VerifyPicture" (std::int32_t*, default 1).
// "SettingsFile" and "SettingsProblems" answer which file was read and what
// in it was refused.
//
// The service answers an unknown article number with 200 and a 1x1 GIF. Only
// this plug-in knows that quirk, so it checks the picture before it names the
// address: it fetches the picture and answers nothing when the picture is
// missing, unreadable or smaller than a cover can be. The library's cover
// cache then fetches it once more; a cover is asked for once per album.
//
// A host that cannot be reached is said once ("amazon: cannot reach HOST
// (reason); skipped for this run", on standard error and in the property
// "Notices") and not asked again while the module is loaded, so that a
// machine without network loses no time on it.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>

#include "../common/DownloadStatistics.h"
#include "../common/HttpClient.h"
#include "../common/PluginSettings.h"
#include "../common/SearchStop.h"
#include "../common/Text.h"
#include "PictureSize.h"
#include "nimbrel/SourcePlugin.h"

NIMBREL_MODULE_VERSION(1, 0, 0, 0);

namespace {

using plugin_text::Narrow;

// Pictures are a few hundred kilobytes; a placeholder is 43 bytes.
constexpr std::size_t kMaxPictureBytes = 16u * 1024 * 1024;

struct Settings {
  std::string baseUrl = "http://images.amazon.com";
  std::string region = "01";
  std::string proxy;
  std::int32_t timeoutSeconds = 20;
  bool verify = true;
};

// "US" -> "01"; a two-digit code passes; anything else is refused (empty).
std::string RegionCode(std::string region) {
  for (auto& c : region) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (region == "US") return "01";
  if (region == "UK" || region == "GB") return "02";
  if (region == "DE") return "03";
  if (region == "FR") return "08";
  if (region == "JP") return "09";
  if (region == "01" || region == "02" || region == "03" || region == "08" || region == "09") return region;
  return std::string();
}

bool IsAsin(const std::wstring& asin) {
  if (asin.size() != 10) return false;
  if (!((asin[0] >= L'0' && asin[0] <= L'9') || asin[0] == L'B')) return false;
  for (std::size_t i = 1; i < asin.size(); ++i) {
    if (!((asin[i] >= L'0' && asin[i] <= L'9') || (asin[i] >= L'A' && asin[i] <= L'Z'))) return false;
  }
  return true;
}

const std::vector<std::string> kKeys = {"BaseUrl", "Region", "Proxy", "TimeoutSeconds", "VerifyPicture"};
const std::vector<std::string> kIntegerKeys = {"TimeoutSeconds", "VerifyPicture"};

// Sets `key` in `s` from its text; false when the value is refused.
bool Apply(Settings& s, const std::string& key, const std::string& value) {
  namespace ps = plugin_settings;
  if (!ps::IsPlainText(value)) return false;
  if (key == "BaseUrl") {
    if (!ps::IsWebAddress(value)) return false;
    s.baseUrl = value;
    while (!s.baseUrl.empty() && s.baseUrl.back() == '/') s.baseUrl.pop_back();
  } else if (key == "Region") {
    const std::string code = RegionCode(value);
    if (code.empty()) return false;
    s.region = code;
  } else if (key == "Proxy") {
    s.proxy = value;
  } else {
    const auto number = ps::Integer(value);
    if (!number) return false;
    if (key == "TimeoutSeconds") s.timeoutSeconds = *number < 1 ? 1 : *number;
    else if (key == "VerifyPicture") s.verify = *number != 0;
    else return false;
  }
  return true;
}

class AmazonPlugin : public CBasicTagsDllInterface {
 public:
  std::int32_t SetProperty(const CString& name, void* value) override {
    if (!value) return 0;
    if (plugin_settings::TakeEngineProperty(name.str(), value, mutex_, hostProxy_)) return 1;
    const std::string key = Narrow(name.str());
    const auto text = plugin_settings::HostValueText(key, value, kKeys, kIntegerKeys);
    if (!text) {
      return name == L"TraceLevel" || name == L"LogFolder" || name == L"ParentLogfilePath" ||
                     name == L"LocalCacheFolder"
                 ? 1
                 : 0;
    }
    if (!plugin_settings::TakeHostValue<Settings>(layered_, key, *text, Apply)) return 0;
    Rebuild();
    return 1;
  }

  std::int32_t GetProperty(const CString& name, void* out) override {
    if (!out) return 0;
    const auto integer = [out](std::int64_t value) { return plugin_stats::PutInt32(out, value); };
    if (name == L"SourceName") *static_cast<CString*>(out) = L"amazon";
    else if (name == L"SourceId") *static_cast<CString*>(out) = L"amazon.com";
    // Finds no albums: a search through it ends at once with nothing.
    else if (name == L"SupportedSearch") return integer(2);
    else if (statistics_.Answer(name, out)) return 1;
    else if (name == L"SettingsFile") *static_cast<CString*>(out) = plugin_text::Widen(layered_.FilePath());
    else if (name == L"SettingsProblems") *static_cast<CString*>(out) = plugin_text::Widen(layered_.Problems());
    else if (name == L"Notices") *static_cast<CString*>(out) = plugin_text::Widen(Notices());
    else return 0;
    return 1;
  }

  std::int32_t CallMethod(const CString& name, void* args) override {
    if (name != L"GetCover_by_asin" || !args) return 0;
    auto* request = static_cast<CoverByAsinArgs*>(args);
    if (!request->asin || !request->coverUrl) return 0;
    const std::wstring asin = CString(*request->asin).Trim().str();
    if (!IsAsin(asin)) return 0;
    // The cover retrieval calls this without a search: the settings file and
    // the environment are read here too (a stat and a few variables).
    if (layered_.Refresh()) Rebuild();
    Settings s;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      s = settings_;
      if (!layered_.Get("Proxy")) s.proxy = hostProxy_;
    }
    const std::string url = s.baseUrl + "/images/P/" + Narrow(asin) + "." + s.region + ".LZZZZZZZ.jpg";
    if (s.verify && !IsCover(url, s)) return 0;
    *request->coverUrl = plugin_text::Widen(url);
    return 1;
  }

  std::int32_t FindAlbumsByArtist(const CString*, std::list<Nimbrel::AlbumResult>&) override { return 0; }
  std::int32_t GetAlbumDetails(Nimbrel::AlbumInfo*, Nimbrel::CoverInfo*, std::list<Nimbrel::TrackInfo>*) override {
    return 0;
  }
  std::int32_t Connect(IBasicTagsSearchEngine* engine) override {
    if (!engine) return 0;
    plugin_stop::Attach(engine);
    if (layered_.Refresh()) Rebuild();
    return 1;
  }
  std::int32_t FindAlbums(const CString*, const CString*, std::list<Nimbrel::AlbumResult>&, bool) override {
    return 0;
  }

 private:
  // The settings from their layers.
  // Under the lock throughout, so that a rebuild from older values never
  // lands after a newer one.
  void Rebuild() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = plugin_settings::BuildSettings<Settings>(layered_, Apply);
  }

  bool IsCover(const std::string& url, const Settings& s) {
    plugin_http::Options options;
    options.userAgent = "nimbrel/1.0.0";
    options.proxy = s.proxy;
    options.stallTimeoutSeconds = s.timeoutSeconds;
    options.totalTimeoutSeconds = 3L * s.timeoutSeconds;
    options.maxBodyBytes = kMaxPictureBytes;
    options.stopped = [] { return plugin_stop::Stopped(); };
    const std::string host = plugin_text::HostOf(url);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unreachable_.count(host)) return false;
    }
    statistics_.Requested();
    const plugin_http::Response response = plugin_http::Get(url, options);
    statistics_.Took(response.elapsedMs);
    if (response.unreachable) {
      std::string line;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unreachable_.insert(host).second) {
          line = "amazon: cannot reach " + host + " (" + response.error + "); skipped for this run";
          notices_ += line + "\n";
        }
      }
      if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
      return false;
    }
    if (!response.transferred || response.status != 200) return false;
    int width = 0, height = 0;
    if (!amazon::PictureSize(response.body, width, height)) return false;
    if (width < amazon::kMinCoverSide || height < amazon::kMinCoverSide) return false;
    statistics_.Succeeded();
    return true;
  }

  std::string Notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
  }

  std::mutex mutex_;
  Settings settings_;
  std::set<std::string> unreachable_;  // hosts, as "name:port"
  std::string notices_;                // what was said, a line each
  plugin_settings::LayeredSettings layered_{"amazon", kKeys};
  std::string hostProxy_;
  plugin_stats::DownloadStatistics statistics_;
};

}  // namespace

NIMBREL_PLUGIN_ENTRY {
  static AmazonPlugin plugin;
  return static_cast<CBasicTagsDllInterface*>(&plugin);
}
