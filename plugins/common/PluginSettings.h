// A plug-in's own settings (service addresses, a contact address, its files)
// as a user or a host gives them without going through the library, which
// hands plug-ins only its own common properties. For one plug-in, a value
// comes from the first of:
//   1. SetProperty by a host that knows the plug-in;
//   2. the environment variable NIMBREL_<PLUGIN>_<KEY> (upper case, e.g.
//      NIMBREL_MUSICBRAINZ_CONTACT), else NIMBREL_PLUGIN_<KEY> for every
//      plug-in (NIMBREL_PLUGIN_CONTACT, which nimbrel-tag --contact sets);
//   3. the plug-in's [section] of the settings file;
//   4. the lines of the settings file before any section (for every plug-in);
// else the plug-in's built-in default.
//
// The settings file is $NIMBREL_PLUGINS_CONF when set, else
// $XDG_CONFIG_HOME/nimbrel/plugins.conf, else ~/.config/nimbrel/plugins.conf:
//
//   # a comment            ; also a comment
//   Contact = me@example.org   # a comment after a blank
//   [musicbrainz]
//   BaseUrl = https://musicbrainz.org/ws/2#no-comment
//
// Keys are compared ignoring case; values are trimmed, and may be quoted to
// keep blanks, "#" and ";" as they are.
// The file is read only when it is a regular file of at most 64 KiB, owned by
// the user (or root) and writable by nobody else; anything else about it
// (missing, unreadable, too large, a line without "=", an unknown key, a
// value with control characters) is recorded in Problems() and that part is
// ignored, never the end of the plug-in.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plugin_settings {

// Largest settings file read.
constexpr std::uintmax_t kMaxFileBytes = 64 * 1024;

// The settings file's path by the rules above; empty when there is no home.
std::string SettingsFilePath();
// $XDG_DATA_HOME, else ~/.local/share; empty when neither is an absolute path.
std::string DataHome();

// The values of `section` in the text of a settings file: the lines before
// any section first, then the section's own, so the latter win. Keys are
// returned as spelt in `keys`; unknown keys of the section, malformed lines
// and values with control characters are reported to `problems` and left out.
std::map<std::string, std::string> ParseSection(std::string_view text, std::string_view section,
                                                const std::vector<std::string>& keys,
                                                std::vector<std::string>& problems);

// A path a user wrote: "~/" is the home folder; anything but an absolute
// path without control characters is refused (empty). Normalised lexically.
std::string UserPath(const std::string& text);
// Creates `folder` and its parents as they are missing, each readable by the
// user alone; false when it is not a folder afterwards.
bool MakePrivateFolder(const std::string& folder);
// What a plug-in says once when no contact address is set: why one is
// needed and the ways to set it (`settingsFile` is the file it reads).
std::string ContactHint(const std::string& plugin, const std::string& settingsFile);
// True for an http:// or https:// address without blanks or control characters.
bool IsWebAddress(const std::string& text);
// True when `text` holds no control character (no line break can reach a header).
bool IsPlainText(std::string_view text);
// A decimal 32-bit integer, the whole text; nullopt otherwise.
std::optional<std::int32_t> Integer(const std::string& text);

// A setting as a host hands it to SetProperty, as text: a CString* for a
// text key, a std::int32_t* for one of `integerKeys`. Nothing when `key` is
// not one of `keys` (or `value` is null).
std::optional<std::string> HostValueText(const std::string& key, const void* value,
                                         const std::vector<std::string>& keys,
                                         const std::vector<std::string>& integerKeys);

// The properties the engine itself hands a web plug-in: "SearchEnded" (the
// search that called on this thread is over: its stop is no longer asked)
// and "HttpProxy" (a CString*, the host's proxy, the default for the
// plug-in's requests; stored into `hostProxy` under `mutex`). True when
// `name` was one of them.
bool TakeEngineProperty(std::wstring_view name, const void* value, std::mutex& mutex, std::string& hostProxy);

// The layers of one plug-in's settings. Thread-safe.
class LayeredSettings {
 public:
  LayeredSettings(std::string section, std::vector<std::string> keys);

  // A host's value for `key`; it wins over the environment and the file. An
  // empty value withdraws the host's value.
  void SetByHost(const std::string& key, const std::string& value);
  // Reads the environment again, and the file when its path, size, time or
  // identity changed. True when an effective value differs from before.
  bool Refresh();
  // The effective value of `key`, nullopt when no layer gives one.
  std::optional<std::string> Get(const std::string& key) const;
  // Records that a value was refused by the plug-in.
  void Report(const std::string& problem);

  // The settings file last looked at, and what was wrong with it or its values.
  std::string FilePath() const;
  std::string Problems() const;
  const std::vector<std::string>& Keys() const { return keys_; }

 private:
  std::map<std::string, std::string> EffectiveLocked() const;
  void ReadFileLocked(const std::string& path);

  const std::string section_;
  const std::vector<std::string> keys_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> host_, environment_, file_;
  std::map<std::string, std::string> effective_;
  std::string path_;
  // What identified the file last read: size, time, inode; empty when none.
  std::vector<std::int64_t> stamp_;
  std::vector<std::string> fileProblems_, valueProblems_;
};

// What a plug-in does with its settings, `Apply(settings, key, text)`
// setting one value of its Settings record and returning false when the
// text is refused:

// Takes a host's value for `key` when a fresh Settings accepts it. False
// when refused (nothing changes then).
template <typename Settings, typename Apply>
bool TakeHostValue(LayeredSettings& layers, const std::string& key, const std::string& text, Apply apply) {
  Settings check;
  if (!apply(check, key, text)) return false;
  layers.SetByHost(key, text);
  return true;
}

// The settings the layers give now. A value `apply` refuses is reported in
// the layers' problems and leaves the built-in default.
template <typename Settings, typename Apply>
Settings BuildSettings(LayeredSettings& layers, Apply apply) {
  Settings settings;
  for (const std::string& key : layers.Keys()) {
    const auto value = layers.Get(key);
    if (value && !apply(settings, key, *value)) layers.Report("refused value of " + key + ": " + *value);
  }
  return settings;
}

}  // namespace plugin_settings
