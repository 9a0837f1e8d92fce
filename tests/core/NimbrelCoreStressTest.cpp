// The tagging object under load and at random moments: 1,000 songs over
// three basic-tags plug-ins and a lyrics plug-in with random latencies and
// random failures, stops, removals and deletions while they search, songs
// added while another thread stops, two and three objects at once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/NimbrelCore.h"
#include "core/TaggingWorld.h"
#include "platform/Thread.h"
#include "servercache/NimbrelServerCache.h"

namespace {

using testing_support::TaggingWorld;

constexpr std::uint32_t kLimitMs = 120000;  // only bounds a hung test

// The songs one object accepted and removed, from any thread.
struct Ledger {
  void Accepted(unsigned id) {
    std::lock_guard<std::mutex> hold(lock);
    if (id) accepted.push_back(id);
  }
  void Removed(unsigned id) {
    std::lock_guard<std::mutex> hold(lock);
    removed.insert(id);
  }
  std::vector<unsigned> Kept() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<unsigned> kept;
    for (unsigned id : accepted) {
      if (!removed.count(id)) kept.push_back(id);
    }
    return kept;
  }
  std::mutex lock;
  std::vector<unsigned> accepted;
  std::set<unsigned> removed;
};

class NimbrelCoreStressTest : public ::testing::Test {
 protected:
  // The tag-cache client's own workers (feedback from the searches) are not
  // the objects': they are ended and joined before threads are counted. A
  // worker that has let go of its job may still be on its way out: joining
  // waits for that.
  static void EndFillWorkers() {
    CNimbrelServerCache& fills = CNimbrelServerCache::Instance();
    fills.Stop();
    ASSERT_TRUE(fills.WaitUntilNoWorkers(kLimitMs));
    while (fills.ReapHandles() != 0) std::this_thread::yield();
  }

  NimbrelCoreStressTest() {
    // Songs "Song i-j" of ten albums of ten songs for each of four artists;
    // every search call takes 0 to 3 ms and one in ten throws.
    std::string basic = "search 0\nlatency 0 4\nfailrate 10\n";
    std::string lyrics = "search 0\nlatency 0 4\nfailrate 10\n";
    for (const std::string& artist : artists) {
      basic += "generate " + artist + "\t10\t10\n";
      for (int i = 1; i <= 10; ++i) {
        lyrics += "lyric " + artist + "\tSong " + std::to_string(i) + "-1\tl" + std::to_string(i) + "\tla " +
                  std::to_string(i) + "\n";
      }
    }
    for (const wchar_t* name : {L"Catalogue", L"CatalogueB", L"CatalogueC"}) EXPECT_TRUE(world.Load(name, basic));
    EXPECT_TRUE(world.Load(L"LyricsCatalogue", lyrics));
  }

  Meridex::CTags RandomSong(std::mt19937& random) {
    const std::string& artist = artists[random() % artists.size()];
    const std::string title = "Song " + std::to_string(1 + random() % 10) + "-" + std::to_string(1 + random() % 10);
    return TaggingWorld::Song(std::wstring(artist.begin(), artist.end()), std::wstring(title.begin(), title.end()));
  }

  // Every accepted song was finished exactly once, every kept one is listed
  // as finished, no engine is left registered.
  void ExpectRunOver(CNimbrelCore& core, Ledger& ledger) {
    ASSERT_TRUE(core.JobCounters().WaitUntilIdle(kLimitMs));
    EXPECT_EQ(static_cast<int>(ledger.accepted.size()), core.SongsFinished());
    const std::vector<unsigned> kept = ledger.Kept();
    std::vector<unsigned> finished;
    EXPECT_EQ(kept.size(), core.GetFinishedSongs(kept, finished));
    EXPECT_TRUE(core.BasicEngines().Empty());
    EXPECT_TRUE(core.LyricsEngines().Empty());
    EXPECT_EQ(0u, core.GetPendingJobCount());
  }

  const std::vector<std::string> artists{TaggingWorld::UniqueName(), TaggingWorld::UniqueName(),
                                         TaggingWorld::UniqueName(), TaggingWorld::UniqueName()};
  TaggingWorld world{{{L"Catalogue"},
                      {L"CatalogueB", L"CatalogueB"},
                      {L"CatalogueC", L"CatalogueC"},
                      {L"LyricsCatalogue", L"LyricsCatalogue", true}},
                     false};
};

TEST_F(NimbrelCoreStressTest, ThousandSongsWithStopsRemovalsAndDeletionsAtRandomMoments) {
  EndFillWorkers();
  const int threadsBefore = platform::Thread::LiveCount();
  std::vector<std::unique_ptr<CNimbrelCore>> cores;
  std::vector<Ledger> ledgers(2);
  for (int i = 0; i < 2; ++i) {
    cores.push_back(std::make_unique<CNimbrelCore>());
    NimbrelOptions options;
    options.OverwritePolicy = 1 + i;
    options.SuccessCriterion = i;  // 0: the first answer will do; 1: never met (no genre), every source asked
    cores.back()->SetOptions(options);
  }

  // Two hosts add 400 songs each to their own object; a third stops,
  // removes and stops again at random moments; the first object's songs
  // race its stops.
  std::atomic<bool> adding{true};
  std::vector<std::thread> hosts;
  for (int c = 0; c < 2; ++c) {
    hosts.emplace_back([&, c] {
      std::mt19937 random(100 + c);
      for (int i = 0; i < 400; ++i) {
        Meridex::CTags song = RandomSong(random);
        ledgers[c].Accepted(cores[c]->AddSong(song, random() % 5 == 0));
      }
    });
  }
  std::thread chaos([&] {
    std::mt19937 random(7);
    while (adding.load()) {
      const unsigned roll = random() % 100;
      switch (roll < 2 ? 0 : roll < 12 ? 1 : 2) {
        case 0:
          cores[0]->StopTagging();
          break;
        case 1: {
          std::lock_guard<std::mutex> hold(ledgers[1].lock);
          if (ledgers[1].accepted.empty()) break;
          const unsigned id = ledgers[1].accepted[random() % ledgers[1].accepted.size()];
          cores[1]->RemoveSong(id);
          ledgers[1].removed.insert(id);
          break;
        }
        default: {
          std::vector<unsigned> finished;
          cores[random() % 2]->GetFinishedSongs(ledgers[0].Kept(), finished);
          std::this_thread::yield();
        }
      }
    }
  });
  for (auto& host : hosts) host.join();
  adding = false;
  chaos.join();

  // A third object, deleted while its songs search.
  {
    auto third = std::make_unique<CNimbrelCore>();
    std::mt19937 random(3);
    const int before = static_cast<int>(random() % 200);
    for (int i = 0; i < 200; ++i) {
      Meridex::CTags song = RandomSong(random);
      third->AddSong(song, false);
      if (i == before) break;
    }
    third.reset();  // stops, waits for its workers
  }

  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE(c);
    ExpectRunOver(*cores[c], ledgers[c]);
      EXPECT_GT(ledgers[c].accepted.size(), c == 0 ? 0u : 399u);  // only the first object is stopped
    // One more run: its finishing step runs exactly once.
    const int steps = cores[c]->FinishingSteps();
    std::mt19937 random(11);
    Meridex::CTags song = RandomSong(random);
    ledgers[c].Accepted(cores[c]->AddSong(song, false));
    ExpectRunOver(*cores[c], ledgers[c]);
    EXPECT_EQ(steps + 1, cores[c]->FinishingSteps());
  }
  cores.clear();
  EndFillWorkers();
  EXPECT_EQ(threadsBefore, platform::Thread::LiveCount());  // no worker outlives its object
}

}  // namespace
