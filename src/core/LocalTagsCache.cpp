#include "core/LocalTagsCache.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

namespace {

// A stored key counts as the same artist or title only below this difference.
constexpr float kNoMatch = 100.0f;

// What the scan may skip rests on the costs of the string difference: every
// edit costs at least 5 (inserting or deleting a blank); a unit that is not
// aligned with an equal unit costs at least 25 when it is a letter (becoming
// a punctuation mark) and 10 when it is a digit other than 9 (half of a
// replacement by another digit; the 9 counts as a blank), and an edit between
// two such units costs at least the sum of both. Inside the bracketed parts
// of both strings, costs are scaled by the bracket weight.
constexpr float kCheapestEdit = 5.0f;
constexpr float kLetterWeight = 25.0f;
constexpr float kDigitWeight = 10.0f;
// Keeps a bound below the true difference despite float rounding in it.
constexpr float kBoundMargin = 0.999f;

// Adds one occurrence of `c` to the letter or digit counts it belongs to.
template <typename Summary>
void Count(Summary& summary, wchar_t c) {
  std::uint8_t* count = nullptr;
  if (c >= L'A' && c <= L'Z') count = &summary.letters[c - L'A'];
  else if (c >= L'a' && c <= L'z') count = &summary.letters[26 + (c - L'a')];
  else if (c >= L'0' && c <= L'8') count = &summary.digits[c - L'0'];
  if (count && *count < 255) ++*count;
}

// The sum of the differences of two count arrays (written so that it
// becomes vector instructions).
template <std::size_t N>
unsigned CountDistance(const std::array<std::uint8_t, N>& a, const std::array<std::uint8_t, N>& b) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < N; ++i) sum += static_cast<std::uint8_t>(std::max(a[i], b[i]) - std::min(a[i], b[i]));
  return sum;
}

// A lower bound of the difference between two keys, cheap enough to skip the
// table of every key that cannot beat the best one. Strings whose lengths
// differ by n need n insertions or deletions; of each letter and digit, at
// least the difference of the two counts is not aligned with an equal unit.
template <typename Summary>
float ScanBound(float bracketWeight, const Summary& a, const Summary& b) {
  const std::uint32_t gap = a.units > b.units ? a.units - b.units : b.units - a.units;
  float bound = std::max(static_cast<float>(gap) * kCheapestEdit,
                         static_cast<float>(CountDistance(a.letters, b.letters)) * kLetterWeight +
                             static_cast<float>(CountDistance(a.digits, b.digits)) * kDigitWeight);
  if (a.mayHaveBrackets && b.mayHaveBrackets) bound *= std::clamp(bracketWeight, 0.0f, 1.0f);
  return bound * kBoundMargin;
}

