#include "MusicBrainzImport.h"

#include <optional>

#include "../../common/Json.h"

namespace catalogue {
namespace {

using plugin_json::Value;

// The position of a medium or track: the number, else the text "3" of the look-up's "number".
int PositionOf(const Value& item, std::string_view numberKey) {
  if (auto position = item.IntegerOf("position"); position && *position > 0 && *position < 100000) {
    return static_cast<int>(*position);
  }
  const std::string text = item.TextOf(numberKey);
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || value > 9999) return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The name of the tag counted most (the first of equals).
std::string TopTag(const Value* tags) {
  std::string best;
  std::int64_t bestCount = -1;
  if (!tags) return best;
  for (const Value& tag : tags->Items()) {
    const auto count = tag.IntegerOf("count");
    const std::string name = tag.TextOf("name");
    if (count && !name.empty() && *count > bestCount) {
      best = name;
      bestCount = *count;
    }
  }
  return best;
}

int YearOf(const std::string& date) {
  if (date.size() < 4) return 0;
  int year = 0;
  for (int i = 0; i < 4; ++i) {
    if (date[i] < '0' || date[i] > '9') return 0;
    year = year * 10 + (date[i] - '0');
  }
  return year;
}

}  // namespace

bool ReleaseFromLookup(std::string_view line, Release& out, std::string& error) {
  Value root;
  const auto parsed = plugin_json::Parse(line, root);
  if (!parsed.ok) {
    error = "not JSON (" + parsed.error + " at " + std::to_string(parsed.offset) + ")";
    return false;
  }
  Release release;
  release.key = root.TextOf("id");
  release.title = root.TextOf("title");
  if (!root.IsObject() || release.key.empty() || release.title.empty()) {
    error = "not a release (no id or title)";
    return false;
  }
  // Ids become file names in cover caches elsewhere: keep them to plain characters.
  for (const char c : release.key) {
    if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
      error = "release id with characters other than letters, digits and '-'";
      return false;
    }
  }
  if (const Value* credits = root.Find("artist-credit")) {
    for (const Value& credit : credits->Items()) release.artist += credit.TextOf("name") + credit.TextOf("joinphrase");
  }
  release.year = YearOf(root.TextOf("date"));
  release.genre = TopTag(root.Find("tags"));
  if (const Value* group = root.Find("release-group")) {
    if (release.genre.empty()) release.genre = TopTag(group->Find("tags"));
    release.releaseGroupId = group->TextOf("id");
    release.originalDate = group->TextOf("first-release-date");
  }
  const Value* art = root.Find("cover-art-archive");
  if (art && art->Find("front") && art->Find("front")->Bool()) {
    release.coverUrl = "https://coverartarchive.org/release/" + release.key + "/front";
  } else if (!root.TextOf("asin").empty()) {
    release.coverUrl = "ASIN=" + root.TextOf("asin");
  }
  if (const Value* media = root.Find("media")) {
    int mediumIndex = 0;
    for (const Value& medium : media->Items()) {
      ++mediumIndex;
      const int position = PositionOf(medium, "");
      const Value* tracks = medium.Find("tracks");
      if (!tracks) continue;
      for (const Value& track : tracks->Items()) {
        const std::string title = track.TextOf("title");
        if (title.empty()) continue;
        // The track's length, else its recording's (milliseconds; null when unknown).
        std::optional<double> length;
        if (const Value* own = track.Find("length")) length = own->Number();
        const Value* recording = track.Find("recording");
        if (!length && recording) {
          if (const Value* its = recording->Find("length")) length = its->Number();
        }
        const int lengthMs = length && *length > 0 && *length < 1e9 ? static_cast<int>(*length) : 0;
        release.tracks.push_back({position > 0 ? position : mediumIndex, PositionOf(track, "number"), title, lengthMs,
                                  recording ? recording->TextOf("id") : std::string()});
      }
    }
  }
  if (release.tracks.empty()) {
    error = "release without tracks";
    return false;
  }
  out = std::move(release);
  return true;
}

ImportCounts ImportMusicBrainzLines(std::istream& lines, CatalogueStore& store, std::ostream& errors) {
  ImportCounts counts;
  if (!store.Begin()) return counts;
  std::string line;
  for (std::size_t number = 1; std::getline(lines, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Release release;
    std::string error;
    if (!ReleaseFromLookup(line, release, error)) {
      errors << "line " << number << ": " << error << "\n";
      ++counts.skipped;
    } else if (!store.Add(release)) {
      errors << "line " << number << ": the catalogue did not take release " << release.key << "\n";
      ++counts.skipped;
    } else {
      ++counts.imported;
    }
  }
  counts.written = store.Commit();
  if (!counts.written) counts.imported = 0;
  return counts;
}

}  // namespace catalogue
