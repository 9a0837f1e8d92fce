#include "TagsImport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "../../common/Text.h"
#include "meridex/Tags.h"

namespace catalogue {
namespace {

using plugin_text::Narrow;
using plugin_text::Widen;

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// The leading number of "7" or "7/12"; 0 without one.
int LeadingNumber(const std::wstring& text) {
  int value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9' || value > 99999) break;
    value = value * 10 + (c - L'0');
  }
  return value;
}

// A key that stays the same for the same artist and album: "tags-" and a 64-bit FNV-1a hash.
std::string KeyOf(const std::wstring& lowerArtist, const std::wstring& lowerAlbum) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : Narrow(lowerArtist + L'\n' + lowerAlbum)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  char key[24];
  std::snprintf(key, sizeof key, "tags-%016llx", static_cast<unsigned long long>(hash));
  return key;
}

std::wstring Trimmed(const CString& text) { return CString(text).Trim().str(); }

}  // namespace

TagsImportCounts ImportTaggedFolder(const std::string& folder, CatalogueStore& store, std::ostream& errors) {
  TagsImportCounts counts;
  std::map<std::pair<std::wstring, std::wstring>, Release> releases;
  std::error_code error;
  namespace fs = std::filesystem;
  // Unreadable sub-folders are passed over, not the end of the import.
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    std::error_code statError;
    if (!it->is_regular_file(statError)) continue;
    const std::string path = it->path().string();
    Meridex::CTags tags;
    if (!tags.ReadFile(CString(Widen(path)))) continue;
    tags.RemoveAllPictures();
    ++counts.files;
    CString artist, album, title, number, year, genre;
    if (!tags.GetFirstValidArtist(artist) || !tags.GetAlbum(album) || !tags.GetTitle(title) ||
        Trimmed(album).empty() || Trimmed(title).empty()) {
      errors << path << ": no artist, album or title\n";
      ++counts.incomplete;
      continue;
    }
    Release& release = releases[{Lower(Trimmed(artist)), Lower(Trimmed(album))}];
    if (release.key.empty()) {
      release.key = KeyOf(Lower(Trimmed(artist)), Lower(Trimmed(album)));
      release.artist = Narrow(Trimmed(artist));
      release.title = Narrow(Trimmed(album));
    }
    if (release.year == 0 && tags.GetYear(year)) release.year = std::min(LeadingNumber(Trimmed(year)), 9999);
    if (release.genre.empty() && tags.GetGenre(genre)) release.genre = Narrow(Trimmed(genre));
    const int track = tags.GetTrackNumber(number) ? LeadingNumber(Trimmed(number)) : 0;
    // What the file tells beyond that goes along: its disc, its length, its ids.
    CString disc, recording, group, original;
    const int medium = tags.GetDiscNumber(disc) ? LeadingNumber(Trimmed(disc)) : 0;
    if (release.releaseGroupId.empty() && tags.GetReleaseGroupId(group)) release.releaseGroupId = Narrow(Trimmed(group));
    if (release.originalDate.empty() && tags.GetOriginalDate(original)) release.originalDate = Narrow(Trimmed(original));
    release.tracks.push_back({medium > 0 ? medium : 1, track, Narrow(Trimmed(title)), tags.GetLengthMs(),
                              tags.GetRecordingId(recording) ? Narrow(Trimmed(recording)) : std::string()});
  }
  if (error) errors << folder << ": " << error.message() << "\n";
  if (!store.Begin()) return counts;
  for (auto& [names, release] : releases) {
    // Copies of a song (the same number and title) count once.
    std::stable_sort(release.tracks.begin(), release.tracks.end(), [](const Track& a, const Track& b) {
      return a.medium != b.medium ? a.medium < b.medium : a.number < b.number;
    });
    std::set<std::tuple<int, int, std::string>> seen;
    std::erase_if(release.tracks,
                  [&seen](const Track& t) { return !seen.insert({t.medium, t.number, t.title}).second; });
    if (store.Add(release)) ++counts.releases;
    else errors << release.artist << " - " << release.title << ": the catalogue did not take it\n";
  }
  counts.written = store.Commit();
  if (!counts.written) counts.releases = 0;
  return counts;
}

}  // namespace catalogue
