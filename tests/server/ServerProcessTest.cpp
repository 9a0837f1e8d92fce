// nimbrel-cache-server as its users run it: a child process, stopped by
// SIGTERM or killed outright, and its command line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/ChildProcess.h"
#include "platform/TextCodec.h"
#include "server/ServerMain.h"
#include "server/SqliteTagStore.h"
#include "servercache/NimbrelServerCache.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

class ServerProcessTest : public ::testing::Test {
 protected:
  ServerProcessTest() {
    db = platform::ToUtf8(folder / L"cache.sqlite");
    log = platform::ToUtf8(folder / L"server.log");
    settings.HttpProxy = L"0";
  }

  // Starts the server on a port the system chooses and waits until its log
  // names it: a port probed free beforehand may be taken by a parallel test
  // in between, and a connection could then reach that test's server.
  void Start() {
    ASSERT_TRUE(child.Start(NIMBREL_CACHE_SERVER, {"--db", db, "--listen", "127.0.0.1:0", "--rate-limit", "0",
                                                   "--log-level", "info"},
                            log));
    const std::string marker = "listening on 127.0.0.1:";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      std::ifstream in(log);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::size_t at = text.find(marker);
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        port = static_cast<std::uint16_t>(std::stoi(text.substr(at + marker.size())));
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the server did not start: " << text;
      std::this_thread::yield();
    }
    settings.TagCacheHost = platform::FromUtf8("127.0.0.1:" + std::to_string(port)).c_str();
  }

  static Nimbrel::SongInfo Song(const std::wstring& title) {
    Nimbrel::SongInfo song(L"Artist", title, L"Album");
    song.albumInfo.year = 2001;
    song.source = L"discs";
    return song;
  }

  int Command(const std::vector<std::string>& arguments, const std::string& input, std::string& output) {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = cache_server::RunCommandLine(arguments, in, out, err);
    output = out.str();
    EXPECT_EQ("", err.str());
    return status;
  }

  testing_support::ScratchFolder folder;
  std::string db, log;
  std::uint16_t port = 0;
  NimbrelSettings settings;
  platform::ChildProcess child;
};

TEST_F(ServerProcessTest, SigtermEndsCleanlyAndTheCommandLineMovesTheCache) {
  Start();
  CNimbrelServerCache client(settings);
  client.requestTimeoutMs = 5000;
  ASSERT_EQ(1, client.Fill(Song(L"One")));
  ASSERT_EQ(1, client.Fill(Song(L"Two")));
  client.ReportFail(L"Artist", L"Three", L"tapes");
  child.Terminate();
  EXPECT_EQ(0, child.Wait());

  std::string stats;
  ASSERT_EQ(0, Command({"stats", "--db", db}, "", stats));
  EXPECT_NE(std::string::npos, stats.find("songs 2\n")) << stats;
  EXPECT_NE(std::string::npos, stats.find("fills 2\n")) << stats;
  EXPECT_NE(std::string::npos, stats.find("source_failures 1\n")) << stats;
  EXPECT_NE(std::string::npos, stats.find("requests_200 3\n")) << stats;

  std::string exported;
  ASSERT_EQ(0, Command({"export", "--db", db}, "", exported));
  const std::string other = platform::ToUtf8(folder / L"other.sqlite");
  std::string report;
  // Imported twice: the fills add up, as a merge of two caches should.
  ASSERT_EQ(0, Command({"import", "--db", other}, exported + exported, report));
  EXPECT_EQ("imported 6 lines, skipped 0\n", report);
  ASSERT_EQ(0, Command({"stats", "--db", other}, "", stats));
  EXPECT_NE(std::string::npos, stats.find("songs 2\nrecords 2\nfills 4\n")) << stats;
  EXPECT_NE(std::string::npos, stats.find("source_failures 2\n")) << stats;

  std::istringstream in("{\"kind\":\"record\"}\nnot json\n");
  std::ostringstream out, err;
  EXPECT_EQ(0, cache_server::RunCommandLine({"import", "--db", other}, in, out, err));
  EXPECT_EQ("imported 0 lines, skipped 2\n", out.str());
  EXPECT_NE(std::string::npos, err.str().find("line 2: ")) << err.str();
}

TEST_F(ServerProcessTest, HelpAndBadOptionsAnswerWithTheUsage) {
  std::string usage;
  ASSERT_EQ(0, Command({"--help"}, "", usage));
  EXPECT_EQ(0u, usage.rfind("usage: nimbrel-cache-server", 0)) << usage;
  EXPECT_NE(std::string::npos, usage.find("--backlog N")) << usage;
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--backlog", "0"}, {"--backlog", "x"}, {"--backlog"}, {"--max-connections-per-address", "0"}}) {
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(2, cache_server::RunCommandLine(bad, in, out, err)) << bad[0];
    EXPECT_NE(std::string::npos, err.str().find("usage: ")) << err.str();
    EXPECT_EQ("", out.str());
  }
}

TEST_F(ServerProcessTest, KillDuringFillsLosesNoAnsweredFill) {
  Start();
  std::mutex mutex;
  std::condition_variable progress;
  std::vector<std::wstring> accepted;
  std::atomic<bool> stop{false};
  std::vector<std::thread> fillers;
  for (int t = 0; t < 4; ++t) {
    fillers.emplace_back([&, t] {
      CNimbrelServerCache client(settings);
      client.requestTimeoutMs = 5000;
      client.keepAlive = t % 2 == 0;
      for (int i = 0; !stop; ++i) {
        const std::wstring title = L"T" + std::to_wstring(t) + L"-" + std::to_wstring(i);
        if (client.Fill(Song(title)) == 1) {
          std::lock_guard<std::mutex> lock(mutex);
          accepted.push_back(title);
          progress.notify_all();
        }
      }
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(progress.wait_for(lock, std::chrono::seconds(60), [&] { return accepted.size() >= 400; }));
  }
  child.Kill();
  EXPECT_EQ(128 + 9, child.Wait());
  stop = true;
  for (std::thread& filler : fillers) filler.join();

  cache_server::SqliteDatabase check;
  std::string error;
  ASSERT_TRUE(check.Open(db, error)) << error;
  cache_server::SqliteStatement integrity;
  ASSERT_TRUE(integrity.Prepare(check.handle(), "PRAGMA integrity_check", error)) << error;
  ASSERT_TRUE(integrity.Step());
  EXPECT_EQ("ok", integrity.Text(0));

  cache_server::SqliteTagStore store;
  ASSERT_TRUE(store.Open(db, error)) << error;
  for (const std::wstring& title : accepted) {
    cache_server::LookupOutcome outcome;
    ASSERT_TRUE(store.Lookup(cache_server::MakeSongKey("Artist", platform::ToUtf8(title)), false, 0, outcome, error));
    EXPECT_EQ(cache_server::LookupOutcome::Kind::kFound, outcome.kind) << platform::ToUtf8(title);
  }
}

}  // namespace