// FNV-1a over the numbers that stand outside brackets, each number without its
// leading zeros and closed by a separator, so "1-4" and "14" differ.
std::uint64_t HashNumbers(const std::wstring& text) {
  constexpr std::uint64_t kPrime = 1099511628211ull;
  std::uint64_t hash = 14695981039346656037ull;
  int depth = 0;
  bool inNumber = false;
  bool significant = false;
  auto mix = [&hash](std::uint64_t unit) { hash = (hash ^ unit) * kPrime; };
  for (const wchar_t c : text) {
    if (c == L'(' || c == L'[' || c == L'{' || c == L'<') ++depth;
    else if ((c == L')' || c == L']' || c == L'}' || c == L'>') && depth > 0) --depth;
    const bool digit = depth == 0 && c >= L'0' && c <= L'9';
    if (digit) {
      if (c != L'0' || significant) {
        mix(static_cast<std::uint64_t>(c));
        significant = true;
      }
      inNumber = true;
    } else if (inNumber) {
      mix(significant ? L'/' : L'0');  // a number of zeros only is 0
      inNumber = significant = false;
    }
  }
  if (inNumber) mix(significant ? L'/' : L'0');
  return hash;
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

CLocalTagsCache& CLocalTagsCache::Instance() {
  static CLocalTagsCache cache;
  return cache;
}

CLocalTagsCache::PreparedKey::PreparedKey(const nimbrel::StringComparer& comparer, const std::wstring& text)
    : prepared(comparer.Prepare(text.c_str())) {
  const std::wstring& normalised = prepared.Normalised();
  std::size_t units = normalised.size();
  for (const wchar_t c : normalised) {
    if (static_cast<std::uint32_t>(c) >= 0x10000) ++units;  // a surrogate pair
    Count(summary, c);
  }
  summary.units = static_cast<std::uint32_t>(std::min<std::size_t>(units, UINT32_MAX));
  summary.mayHaveBrackets = normalised.find_first_of(L"([{<") != std::wstring::npos;
  summary.numbers = HashNumbers(normalised);
}

template <typename Value>
std::size_t CLocalTagsCache::NearestKeyMap<Value>::ExactPosition(const std::wstring& normalised,
                                                                 std::size_t hash) const {
  const std::size_t mask = exactIndex_.size() - 1;
  for (std::size_t position = hash & mask;; position = (position + 1) & mask) {
    const ExactEntry& held = exactIndex_[position];
    if (!held.entry || (held.hash == hash && held.entry->second.prepared.Normalised() == normalised))
      return position;
  }
}

template <typename Value>
void CLocalTagsCache::NearestKeyMap<Value>::GrowExactIndex() {
  const std::size_t needed = 2 * (scanOrder_.size() + 1);
  if (needed <= exactIndex_.size()) return;
  std::size_t size = std::max<std::size_t>(8, exactIndex_.size());
  while (size < needed) size *= 2;
  std::vector<ExactEntry> grown(size);
  for (const ExactEntry& held : exactIndex_) {
    if (!held.entry) continue;
    std::size_t position = held.hash & (size - 1);
    while (grown[position].entry) position = (position + 1) & (size - 1);
    grown[position] = held;
  }
  exactIndex_.swap(grown);
}

template <typename Value>
Value& CLocalTagsCache::NearestKeyMap<Value>::GetOrAdd(const nimbrel::StringComparer& comparer,
                                                       const std::wstring& key) {
  const auto present = entries_.find(key);
  if (present != entries_.end()) return present->second.value;

  PreparedKey prepared(comparer, key);
  const std::size_t hash = std::hash<std::wstring>{}(prepared.prepared.Normalised());
  // Room first, so that nothing can fail once the map holds the key.
  if (scanOrder_.size() == scanOrder_.capacity()) scanOrder_.reserve(std::max<std::size_t>(4, 2 * scanOrder_.size()));
  GrowExactIndex();
  const auto added = entries_.emplace(key, Slot{std::move(prepared.prepared), Value{}}).first;
  scanOrder_.push_back(ScanEntry{prepared.summary, &*added});

  ExactEntry& exact = exactIndex_[ExactPosition(added->second.prepared.Normalised(), hash)];
  // Map order is key order: a smaller key becomes the first exact match.
  if (!exact.entry || key < exact.entry->first) exact = ExactEntry{hash, &*added};
  return added->second.value;
}

template <typename Value>
const Value* CLocalTagsCache::NearestKeyMap<Value>::FindNearest(const nimbrel::StringComparer& comparer,
                                                                const PreparedKey& query) const {
  // A difference of 0 means equal normalised texts, and a scan in key order
  // would end at the first such key; any earlier key differs by more.
  if (scanOrder_.empty()) return nullptr;
  const std::wstring& normalised = query.prepared.Normalised();
  const ExactEntry& exact = exactIndex_[ExactPosition(normalised, std::hash<std::wstring>{}(normalised))];
  if (exact.entry) return &exact.entry->second.value;

  // No key differs by 0, so a scan in key order would keep the first of the
  // keys with the smallest difference below the threshold: the same key is
  // found by taking, in any order, a smaller difference or an equal one of an
  // earlier key.
  float best = kNoMatch;
  const typename Map::value_type* nearest = nullptr;
  for (const ScanEntry& candidate : scanOrder_) {
    if (candidate.summary.numbers != query.summary.numbers) continue;
    // Below the threshold only a smaller difference counts; after that an
    // equal one may count too, so it must come out exact.
    const float limit = nearest ? std::nextafter(best, kNoMatch * 2) : best;
    if (ScanBound(comparer.bracketWeight(), query.summary, candidate.summary) >= limit) continue;
    const float difference = comparer.Difference(query.prepared, candidate.entry->second.prepared, limit);
    if (difference < best || (difference == best && nearest && candidate.entry->first < nearest->first)) {
      best = difference;
      nearest = candidate.entry;
    }
  }
  return nearest ? &nearest->second.value : nullptr;
}

template <typename Record>
void CLocalTagsCache::AddLocked(Section<Record>& section, const std::wstring& artist, const std::wstring& title,
                                const std::wstring& sourceName, const Record& record, bool found, bool byArtist) {
  // A nameless artist or source would mark sources as covered for every short
  // artist name near "", so it is not recorded.
  if (byArtist && !artist.empty() && !sourceName.empty()) {
    std::vector<std::wstring>& artistSources = section.artists.GetOrAdd(comparer_, artist).artistSources;
    if (std::find(artistSources.begin(), artistSources.end(), sourceName) == artistSources.end())
      artistSources.push_back(sourceName);
  }
  if (artist.empty() || title.empty() || sourceName.empty()) return;

  std::vector<SourceEntry<Record>>& sources =
      section.artists.GetOrAdd(comparer_, artist).titles.GetOrAdd(comparer_, title);
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
std::int32_t CLocalTagsCache::FindLocked(const Section<Record>& section, const PreparedKey& artist,
                                         const PreparedKey& title, std::vector<Record>& records,
                                         std::set<std::wstring>& coveredSources) const {
  const ArtistEntry<Record>* artistEntry = section.artists.FindNearest(comparer_, artist);
  if (!artistEntry) return -1;
  coveredSources.insert(artistEntry->artistSources.begin(), artistEntry->artistSources.end());

  const std::vector<SourceEntry<Record>>* sources = artistEntry->titles.FindNearest(comparer_, title);
  if (!sources) return -1;
  std::int32_t result = -1;
  for (const SourceEntry<Record>& entry : *sources) {
    result = std::max(result, std::int32_t{0});
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
                                     bool byArtist) {
  CSingleLock lock(&basic_.lock);
  AddLocked(basic_, artist, title, sourceName, record, found, byArtist);
  const std::wstring& albumKey = record.albumInfo.albumKey;
  if (!albumKey.empty()) {
    CSingleLock keysLock(&albumKeysLock_);
    albumKeys_.insert(albumKey);
  }
}

std::int32_t CLocalTagsCache::FindBasicResults(const std::wstring& artist, const std::wstring& title,
                                               std::vector<Nimbrel::SongInfo>& records,
                                               std::set<std::wstring>& coveredSources) const {
  const PreparedKey artistKey(comparer_, artist);
  const PreparedKey titleKey(comparer_, title);
  CSingleLock lock(&basic_.lock);
  return FindLocked(basic_, artistKey, titleKey, records, coveredSources);
}

void CLocalTagsCache::AddLyricsResult(const std::wstring& artist, const std::wstring& title,
                                      const std::wstring& sourceName, const Nimbrel::LyricsInfo& record, bool found,
                                      bool byArtist) {
  CSingleLock lock(&lyrics_.lock);
  AddLocked(lyrics_, artist, title, sourceName, record, found, byArtist);
}

std::int32_t CLocalTagsCache::FindLyricsResults(const std::wstring& artist, const std::wstring& title,
                                                std::vector<Nimbrel::LyricsInfo>& records,
                                                std::set<std::wstring>& coveredSources) const {
  const PreparedKey artistKey(comparer_, artist);
  const PreparedKey titleKey(comparer_, title);
  CSingleLock lock(&lyrics_.lock);
  return FindLocked(lyrics_, artistKey, titleKey, records, coveredSources);
}

bool CLocalTagsCache::IsAlbumKnown(const std::wstring& albumKey) const {
  CSingleLock lock(&albumKeysLock_);
  return albumKeys_.find(albumKey) != albumKeys_.end();
}

std::shared_ptr<const Nimbrel::AlbumResult> CLocalTagsCache::FindAlbumDetails(const std::wstring& albumKey) const {
  CSingleLock lock(&albumKeysLock_);
  const auto found = albumDetails_.find(albumKey);
  return found == albumDetails_.end() ? nullptr : found->second;
}

void CLocalTagsCache::KeepAlbumDetails(const Nimbrel::AlbumResult& details) {
  if (details.albumInfo.albumKey.empty()) return;
  auto kept = std::make_shared<const Nimbrel::AlbumResult>(details);  // copied outside the lock
  CSingleLock lock(&albumKeysLock_);
  albumDetails_.emplace(details.albumInfo.albumKey, std::move(kept));
}
