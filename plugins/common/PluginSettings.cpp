#include "PluginSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "SearchStop.h"
#include "Text.h"
#include "nimbrel/CString.h"

namespace plugin_settings {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An environment variable that holds an absolute path, else empty.
std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' && IsPlainText(value) ? std::string(value) : std::string();
}

std::string Home() { return AbsoluteVariable("HOME"); }

// Size, modification time and identity of an open or named file.
std::vector<std::int64_t> StampOf(const struct stat& status) {
  return {static_cast<std::int64_t>(status.st_size), static_cast<std::int64_t>(status.st_mtim.tv_sec),
          static_cast<std::int64_t>(status.st_mtim.tv_nsec), static_cast<std::int64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_dev)};
}

}  // namespace

std::string SettingsFilePath() {
  if (std::string explicitFile = AbsoluteVariable("NIMBREL_PLUGINS_CONF"); !explicitFile.empty()) return explicitFile;
  std::string config = AbsoluteVariable("XDG_CONFIG_HOME");
  if (config.empty()) {
    const std::string home = Home();
    if (home.empty()) return std::string();
    config = home + "/.config";
  }
  return config + "/nimbrel/plugins.conf";
}

std::string DataHome() {
  std::string data = AbsoluteVariable("XDG_DATA_HOME");
  if (!data.empty()) return data;
  const std::string home = Home();
  return home.empty() ? home : home + "/.local/share";
}

bool IsPlainText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

std::string UserPath(const std::string& text) {
  if (!IsPlainText(text) || text.empty()) return std::string();
  std::string path = text;
  if (path == "~" || path.rfind("~/", 0) == 0) {
    const std::string home = Home();
    if (home.empty()) return std::string();
    path = home + path.substr(1);
  }
  if (path.front() != '/') return std::string();
  return std::filesystem::path(path).lexically_normal().string();
}

bool MakePrivateFolder(const std::string& folder) {
  std::error_code error;
  const std::filesystem::path path(folder);
  if (!path.has_parent_path() || path.parent_path() == path) return std::filesystem::is_directory(path, error);
  if (!std::filesystem::exists(path.parent_path(), error)) MakePrivateFolder(path.parent_path().string());
  if (::mkdir(folder.c_str(), 0700) == 0) return true;
  return std::filesystem::is_directory(path, error);
}

std::string ContactHint(const std::string& plugin, const std::string& settingsFile) {
  return "no contact address configured; the service asks for one in every request. Set it with "
         "nimbrel-tag --contact ADDRESS, with \"Contact = ADDRESS\" in " +
         (settingsFile.empty() ? std::string("the plug-in settings file") : settingsFile) + " or with NIMBREL_" +
         Upper(plugin) + "_CONTACT";
}

bool IsWebAddress(const std::string& text) {
  const std::string lower = Lower(text);
  const bool scheme = lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0;
  return scheme && IsPlainText(text) && text.find(' ') == std::string::npos &&
         lower.size() > lower.find("//") + 2;
}

std::optional<std::int32_t> Integer(const std::string& text) {
  std::int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> HostValueText(const std::string& key, const void* value,
                                         const std::vector<std::string>& keys,
                                         const std::vector<std::string>& integerKeys) {
  if (!value || std::find(keys.begin(), keys.end(), key) == keys.end()) return std::nullopt;
  if (std::find(integerKeys.begin(), integerKeys.end(), key) != integerKeys.end())
    return std::to_string(*static_cast<const std::int32_t*>(value));
  return plugin_text::Narrow(static_cast<const CString*>(value)->str());
}

std::map<std::string, std::string> ParseSection(std::string_view text, std::string_view section,
                                                const std::vector<std::string>& keys,
                                                std::vector<std::string>& problems) {
  std::map<std::string, std::string> common, own;
  const std::string wanted = Lower(section);
  bool inCommon = true, inOwn = false;
  std::size_t number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.front() == '[') {
      if (line.back() != ']') {
        problems.push_back(where + "a section without \"]\"");
        inCommon = inOwn = false;  // its lines belong to no one
        continue;
      }
      inCommon = false;
      inOwn = Lower(Trim(line.substr(1, line.size() - 2))) == wanted;
      continue;
    }
    if (!inCommon && !inOwn) continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      problems.push_back(where + "no \"key = value\"");
      continue;
    }
    const std::string key = Lower(Trim(line.substr(0, equals)));
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.find('"', 1) != std::string_view::npos) {
      value = value.substr(1, value.find('"', 1) - 1);  // quoted: kept as it is
    } else {
      // A comment after the value begins with a blank and "#" or ";".
      for (std::size_t at = 1; at < value.size(); ++at) {
        if ((value[at] == '#' || value[at] == ';') && (value[at - 1] == ' ' || value[at - 1] == '\t')) {
          value = Trim(value.substr(0, at));
          break;
        }
      }
    }
    const auto known = std::find_if(keys.begin(), keys.end(), [&key](const std::string& k) { return Lower(k) == key; });
    if (known == keys.end()) {
      // Lines for every plug-in may name keys of other plug-ins.
      if (inOwn) problems.push_back(where + "unknown key \"" + std::string(Trim(line.substr(0, equals))) + "\"");
      continue;
    }
    if (!IsPlainText(value)) {
      problems.push_back(where + "control characters in the value of " + *known);
      continue;
    }
    (inOwn ? own : common)[*known] = std::string(value);
  }
  for (auto& [key, value] : own) common[key] = value;
  return common;
}

