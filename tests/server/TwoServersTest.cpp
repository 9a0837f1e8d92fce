// Two nimbrel-cache-server processes on two ports sharing one PostgreSQL
// schema: what one accepts, the other knows and refuses to count again;
// neither a server killed under load nor a database restart loses a fill
// that was answered 200.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/ChildProcess.h"
#include "platform/TcpSocket.h"
#include "platform/TextCodec.h"
#include "server/PostgresTagStore.h"
#include "server/TestPostgres.h"
#include "servercache/NimbrelServerCache.h"
#include "servercache/RequestSigning.h"
#include "support/ScratchFolder.h"

namespace {

struct Answer {
  int status = 0;
  std::string body;
};

class TwoServersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db = server_testing::TestPostgres::Instance().NewSchema();
    for (int i = 0; i < 2; ++i) Start(i);
  }

  // Starts server `i` on a port the system chooses, read from its log.
  void Start(int i) {
    const std::string log = platform::ToUtf8(folder / (L"server" + std::to_wstring(i) + L".log"));
    ASSERT_TRUE(children[i].Start(NIMBREL_CACHE_SERVER,
                                  {"--db", db, "--listen", "127.0.0.1:0", "--rate-limit", "0", "--log-level", "info"},
                                  log));
    const std::string marker = "listening on 127.0.0.1:";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      std::ifstream in(log);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::size_t at = text.find(marker);
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        ports[i] = std::stoi(text.substr(at + marker.size()));
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "server " << i << " did not start: " << text;
      std::this_thread::yield();
    }
  }

  // The servers run on the real clock: a timestamp `offsetS` from the
  // test's start (fixed, so that texts differ by their offsets alone).
  std::string Timestamp(std::int64_t offsetS = 0) const {
    const std::time_t t = start + offsetS;
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H%%3A%M%%3A%SZ", &utc);
    return text;
  }

  // Posts `text`, signed, to server `i` from the loopback address `from`.
  Answer Post(int i, const std::string& from, const std::string& path, const std::string& text) {
    platform::TcpSocket socket;
    Answer answer;
    if (!socket.Connect("127.0.0.1", static_cast<std::uint16_t>(ports[i]), from)) return answer;
    const std::string body =
        text + "&signature=" +
        platform::ToUtf8(nimbrel::SignRequest(nimbrel::kServerCacheSigningKey, platform::FromUtf8(text)));
    if (!socket.SendAll("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body)) {
      return answer;
    }
    std::string reply;
    char buffer[4096];
    for (std::int64_t n; (n = socket.Receive(buffer, sizeof buffer, 10000)) > 0;) reply.append(buffer, n);
    const std::size_t head = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.1 ", 0) == 0 && head != std::string::npos) {
      answer.status = std::stoi(reply.substr(9, 3));
      answer.body = reply.substr(head + 4);
    }
    return answer;
  }
  std::string FillText(const std::string& title, const std::string& album) {
    return "album=" + album +
           "&artist=A&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0&coverurl=&genre=Rock"
           "&source=discs&timestamp=" +
           Timestamp() + "&title=" + title + "&tracknr=1&type=tags&version=1&year=2000";
  }
  std::string LookupText(const std::string& title, int searcher) {
    return "artist=A&searcher=" + std::to_string(searcher) + "&timestamp=" + Timestamp() + "&title=" + title +
           "&type=tags&version=1";
  }

  const std::time_t start = std::time(nullptr);
  testing_support::ScratchFolder folder;
  std::string db;
  platform::ChildProcess children[2];
  int ports[2] = {0, 0};
};

