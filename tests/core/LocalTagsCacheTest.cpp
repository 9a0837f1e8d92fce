#include "core/LocalTagsCache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "engines/StringComparer.h"

namespace {

using Nimbrel::LyricsInfo;
using Nimbrel::SongInfo;
using Sources = std::set<std::wstring>;

SongInfo Record(const std::wstring& album, const std::wstring& albumKey = L"", const std::wstring& coverFile = L"") {
  SongInfo record(L"Artist", L"Title", album);
  record.albumInfo.albumKey = albumKey;
  record.coverInfo.coverFile = coverFile;
  return record;
}

LyricsInfo Lyrics(const std::wstring& text) {
  LyricsInfo record;
  record.lyrics = text;
  return record;
}

// One look-up in the basic or the lyrics section, with fresh outputs.
template <typename Item>
struct Found {
  std::int32_t result;
  std::vector<Item> records;
  Sources covered;
};
template <typename Item = SongInfo>
Found<Item> Find(const CLocalTagsCache& cache, const std::wstring& artist, const std::wstring& title) {
  Found<Item> found;
  if constexpr (std::is_same_v<Item, LyricsInfo>)
    found.result = cache.FindLyricsResults(artist, title, found.records, found.covered);
  else
    found.result = cache.FindBasicResults(artist, title, found.records, found.covered);
  return found;
}

TEST(LocalTagsCacheTest, NotFoundAnswersAndArtistWideSourcesAreCovered) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Song A", L"plugin", SongInfo(), false, false);
  cache.AddBasicResult(L"Artist", L"Song A", L"whole", SongInfo(), false, true);
  cache.AddBasicResult(L"Artist", L"Song B", L"src", Record(L"Album"), true, false);
  // Not-found reports after a found one change nothing.
  cache.AddBasicResult(L"Artist", L"Song B", L"src", Record(L"Album 2"), false, false);
  cache.AddBasicResult(L"Artist", L"Song B", L"miss", Record(L"Album 3"), false, false);

  const auto near = Find(cache, L"artist", L"song a ");
  EXPECT_EQ(0, near.result);
  EXPECT_TRUE(near.records.empty());
  EXPECT_EQ((Sources{L"plugin", L"whole"}), near.covered);
  // One letter replaced is another title, never searched: only the artist-wide source covers it.
  const auto unsearched = Find(cache, L"ARTIST", L"Song C");
  EXPECT_EQ(-1, unsearched.result);
  EXPECT_EQ(Sources{L"whole"}, unsearched.covered);
  const auto found = Find(cache, L"Artist", L"Song B");
  EXPECT_EQ(1, found.result);
  ASSERT_EQ(1u, found.records.size());
  EXPECT_EQ(L"Album", found.records[0].albumInfo.album);
  EXPECT_EQ((Sources{L"whole", L"src", L"miss"}), found.covered);
}

TEST(LocalTagsCacheTest, RecordsOfOneSourceAreStoredOncePerSection) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"first"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"second", L"/covers/a.jpg"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"", L"/covers/b.jpg"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Other album"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src2", Record(L"Album"), true, false);  // another source's own
  // Lyrics are the same when their texts are.
  for (const wchar_t* text : {L"la la", L"la la", L"other text"})
    cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(text), true, false);
  cache.AddLyricsResult(L"Artist", L"Other", L"wide", Lyrics(L""), false, true);

  const auto found = Find(cache, L"Artist", L"Title");
  ASSERT_EQ(3u, found.records.size());
  EXPECT_EQ(L"/covers/a.jpg", found.records[0].coverInfo.coverFile);
  EXPECT_EQ(L"first", found.records[0].albumInfo.albumKey);
  EXPECT_EQ(L"Other album", found.records[1].albumInfo.album);
  EXPECT_TRUE(found.records[2].coverInfo.coverFile.empty());
  EXPECT_EQ((Sources{L"src", L"src2"}), found.covered);
  const auto lyrics = Find<LyricsInfo>(cache, L" artist", L"TITLE");
  ASSERT_EQ(2u, lyrics.records.size());
  EXPECT_EQ(L"other text", lyrics.records[1].lyrics);
  EXPECT_EQ((Sources{L"lyr", L"wide"}), lyrics.covered);
}

