#include "core/LocalTagsCache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

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

// One basic look-up with fresh outputs.
struct Found {
  std::int32_t result;
  std::vector<SongInfo> records;
  Sources covered;
};
Found Find(const CLocalTagsCache& cache, const std::wstring& artist, const std::wstring& title) {
  Found found;
  found.result = cache.FindBasicResults(artist, title, found.records, found.covered);
  return found;
}

TEST(LocalTagsCacheTest, NotFoundAnswerCoversSourceForNearQuery) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Song A", L"plugin", SongInfo(), false, false);

  const Found near = Find(cache, L"artist", L"song a ");
  EXPECT_EQ(0, near.result);
  EXPECT_TRUE(near.records.empty());
  EXPECT_EQ(Sources{L"plugin"}, near.covered);
  // One letter replaced is another title.
  EXPECT_EQ(-1, Find(cache, L"Artist", L"Song B").result);
}

TEST(LocalTagsCacheTest, ArtistWideSourceCoveredForUnsearchedTitle) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Song A", L"whole", SongInfo(), false, true);
  cache.AddBasicResult(L"Artist", L"Song A", L"other", Record(L"X"), true, false);

  const Found unsearched = Find(cache, L"ARTIST", L"Never Searched");
  EXPECT_EQ(-1, unsearched.result);
  EXPECT_EQ(Sources{L"whole"}, unsearched.covered);
  const Found searched = Find(cache, L"Artist", L"Song A");
  EXPECT_EQ(1, searched.result);
  EXPECT_EQ((Sources{L"whole", L"other"}), searched.covered);
}

TEST(LocalTagsCacheTest, SameAlbumStoredOnceAndOnlyMissingCoverFileTaken) {
  CLocalTagsCache cache;
  SongInfo first = Record(L"Album");
  first.coverInfo.coverUrl = L"http://first";
  cache.AddBasicResult(L"Artist", L"Title", L"src", first, true, false);
  SongInfo second = Record(L"Album", L"", L"/covers/a.jpg");
  second.coverInfo.coverUrl = L"http://second";
  cache.AddBasicResult(L"Artist", L"Title", L"src", second, true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"", L"/covers/b.jpg"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Other album"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src2", Record(L"Album"), true, false);  // another source's own

  const Found found = Find(cache, L"Artist", L"Title");
  ASSERT_EQ(3u, found.records.size());
  EXPECT_EQ(L"/covers/a.jpg", found.records[0].coverInfo.coverFile);
  EXPECT_EQ(L"http://first", found.records[0].coverInfo.coverUrl);
  EXPECT_EQ(L"Other album", found.records[1].albumInfo.album);
  EXPECT_TRUE(found.records[2].coverInfo.coverFile.empty());
}

TEST(LocalTagsCacheTest, NotFoundAfterFoundChangesNothing) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album"), true, false);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album 2"), false, false);
  cache.AddBasicResult(L"Artist", L"Title", L"miss", Record(L"Album 3"), false, false);

  const Found found = Find(cache, L"Artist", L"Title");
  EXPECT_EQ(1, found.result);
  ASSERT_EQ(1u, found.records.size());
  EXPECT_EQ(L"Album", found.records[0].albumInfo.album);
  EXPECT_EQ((Sources{L"src", L"miss"}), found.covered);
}

TEST(LocalTagsCacheTest, EmptyNamesStoreNothingButAlbumKeyIsKept) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"", L"Title", L"src", Record(L"A", L"key-artist"), true, true);
  cache.AddBasicResult(L"Artist", L"", L"src", Record(L"A", L"key-title"), true, true);
  cache.AddBasicResult(L"Zzzzz", L"Title", L"", Record(L"A", L"key-source"), true, true);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"A", L""), true, false);

  // "U2" lies within 100 of "": a search by an empty artist must not cover it.
  const Found u2 = Find(cache, L"U2", L"Title");
  EXPECT_EQ(-1, u2.result);
  EXPECT_TRUE(u2.covered.empty());
  EXPECT_EQ(-1, Find(cache, L"Zzzzz", L"Title").result);
  const Found stored = Find(cache, L"Artist", L"Title");
  EXPECT_EQ(1u, stored.records.size());
  EXPECT_EQ(Sources{L"src"}, stored.covered);

  EXPECT_TRUE(cache.IsAlbumKnown(L"key-artist"));
  EXPECT_TRUE(cache.IsAlbumKnown(L"key-title"));
  EXPECT_TRUE(cache.IsAlbumKnown(L"key-source"));
  EXPECT_FALSE(cache.IsAlbumKnown(L""));
  EXPECT_FALSE(cache.IsAlbumKnown(L"KEY-ARTIST"));
}

