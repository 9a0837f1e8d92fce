// The polite client against a loopback service: shared answers, the answer
// cache looked at again after the wait, a service that cannot be reached, a
// stop during a transfer, and the answer cache's pruning.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../../../plugins/common/SearchStop.h"
#include "../../../plugins/common/ServiceClient.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::HttpResponse;
using testing_support::RecordedRequest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// Time that passes only when the client waits; `onSleep` runs once at the next wait.
struct StepClock {
  std::atomic<std::int64_t> now{1'700'000'000'000};
  std::atomic<int> sleeps{0};
  std::function<void()> onSleep;
  PluginClock clock{this, &Now, &SleepUntil};

  static std::int64_t Now(void* self) { return static_cast<StepClock*>(self)->now.load(); }
  static void SleepUntil(void* context, std::int64_t when) {
    auto* self = static_cast<StepClock*>(context);
    ++self->sleeps;
    std::function<void()> hook;
    hook.swap(self->onSleep);
    if (hook) hook();
    if (self->now < when) self->now = when;
  }
};

// Stands in for a search engine: stopped when told.
struct FakeEngine {
  std::atomic<bool> stopped{false};
  bool IsStopped() { return stopped.load(); }
};

class ServiceClientTest : public ::testing::Test {
 protected:
  ServiceClientTest() {
    cache_.Open(":memory:");
    client_.Limiter().SetClock(&clock_.clock);
    request_.userAgent = "nimbrel/1.0.0 ( tagger@example.org )";
    request_.lifetimeMs = 3600 * 1000;
  }

  testing_support::HttpTestServer server_;
  StepClock clock_;
  ResponseCache cache_;
  plugin_stats::DownloadStatistics statistics_;
  ServiceClient client_{"example", cache_, statistics_};
  ServiceRequest request_;
};