TEST(LocalTagsCacheTest, EmptyNamesStoreNothingButAlbumKeyIsKept) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"", L"Title", L"src", Record(L"A", L"key-artist"), true, true);
  cache.AddBasicResult(L"Artist", L"", L"src", Record(L"A", L"key-title"), true, true);
  cache.AddBasicResult(L"Zzzzz", L"Title", L"", Record(L"A", L"key-source"), true, true);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"A", L""), true, false);

  // "U2" lies within 100 of "": a search by an empty artist must not cover it.
  EXPECT_TRUE(Find(cache, L"U2", L"Title").covered.empty());
  EXPECT_EQ(-1, Find(cache, L"Zzzzz", L"Title").result);
  const auto stored = Find(cache, L"Artist", L"Title");
  EXPECT_EQ(1u, stored.records.size());
  EXPECT_EQ(Sources{L"src"}, stored.covered);

  for (const wchar_t* key : {L"key-artist", L"key-title", L"key-source"}) EXPECT_TRUE(cache.IsAlbumKnown(key)) << key;
  EXPECT_FALSE(cache.IsAlbumKnown(L""));
  EXPECT_FALSE(cache.IsAlbumKnown(L"KEY-ARTIST"));
}

TEST(LocalTagsCacheTest, NearestKeyEdgeCases) {
  CLocalTagsCache cache;
  // Against "(abc)", a digit inserted inside the brackets costs 2, two blanks
  // there 0.5 each: the nearer key comes later in key order and in adding order.
  cache.AddBasicResult(L"Brackets", L"(a1bc)", L"src", Record(L"digit"), true, false);
  cache.AddBasicResult(L"Brackets", L"(ab  c)", L"src", Record(L"blanks"), true, false);
  EXPECT_EQ(L"blanks", Find(cache, L"Brackets", L"(abc)").records.at(0).albumInfo.album);
  // Numbers outside brackets name different songs, however near the texts;
  // leading zeros and a number inside brackets do not.
  cache.AddBasicResult(L"Numbers", L"Song 1-4", L"src", Record(L"four"), true, false);
  EXPECT_EQ(-1, Find(cache, L"Numbers", L"Song 1-5").result);
  EXPECT_EQ(-1, Find(cache, L"Numbers", L"Song 14").result);
  EXPECT_EQ(L"four", Find(cache, L"Numbers", L"Song 01-4").records.at(0).albumInfo.album);
  cache.AddBasicResult(L"Numbers", L"Live (2001)", L"src", Record(L"live"), true, false);
  EXPECT_EQ(L"live", Find(cache, L"Numbers", L"Live (2002)").records.at(0).albumInfo.album);
  // Letter counts beyond 255 (one letter more costs 70).
  cache.AddBasicResult(std::wstring(255, L'a'), std::wstring(300, L'x'), L"src", Record(L"A"), true, false);
  EXPECT_EQ(1, Find(cache, std::wstring(256, L'a'), std::wstring(301, L'x')).result);
}

// The numbers of a key outside brackets, without leading zeros.
std::vector<std::wstring> NumbersOutsideBrackets(const std::wstring& key) {
  std::vector<std::wstring> numbers;
  int depth = 0;
  bool inNumber = false;
  for (const wchar_t c : key) {
    if (std::wstring_view(L"([{<").find(c) != std::wstring_view::npos) ++depth;
    if (std::wstring_view(L")]}>").find(c) != std::wstring_view::npos && depth > 0) --depth;
    const bool digit = depth == 0 && c >= L'0' && c <= L'9';
    if (digit && !inNumber) numbers.emplace_back();
    if (digit && !(c == L'0' && numbers.back().empty())) numbers.back() += c;
    inNumber = digit;
  }
  return numbers;
}

// The plain nearest-key scan over a map in key order: query first, stored key
// second, strictly smaller wins, 0 ends the scan; a key whose numbers differ
// is only taken when its text is equal.
template <typename Map>
const typename Map::value_type* ReferenceNearest(const Map& keys, const std::wstring& query) {
  static const nimbrel::StringComparer comparer;
  float best = 100.0f;
  const typename Map::value_type* nearest = nullptr;
  for (const auto& entry : keys) {
    const float difference = comparer.Difference(query.c_str(), entry.first.c_str());
    if (difference > 0.0f && NumbersOutsideBrackets(query) != NumbersOutsideBrackets(entry.first)) continue;
    if (difference < best) {
      best = difference;
      nearest = &entry;
      if (difference == 0.0f) break;
    }
  }
  return nearest;
}

