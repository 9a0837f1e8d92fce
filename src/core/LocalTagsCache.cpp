#include "core/LocalTagsCache.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

bool IsApostrophe(wchar_t c) { return c == L'\'' || c == L'`' || c == 0x00B4 || c == 0x2018 || c == 0x2019; }

// Blanks, controls and punctuation: ASCII other than letters and digits, the
// Latin-1 signs, general punctuation and the CJK signs. Other characters,
// accented letters among them, are part of a word.
bool IsSeparator(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  if (u < 0x80) return !((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'));
  return u < 0xC0 || (u >= 0x2000 && u <= 0x206F) || (u >= 0x3000 && u <= 0x303F) || u == 0xFEFF;
}

bool IsSameRecord(const Nimbrel::SongInfo& stored, const Nimbrel::SongInfo& added) {
  return stored.albumInfo.album == added.albumInfo.album;
}

// A second record of the same album only supplies a cover file that is missing.
void MergeRecord(Nimbrel::SongInfo& stored, const Nimbrel::SongInfo& added) {
  if (stored.coverInfo.coverFile.empty() && !added.coverInfo.coverFile.empty())
    stored.coverInfo.coverFile = added.coverInfo.coverFile;
}

// Two lyrics candidates are the same when their texts are.
bool IsSameRecord(const Nimbrel::LyricsInfo& stored, const Nimbrel::LyricsInfo& added) {
  return stored.lyrics == added.lyrics;
}

void MergeRecord(Nimbrel::LyricsInfo&, const Nimbrel::LyricsInfo&) {}

}  // namespace

CLocalTagsCache::CLocalTagsCache(std::size_t limit) : limit_(std::max<std::size_t>(limit, 1)) {}

CLocalTagsCache& CLocalTagsCache::Instance() {
  static CLocalTagsCache cache;
  return cache;
}

std::wstring CLocalTagsCache::Key(const std::wstring& text) const {
  const std::wstring folded = comparer_.Prepare(text.c_str()).Normalised();
  std::wstring key;
  key.reserve(folded.size());
  bool blank = false;
  for (const wchar_t c : folded) {
    if (IsApostrophe(c)) continue;
    if (IsSeparator(c)) {
      blank = !key.empty();
      continue;
    }
    if (blank) key += L' ';
    blank = false;
    key += c;
  }
  return key.empty() ? folded : key;
}

std::wstring CLocalTagsCache::SongKey(const std::wstring& artist, const std::wstring& title,
                                      const std::wstring& album) const {
  // A line break never stays in a key, so the parts split one way only.
  std::wstring key = Key(artist) + L'\n' + Key(title);
  if (!album.empty()) key += L'\n' + Key(album);
  return key;
}

template <typename Record>
void CLocalTagsCache::Add(Section<Record>& section, const std::wstring& artist, const std::wstring& title,
                          const std::wstring& sourceName, const Record& record, bool found, const std::wstring& album) {
  if (artist.empty() || title.empty() || sourceName.empty()) return;
  std::wstring key = SongKey(artist, title, album);
  CSingleLock lock(&section.lock);
  auto place = section.index.find(key);
  if (place == section.index.end()) {
    if (section.order.size() >= limit_) {
      section.index.erase(section.order.front().first);
      section.order.pop_front();
    }
    section.order.emplace_back(key, std::vector<SourceEntry<Record>>());
    place = section.index.emplace(std::move(key), std::prev(section.order.end())).first;
  }
  std::vector<SourceEntry<Record>>& sources = place->second->second;
  auto entry = std::find_if(sources.begin(), sources.end(),
                            [&sourceName](const SourceEntry<Record>& e) { return e.source == sourceName; });
  if (entry == sources.end()) {
    sources.push_back(SourceEntry<Record>{sourceName, {}, false});
    entry = sources.end() - 1;
  }
  // A not-found report only marks the source as having answered; it never
  // undoes an earlier found answer.
  if (!found) return;
  for (Record& stored : entry->records) {
    if (IsSameRecord(stored, record)) {
      MergeRecord(stored, record);
      return;
    }
  }
  entry->records.push_back(record);
  entry->found = true;
}

template <typename Record>
std::int32_t CLocalTagsCache::Find(const Section<Record>& section, const std::wstring& artist,
                                   const std::wstring& title, std::vector<Record>& records,
                                   std::set<std::wstring>& coveredSources, const std::wstring& album) const {
  const std::wstring key = SongKey(artist, title, album);
  CSingleLock lock(&section.lock);
  const auto place = section.index.find(key);
  if (place == section.index.end()) return -1;
  std::int32_t result = 0;
  for (const SourceEntry<Record>& entry : place->second->second) {
    coveredSources.insert(entry.source);
    if (entry.found) {
      records.insert(records.end(), entry.records.begin(), entry.records.end());
      result = 1;
    }
  }
  return result;
}

void CLocalTagsCache::AddBasicResult(const std::wstring& artist, const std::wstring& title,
                                     const std::wstring& sourceName, const Nimbrel::SongInfo& record, bool found,
                                     const std::wstring& album) {
  Add(basic_, artist, title, sourceName, record, found, album);
}

std::int32_t CLocalTagsCache::FindBasicResults(const std::wstring& artist, const std::wstring& title,
                                               std::vector<Nimbrel::SongInfo>& records,
                                               std::set<std::wstring>& coveredSources,
                                               const std::wstring& album) const {
  return Find(basic_, artist, title, records, coveredSources, album);
}

void CLocalTagsCache::AddLyricsResult(const std::wstring& artist, const std::wstring& title,
                                      const std::wstring& sourceName, const Nimbrel::LyricsInfo& record, bool found) {
  Add(lyrics_, artist, title, sourceName, record, found, std::wstring());
}

std::int32_t CLocalTagsCache::FindLyricsResults(const std::wstring& artist, const std::wstring& title,
                                                std::vector<Nimbrel::LyricsInfo>& records,
                                                std::set<std::wstring>& coveredSources) const {
  return Find(lyrics_, artist, title, records, coveredSources, std::wstring());
}
