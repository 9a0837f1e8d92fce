#include "core/LocalTagsCache.h"

#include <gtest/gtest.h>

#include <thread>
#include <type_traits>
#include <vector>

namespace {

using Nimbrel::LyricsInfo;
using Nimbrel::SongInfo;
using Sources = std::set<std::wstring>;

SongInfo Record(const std::wstring& album, const std::wstring& coverFile = L"") {
  SongInfo record(L"Artist", L"Title", album);
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

// An answer, found or not, is reused only for the same artist and title
// after case, blanks and punctuation; near titles are other songs.
TEST(LocalTagsCacheTest, AnswersAreReusedOnlyForTheSameKey) {
  struct Case {
    const wchar_t *artist, *title, *askedArtist, *askedTitle;
    bool same;
  };
  const Case cases[] = {
      {L"Artist", L"Song A", L"  artist ", L"song   a ", true},
      {L"Artist", L"Don't Stop", L"ARTIST", L"Dont Stop", true},
      {L"AC/DC", L"Back-In Black!", L"ac dc", L"back in black", true},
      {L"Artist", L"\u00c9t\u00e9", L"artist", L"\u00e9t\u00e9", true},  // case of accented letters
      {L"Artist", L"Angel", L"Artist", L"Angels", false},
      {L"Artist", L"Part I", L"Artist", L"Part II", false},
      {L"Artist", L"Intro (Part 1)", L"Artist", L"Intro (Part 2)", false},
      {L"Artist", L"Song 1-4", L"Artist", L"Song 14", false},
      {L"Artist", L"Caf\u00e9", L"Artist", L"Cafe", false},  // accents kept
      {L"Artist", L"ACDC", L"Artist", L"AC DC", false},
      {L"!!!", L"Title", L"???", L"Title", false},  // punctuation only keeps its text
      {L"Artist", L"Title", L"Artists", L"Title", false},
  };
  for (const bool found : {true, false}) {
    for (const Case& c : cases) {
      CLocalTagsCache cache;
      cache.AddBasicResult(c.artist, c.title, L"src", Record(L"Album"), found);
      cache.AddLyricsResult(c.artist, c.title, L"lyr", Lyrics(L"text"), found);
      SCOPED_TRACE(testing::Message() << std::string(c.title, c.title + wcslen(c.title)) << " found " << found);
      const auto basic = Find(cache, c.askedArtist, c.askedTitle);
      const auto lyrics = Find<LyricsInfo>(cache, c.askedArtist, c.askedTitle);
      EXPECT_EQ(basic.result, c.same ? (found ? 1 : 0) : -1);
      EXPECT_EQ(basic.records.size(), c.same && found ? 1u : 0u);
      EXPECT_EQ(basic.covered, c.same ? Sources{L"src"} : Sources{});
      EXPECT_EQ(lyrics.result, basic.result);
      EXPECT_EQ(lyrics.covered, c.same ? Sources{L"lyr"} : Sources{});
    }
  }
}

TEST(LocalTagsCacheTest, NotFoundAnswersCoverOnlyTheirTitle) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Song A", L"plugin", SongInfo(), false);
  cache.AddBasicResult(L"Artist", L"Song B", L"src", Record(L"Album"), true);
  // Not-found reports after a found one change nothing.
  cache.AddBasicResult(L"Artist", L"Song B", L"src", Record(L"Album 2"), false);
  cache.AddBasicResult(L"Artist", L"Song B", L"miss", Record(L"Album 3"), false);

  const auto near = Find(cache, L"artist", L"song a ");
  EXPECT_EQ(0, near.result);
  EXPECT_TRUE(near.records.empty());
  EXPECT_EQ(Sources{L"plugin"}, near.covered);
  const auto unsearched = Find(cache, L"ARTIST", L"Song C");
  EXPECT_EQ(-1, unsearched.result);
  EXPECT_TRUE(unsearched.covered.empty());
  const auto found = Find(cache, L"Artist", L"Song B");
  EXPECT_EQ(1, found.result);
  ASSERT_EQ(1u, found.records.size());
  EXPECT_EQ(L"Album", found.records[0].albumInfo.album);
  EXPECT_EQ((Sources{L"src", L"miss"}), found.covered);
}

TEST(LocalTagsCacheTest, RecordsOfOneSourceAreStoredOncePerSection) {
  CLocalTagsCache cache;
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album"), true);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"/covers/a.jpg"), true);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Album", L"/covers/b.jpg"), true);
  cache.AddBasicResult(L"Artist", L"Title", L"src", Record(L"Other album"), true);
  cache.AddBasicResult(L"Artist", L"Title", L"src2", Record(L"Album"), true);  // another source's own
  for (const wchar_t* text : {L"la la", L"la la", L"other text"})
    cache.AddLyricsResult(L"Artist", L"Title", L"lyr", Lyrics(text), true);

  const auto found = Find(cache, L"Artist", L"Title");
  ASSERT_EQ(3u, found.records.size());
  EXPECT_EQ(L"/covers/a.jpg", found.records[0].coverInfo.coverFile);
  EXPECT_EQ(L"Other album", found.records[1].albumInfo.album);
  EXPECT_TRUE(found.records[2].coverInfo.coverFile.empty());
  EXPECT_EQ((Sources{L"src", L"src2"}), found.covered);
  const auto lyrics = Find<LyricsInfo>(cache, L" artist", L"TITLE");
  ASSERT_EQ(2u, lyrics.records.size());
  EXPECT_EQ(L"other text", lyrics.records[1].lyrics);

  // Nothing is stored without artist, title or source.
  cache.AddBasicResult(L"", L"Empty", L"src", Record(L"A"), true);
  cache.AddBasicResult(L"Artist", L"", L"src", Record(L"A"), true);
  cache.AddBasicResult(L"Artist", L"Empty", L"", Record(L"A"), true);
  EXPECT_EQ(-1, Find(cache, L"", L"Empty").result);
  EXPECT_EQ(-1, Find(cache, L"Artist", L"").result);
  EXPECT_EQ(-1, Find(cache, L"Artist", L"Empty").result);
}