TEST(LocalTagsCacheTest, LyricsSectionIsSeparateAndDeduplicatesByText) {
  CLocalTagsCache cache;
  cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(L"la la"), true, false);
  cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(L"la la"), true, false);
  cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(L"other text"), true, false);
  cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(L"ignored"), false, false);
  cache.AddLyricsResult(L"Artist", L"Other", L"wide", Lyrics(L""), false, true);

  std::vector<LyricsInfo> lyrics;
  Sources covered;
  EXPECT_EQ(1, cache.FindLyricsResults(L" artist", L"TITLE", lyrics, covered));
  ASSERT_EQ(2u, lyrics.size());
  EXPECT_EQ(L"la la", lyrics[0].lyrics);
  EXPECT_EQ(L"other text", lyrics[1].lyrics);
  EXPECT_EQ((Sources{L"lyr", L"wide"}), covered);
  EXPECT_EQ(-1, Find(cache, L"Artist", L"Title").result);
}

TEST(LocalTagsCacheTest, VeryLongKeys) {
  CLocalTagsCache cache;
  std::wstring longArtist;
  for (int i = 0; i < 2000; ++i) longArtist += static_cast<wchar_t>(L'a' + (i * 7) % 26);
  const std::wstring hugeTitle(200000, L'x');
  cache.AddBasicResult(longArtist, hugeTitle, L"src", Record(L"A"), true, false);
  cache.AddBasicResult(L"Short", L"T", L"src", Record(L"B"), true, false);

  std::wstring nearArtist = longArtist;
  nearArtist.insert(1000, L"  ");
  EXPECT_EQ(1, Find(cache, L" " + longArtist + L" ", L" " + hugeTitle).result);
  EXPECT_EQ(1, Find(cache, nearArtist, hugeTitle).result);
  EXPECT_EQ(-1, Find(cache, longArtist, L"x").result);
  EXPECT_EQ(-1, Find(cache, hugeTitle, L"T").result);
  EXPECT_EQ(1, Find(cache, L"short", L"t").result);
}

TEST(LocalTagsCacheTest, NearerKeyLaterInKeyOrderWins) {
  CLocalTagsCache cache;
  // Against "(abc)": a digit inserted inside the brackets costs 2, two blanks
  // there 0.5 each. Against "Song 1": an added "!" costs 30, another digit 20.
  cache.AddBasicResult(L"Brackets", L"(a1bc)", L"src", Record(L"digit"), true, false);
  cache.AddBasicResult(L"Brackets", L"(ab  c)", L"src", Record(L"blanks"), true, false);
  cache.AddBasicResult(L"Digits", L"Song 1!", L"src", Record(L"mark"), true, false);
  cache.AddBasicResult(L"Digits", L"Song 2", L"src", Record(L"digit"), true, false);

  const Found brackets = Find(cache, L"Brackets", L"(abc)");
  ASSERT_EQ(1u, brackets.records.size());
  EXPECT_EQ(L"blanks", brackets.records[0].albumInfo.album);
  const Found digits = Find(cache, L"Digits", L"Song 1");
  ASSERT_EQ(1u, digits.records.size());
  EXPECT_EQ(L"digit", digits.records[0].albumInfo.album);
}