TEST_F(TwoServersTest, WhatOneServerAcceptsTheOtherKnowsAndRefusesToCountAgain) {
  const std::string fill = FillText("Filled", "Album");
  ASSERT_EQ(200, Post(0, "127.0.0.2", "/fill.php", fill).status);
  const Answer found = Post(1, "127.0.0.3", "/lookup.php", LookupText("Filled", 0));
  EXPECT_EQ(200, found.status);
  EXPECT_NE(std::string::npos, found.body.find("album=Album\r\n")) << found.body;
  // The fill again, through the other server: a replay.
  EXPECT_EQ(403, Post(1, "127.0.0.3", "/fill.php", fill).status);

  // A searcher on one makes the other answer "searching".
  EXPECT_EQ(404, Post(0, "127.0.0.2", "/lookup.php", LookupText("Searched", 1)).status);
  EXPECT_EQ(202, Post(1, "127.0.0.3", "/lookup.php", LookupText("Searched", 1)).status);

  // Three clients' reports split across both servers: skipped on both
  // (before the third, on neither).
  const std::string from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  for (int i = 0; i < 3; ++i) {
    const std::string report = "artist=A&timestamp=" + Timestamp(-i) + "&title=Nothing&type=tags&version=1";
    if (i == 2) {
      EXPECT_EQ(404, Post(0, "127.0.0.5", "/lookup.php", LookupText("Nothing", 0)).status);
    }
    ASSERT_EQ(200, Post(i % 2, from[i], "/reportFail.php", report).status) << i;
    // A report replayed to the other server counts no fourth client.
    if (i == 1) {
      EXPECT_EQ(403, Post(0, "127.0.0.5", "/reportFail.php", report).status);
    }
  }
  for (int i = 0; i < 2; ++i) {
    const Answer skipped = Post(i, "127.0.0.5", "/lookup.php", LookupText("Nothing", 0));
    EXPECT_EQ(404, skipped.status) << i;
    EXPECT_EQ("skip search", skipped.body) << i;
  }
}

// Fillers on both servers; one server is killed, then the database
// restarted at once (crashed, so that it recovers from its log); the other
// server answers 503 meanwhile and serves again after. Every fill answered
// 200 is there afterwards.
TEST_F(TwoServersTest, AKilledServerAndADatabaseRestartLoseNoAnsweredFill) {
  std::mutex mutex;
  std::condition_variable progress;
  std::vector<std::wstring> accepted;
  std::atomic<bool> stop{false};
  std::vector<std::thread> fillers;
  for (int t = 0; t < 4; ++t) {
    fillers.emplace_back([&, t] {
      NimbrelSettings settings;
      settings.HttpProxy = L"0";
      settings.TagCacheHost = platform::FromUtf8("127.0.0.1:" + std::to_string(ports[t % 2])).c_str();
      CNimbrelServerCache client(settings);
      client.requestTimeoutMs = 5000;
      for (int i = 0; !stop; ++i) {
        const std::wstring title = L"T" + std::to_wstring(t) + L"-" + std::to_wstring(i);
        Nimbrel::SongInfo song(L"Artist", title, L"Album");
        song.source = L"discs";
        if (client.Fill(song) == 1) {
          std::lock_guard<std::mutex> lock(mutex);
          accepted.push_back(title);
          progress.notify_all();
        }
      }
    });
  }
  const auto waitFor = [&](std::size_t more) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::size_t target = accepted.size() + more;
    return progress.wait_for(lock, std::chrono::seconds(60), [&] { return accepted.size() >= target; });
  };
  EXPECT_TRUE(waitFor(200));
  children[0].Kill();
  EXPECT_EQ(128 + 9, children[0].Wait());
  EXPECT_TRUE(waitFor(100));
  std::string error;
  EXPECT_TRUE(server_testing::TestPostgres::Instance().Restart(true, error)) << error;
  EXPECT_TRUE(waitFor(100));  // the server reconnected
  stop = true;
  for (std::thread& filler : fillers) filler.join();

  cache_server::PostgresTagStore store;
  ASSERT_TRUE(store.Open(db, error, true)) << error;
  for (const std::wstring& title : accepted) {
    cache_server::LookupOutcome outcome;
    ASSERT_TRUE(store.Lookup(cache_server::MakeSongKey("Artist", platform::ToUtf8(title)), false, 0, outcome, error))
        << error;
    EXPECT_EQ(cache_server::LookupOutcome::Kind::kFound, outcome.kind) << platform::ToUtf8(title);
  }
}

}  // namespace