TEST_F(ServiceClientTest, EightWorkersAskingTheSameCostOneRequest) {
  server_.ServeText("/artist", R"({"artists":[{"id":"a"}]})", "application/json");
  std::vector<std::thread> workers;
  std::atomic<int> answered{0};
  for (int i = 0; i < 8; ++i) {
    workers.emplace_back([&] {
      if (client_.GetJson(server_.Url("/artist?query=Band"), request_)) ++answered;
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(answered.load(), 8);
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(ServiceClientTest, AnAnswerStoredDuringTheWaitIsTakenFromTheCache) {
  testing_support::ScratchFolder folder;
  const std::wstring wide = folder / L"responses.sqlite";
  const std::string file(wide.begin(), wide.end());
  ResponseCache mine, theirs;
  ASSERT_TRUE(mine.Open(file));
  ASSERT_TRUE(theirs.Open(file));
  plugin_stats::DownloadStatistics otherStatistics;
  ServiceClient self("example", mine, statistics_), other("example", theirs, otherStatistics);
  self.Limiter().SetClock(&clock_.clock);
  other.Limiter().SetClock(&clock_.clock);
  server_.ServeText("/release", R"({"id":"r"})");
  const std::string url = server_.Url("/release?id=r");
  self.Limiter().BackOff(5000);
  // While this process waits, another one asks the same and stores the answer.
  clock_.onSleep = [&] { EXPECT_TRUE(other.GetJson(url, request_)); };
  const auto answer = self.GetJson(url, request_);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Find("id")->Text(), "r");
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(ServiceClientTest, AnUnreachableHostIsSaidOnceAndSkippedAndAnotherAskedAfresh) {
  std::string closed;
  {
    testing_support::HttpTestServer gone;
    closed = gone.Url("");
  }
  EXPECT_FALSE(client_.GetJson(closed + "/recording?query=a", request_));
  const int waited = clock_.sleeps.load();
  for (const char* path : {"/recording?query=b", "/release/x"}) EXPECT_FALSE(client_.GetJson(closed + path, request_));
  EXPECT_EQ(clock_.sleeps.load(), waited) << "no slot is spent on a service known to be unreachable";
  const std::string notices = client_.Notices();
  EXPECT_EQ(notices.find("example: cannot reach " + closed.substr(7) + " ("), 0u) << notices;
  EXPECT_NE(notices.find("); skipped for this run\n"), std::string::npos) << notices;
  EXPECT_EQ(std::count(notices.begin(), notices.end(), '\n'), 1) << notices;
  // Another address set for the service is asked afresh.
  server_.ServeText("/recording", R"({"id":"r"})");
  EXPECT_TRUE(client_.GetJson(server_.Url("/recording?query=a"), request_));
  EXPECT_EQ(server_.RequestCount(), 1u);
}

TEST_F(ServiceClientTest, AMissingContactIsPointedOutOnceAtTheFirstRequest) {
  server_.ServeText("/a", "{}");
  request_.contactHint = "no contact address configured";
  EXPECT_EQ(client_.Notices(), "");
  for (const char* query : {"?q=1", "?q=2", "?q=1"}) EXPECT_TRUE(client_.GetJson(server_.Url("/a") + query, request_));
  EXPECT_EQ(client_.Notices(), "example: no contact address configured\n");
  EXPECT_EQ(server_.RequestCount(), 2u);
}

TEST_F(ServiceClientTest, AStopEndsATransferThatHangs) {
  server_.Stall("/slow");
  request_.stallTimeoutSeconds = 60;
  FakeEngine engine;
  std::optional<plugin_json::Value> answer{plugin_json::Value()};
  const auto start = std::chrono::steady_clock::now();
  std::thread search([&] {
    plugin_stop::Attach(&engine);
    answer = client_.GetJson(server_.Url("/slow"), request_);
    plugin_stop::Detach();
  });
  ASSERT_TRUE(server_.WaitForRequests(1, 30000));
  engine.stopped = true;
  search.join();
  EXPECT_FALSE(answer);
  // Long before the stall time-out would have ended it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  // The thread's engine is forgotten once detached.
  plugin_stop::Attach(&engine);
  plugin_stop::Detach();
  EXPECT_FALSE(plugin_stop::Stopped());
}

struct PruneCase {
  const char* what;
  std::int64_t lifetimeMs, maxBytes;
  std::vector<std::string> kept;
};

TEST(ResponseCachePrune, ExpiredAnswersGoThenTheOldestBeyondTheLimit) {
  // Answers a, b, c, d of 100 bytes each, stored 40, 30, 20 and 10 s ago;
  // e stored in the future (a clock set back).
  const std::int64_t now = 1'700'000'000'000;
  const PruneCase cases[] = {
      {"everything fresh and small", 3600'000, 1 << 20, {"a", "b", "c", "d"}},
      {"expired ones go", 25'000, 1 << 20, {"c", "d"}},
      {"the oldest beyond the limit go", 3600'000, 250, {"c", "d"}},
      {"a limit of exactly what is kept", 3600'000, 300, {"b", "c", "d"}},
      {"both", 35'000, 100, {"d"}},
  };
  for (const auto& c : cases) {
    ResponseCache cache;
    ASSERT_TRUE(cache.Open(":memory:"));
    int age = 40;
    for (const char* url : {"a", "b", "c", "d"}) {
      cache.Store(url, std::string(100, 'x'), now - age * 1000);
      age -= 10;
    }
    cache.Store("e", "{}", now + 60'000);
    cache.Prune(now, c.lifetimeMs, c.maxBytes);
    std::vector<std::string> kept;
    for (const char* url : {"a", "b", "c", "d", "e"}) {
      if (cache.Find(url, now + 120'000, 3600'000)) kept.push_back(url);
    }
    EXPECT_EQ(kept, c.kept) << c.what;
    EXPECT_EQ(cache.Size().first, static_cast<std::int64_t>(c.kept.size())) << c.what;
  }
}

}  // namespace