// The plain nearest-key scan: query first, stored key second, strictly
// smaller wins, 0 ends the scan.
const std::wstring* ReferenceNearest(const nimbrel::StringComparer& comparer, const std::wstring& query,
                                     const std::vector<const std::wstring*>& keysInOrder) {
  float best = 100.0f;
  const std::wstring* nearest = nullptr;
  for (const std::wstring* key : keysInOrder) {
    const float difference = comparer.Difference(query.c_str(), key->c_str());
    if (difference < best) {
      best = difference;
      nearest = key;
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
  const nimbrel::StringComparer comparer;
  CLocalTagsCache cache;
  std::map<std::wstring, std::map<std::wstring, std::size_t>> stored;  // artist -> title -> record count
  for (int i = 0; i < 400; ++i) {
    const std::wstring artist = RandomKey(random);
    const std::wstring title = RandomKey(random);
    cache.AddBasicResult(artist, title, L"src", SongInfo(artist, title, std::to_wstring(i)), true, false);
    ++stored[artist][title];
  }
  std::vector<const std::wstring*> artists;
  for (const auto& entry : stored) artists.push_back(&entry.first);

  for (int i = 0; i < 2000; ++i) {
    const std::wstring artist = RandomKey(random) + (i % 3 == 0 ? L"" : RandomKey(random));
    const std::wstring title = RandomKey(random);
    const Found found = Find(cache, artist, title);

    const std::wstring* expectedArtist = ReferenceNearest(comparer, artist, artists);
    const std::wstring* expectedTitle = nullptr;
    if (expectedArtist) {
      std::vector<const std::wstring*> titles;
      for (const auto& entry : stored[*expectedArtist]) titles.push_back(&entry.first);
      expectedTitle = ReferenceNearest(comparer, title, titles);
    }
    SCOPED_TRACE(testing::Message() << "query #" << i);
    if (!expectedTitle) {
      EXPECT_EQ(-1, found.result);
      continue;
    }
    ASSERT_EQ(stored[*expectedArtist][*expectedTitle], found.records.size());
    for (const SongInfo& record : found.records)
      EXPECT_TRUE(record.albumInfo.artist == *expectedArtist && record.trackInfo.title == *expectedTitle);
  }
}

TEST(LocalTagsCacheTest, ConcurrentAddsAndFindsInAllSections) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 150;
  auto name = [](int t, int i) { return std::to_wstring(t) + L"-" + std::to_wstring(i); };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &name] {
      CLocalTagsCache& cache = CLocalTagsCache::Instance();
      const std::wstring artist = L"Artist " + std::to_wstring(t);
      for (int i = 0; i < kRounds; ++i) {
        const std::wstring title = L"Title " + std::to_wstring(i);
        cache.AddBasicResult(artist, title, L"src", Record(L"Album " + name(t, i), L"key " + name(t, i)), true,
                             i % 10 == 0);
        cache.AddBasicResult(L"Shared", L"Shared", L"src " + std::to_wstring(t), Record(name(t, i)), true, false);
        cache.AddLyricsResult(artist, title, L"lyr", Lyrics(name(t, i)), true, false);
        const std::wstring other = L"artist " + std::to_wstring((t + i) % kThreads);
        std::vector<LyricsInfo> lyrics;
        Sources covered;
        Find(cache, other, L"title " + std::to_wstring(i / 2));
        cache.FindLyricsResults(other, title, lyrics, covered);
        cache.IsAlbumKnown(L"key " + name((t + 1) % kThreads, i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const CLocalTagsCache& cache = CLocalTagsCache::Instance();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) {
      const std::wstring artist = L"Artist " + std::to_wstring(t), title = L"Title " + std::to_wstring(i);
      const Found found = Find(cache, artist, title);
      ASSERT_EQ(1u, found.records.size());
      EXPECT_EQ(L"Album " + name(t, i), found.records[0].albumInfo.album);
      std::vector<LyricsInfo> lyrics;
      Sources covered;
      ASSERT_EQ(1, cache.FindLyricsResults(artist, title, lyrics, covered));
      ASSERT_EQ(1u, lyrics.size());
      EXPECT_EQ(name(t, i), lyrics[0].lyrics);
      EXPECT_TRUE(cache.IsAlbumKnown(L"key " + name(t, i)));
    }
  }
  const Found shared = Find(cache, L"Shared", L"Shared");
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kRounds), shared.records.size());
  EXPECT_EQ(static_cast<std::size_t>(kThreads), shared.covered.size());
}

}  // namespace