// A full section drops its oldest titles first; answers to a title it holds
// take no room.
TEST(LocalTagsCacheTest, TheOldestTitlesLeaveAFullSection) {
  CLocalTagsCache cache(3);
  for (const wchar_t* title : {L"One", L"Two", L"Three"}) {
    cache.AddBasicResult(L"Artist", title, L"src", Record(title), true);
    cache.AddLyricsResult(L"Artist", title, L"lyr", Lyrics(title), true);
  }
  cache.AddBasicResult(L"artist", L"one", L"src2", Record(L"more"), true);
  cache.AddBasicResult(L"Artist", L"Four", L"src", Record(L"Four"), true);
  EXPECT_EQ(-1, Find(cache, L"Artist", L"One").result);
  for (const wchar_t* title : {L"Two", L"Three", L"Four"}) EXPECT_EQ(1, Find(cache, L"Artist", title).result);
  // The lyrics section is full on its own.
  for (const wchar_t* title : {L"One", L"Two", L"Three"}) EXPECT_EQ(1, Find<LyricsInfo>(cache, L"Artist", title).result);
  cache.AddLyricsResult(L"Artist", L"Four", L"lyr", Lyrics(L"4"), false);
  EXPECT_EQ(-1, Find<LyricsInfo>(cache, L"Artist", L"One").result);
  EXPECT_EQ(0, Find<LyricsInfo>(cache, L"Artist", L"Four").result);
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
        cache.AddBasicResult(artist, title, L"src", Record(L"Album " + name(t, i)), true);
        cache.AddBasicResult(L"Shared", L"Shared", L"src " + std::to_wstring(t), Record(name(t, i)), true);
        cache.AddLyricsResult(artist, title, L"lyr", Lyrics(name(t, i)), true);
        // Read both sections while the other threads write.
        const std::wstring other = L"artist " + std::to_wstring((t + i) % kThreads);
        Find(cache, other, L"title " + std::to_wstring(i / 2));
        Find<LyricsInfo>(cache, other, title);
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
    }
  }
  const auto shared = Find(cache, L"Shared", L"Shared");
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kRounds), shared.records.size());
  EXPECT_EQ(static_cast<std::size_t>(kThreads), shared.covered.size());
}

}  // namespace