std::wstring RandomKey(std::mt19937& random) {
  static const wchar_t* const kPieces[] = {L"a",  L"A",   L"b",   L"B",   L"ab",     L"Ab",     L" ",
                                           L"  ", L"1",   L"2",   L"9",   L"!",      L"-",      L".",
                                           L"(",  L")",   L"[x]", L"\u00e9", L"\u00c9", L"\t", L"\U0001F600",
                                           L"(a b)", L"(ab)", L"[1 2]"};
  std::wstring key;
  const int count = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < count; ++i) key += kPieces[random() % std::size(kPieces)];
  return key;
}

TEST(LocalTagsCacheTest, NearestKeysEqualPlainScan) {
  std::mt19937 random(20240607);
  CLocalTagsCache cache;
  std::map<std::wstring, std::map<std::wstring, std::size_t>> stored;  // artist -> title -> record count
  for (int i = 0; i < 400; ++i) {
    const std::wstring artist = RandomKey(random);
    const std::wstring title = RandomKey(random);
    cache.AddBasicResult(artist, title, L"src", SongInfo(artist, title, std::to_wstring(i)), true, false);
    ++stored[artist][title];
  }
  for (int i = 0; i < 2000; ++i) {
    const std::wstring artist = RandomKey(random) + (i % 3 == 0 ? L"" : RandomKey(random));
    const std::wstring title = RandomKey(random);
    const auto found = Find(cache, artist, title);
    const auto* expectedArtist = ReferenceNearest(stored, artist);
    const auto* expectedTitle = expectedArtist ? ReferenceNearest(expectedArtist->second, title) : nullptr;
    SCOPED_TRACE(testing::Message() << "query #" << i);
    if (!expectedTitle) {
      EXPECT_EQ(-1, found.result);
      continue;
    }
    ASSERT_EQ(expectedTitle->second, found.records.size());
    for (const SongInfo& record : found.records)
      EXPECT_TRUE(record.albumInfo.artist == expectedArtist->first && record.trackInfo.title == expectedTitle->first);
  }
}

TEST(LocalTagsCacheTest, ConcurrentAddsAndFindsInAllSections) {
  constexpr int kThreads = 8, kRounds = 150;
  auto name = [](int t, int i) { return std::to_wstring(t) + L"-" + std::to_wstring(i); };
  CLocalTagsCache& cache = CLocalTagsCache::Instance();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &name, &cache] {
      const std::wstring artist = L"Artist " + std::to_wstring(t);
      for (int i = 0; i < kRounds; ++i) {
        const std::wstring title = L"Title " + std::to_wstring(i);
        cache.AddBasicResult(artist, title, L"src", Record(L"Album " + name(t, i), L"key " + name(t, i)), true,
                             i % 10 == 0);
        cache.AddBasicResult(L"Shared", L"Shared", L"src " + std::to_wstring(t), Record(name(t, i)), true, false);
        cache.AddLyricsResult(artist, title, L"lyr", Lyrics(name(t, i)), true, false);
        // Read every section while the other threads write.
        const std::wstring other = L"artist " + std::to_wstring((t + i) % kThreads);
        Find(cache, other, L"title " + std::to_wstring(i / 2));
        Find<LyricsInfo>(cache, other, title);
        cache.IsAlbumKnown(L"key " + name((t + 1) % kThreads, i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) {
      const std::wstring artist = L"Artist " + std::to_wstring(t), title = L"Title " + std::to_wstring(i);
      const auto found = Find(cache, artist, title);
      ASSERT_EQ(1u, found.records.size());
      EXPECT_EQ(L"Album " + name(t, i), found.records[0].albumInfo.album);
      const auto lyrics = Find<LyricsInfo>(cache, artist, title);
      ASSERT_EQ(1u, lyrics.records.size());
      EXPECT_EQ(name(t, i), lyrics.records[0].lyrics);
      EXPECT_TRUE(cache.IsAlbumKnown(L"key " + name(t, i)));
    }
  }
  const auto shared = Find(cache, L"Shared", L"Shared");
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kRounds), shared.records.size());
  EXPECT_EQ(static_cast<std::size_t>(kThreads), shared.covered.size());
}

}  // namespace