LayeredSettings::LayeredSettings(std::string section, std::vector<std::string> keys)
    : section_(std::move(section)), keys_(std::move(keys)) {}

void LayeredSettings::SetByHost(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value.empty()) host_.erase(key);
  else host_[key] = value;
  effective_ = EffectiveLocked();
}

bool LayeredSettings::Refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  environment_.clear();
  for (const auto& key : keys_) {
    const std::string name = "NIMBREL_" + Upper(section_) + "_" + Upper(key);
    const char* value = std::getenv(name.c_str());
    if (!value) value = std::getenv(("NIMBREL_PLUGIN_" + Upper(key)).c_str());
    if (!value) continue;
    if (IsPlainText(value)) environment_[key] = Trim(value);
  }
  const std::string path = SettingsFilePath();
  struct stat status {};
  const bool present = !path.empty() && ::stat(path.c_str(), &status) == 0;
  if (path != path_ || !present || StampOf(status) != stamp_) ReadFileLocked(path);
  auto effective = EffectiveLocked();
  const bool changed = effective != effective_;
  effective_ = std::move(effective);
  return changed;
}

// Reads `path` into file_, or leaves file_ empty with the reason recorded.
void LayeredSettings::ReadFileLocked(const std::string& path) {
  path_ = path;
  file_.clear();
  stamp_.clear();
  fileProblems_.clear();
  if (path.empty()) return;
  // Checked on the opened file itself, so that the file read is the file judged.
  // Without blocking: a FIFO put there must not hold the search up.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  std::FILE* file = descriptor >= 0 ? ::fdopen(descriptor, "rb") : nullptr;
  if (!file) {
    if (errno != ENOENT) fileProblems_.push_back(path + ": cannot be read");
    if (descriptor >= 0) ::close(descriptor);
    return;
  }
  struct stat status {};
  std::string text;
  if (::fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
    fileProblems_.push_back(path + ": not a regular file");
  } else if (status.st_uid != ::getuid() && status.st_uid != 0) {
    fileProblems_.push_back(path + ": owned by another user");
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    fileProblems_.push_back(path + ": writable by others");
  } else if (static_cast<std::uintmax_t>(status.st_size) > kMaxFileBytes) {
    fileProblems_.push_back(path + ": larger than 64 KiB");
  } else {
    text.resize(kMaxFileBytes + 1);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    if (text.size() > kMaxFileBytes || std::ferror(file)) {
      fileProblems_.push_back(path + ": grew past 64 KiB or could not be read");
      text.clear();
    } else {
      stamp_ = StampOf(status);
      file_ = ParseSection(text, section_, keys_, fileProblems_);
      for (auto& problem : fileProblems_) problem = path + ": " + problem;
    }
  }
  std::fclose(file);
}

std::map<std::string, std::string> LayeredSettings::EffectiveLocked() const {
  std::map<std::string, std::string> effective = file_;
  for (const auto& [key, value] : environment_) effective[key] = value;
  for (const auto& [key, value] : host_) effective[key] = value;
  return effective;
}

std::optional<std::string> LayeredSettings::Get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = effective_.find(key);
  if (found == effective_.end()) return std::nullopt;
  return found->second;
}

void LayeredSettings::Report(const std::string& problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (valueProblems_.size() < 50 &&
      std::find(valueProblems_.begin(), valueProblems_.end(), problem) == valueProblems_.end()) {
    valueProblems_.push_back(problem);
  }
}

std::string LayeredSettings::FilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

std::string LayeredSettings::Problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const auto* list : {&fileProblems_, &valueProblems_}) {
    for (const auto& problem : *list) text += problem + "\n";
  }
  return text;
}

bool TakeEngineProperty(std::wstring_view name, const void* value, std::mutex& mutex, std::string& hostProxy) {
  if (name == L"SearchEnded") {
    plugin_stop::Detach();
    return true;
  }
  if (name == L"HttpProxy") {
    std::lock_guard<std::mutex> lock(mutex);
    hostProxy = plugin_text::Narrow(static_cast<const CString*>(value)->str());
    return true;
  }
  return false;
}

}  // namespace plugin_settings
