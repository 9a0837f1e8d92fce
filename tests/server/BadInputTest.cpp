// Input no client of ours would send: the form parser's refusals, the
// handler's, and connections that misbehave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/TcpSocket.h"
#include "server/ConnectionPool.h"
#include "server/FormParser.h"
#include "server/ServerLog.h"
#include "server/ServerFixture.h"

namespace {

using cache_server::ParsedForm;
using cache_server::ParseForm;
using server_testing::Answer;
using server_testing::ServerTest;

const bool kQuietLog = [] {
  cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
  return true;
}();

TEST(FormParserTest, ReadsTheClientsFormAndRefusesTheRest) {
  ParsedForm form;
  std::string error;
  const std::string body = "artist=AC%2FDC&title=a+b%20c&signature=x%2By%3D";
  ASSERT_TRUE(ParseForm(body, form, error)) << error;
  ASSERT_EQ(3u, form.fields.size());
  EXPECT_EQ("AC/DC", form.fields[0].value);
  EXPECT_EQ("a b c", form.fields[1].value);
  EXPECT_EQ("x+y=", form.fields[2].value);
  EXPECT_EQ("artist=AC%2FDC&title=a+b%20c", form.signedText);
  ASSERT_TRUE(ParseForm("a=&b=%C3%A9", form, error));
  EXPECT_EQ("", form.fields[0].value);
  EXPECT_EQ("\xC3\xA9", form.fields[1].value);

  for (const std::string bad : {"", "a", "a=1&", "&a=1", "=1", "a=1&a=2", "a=%", "a=%4", "a=%G0", "a=1&b=%2"}) {
    EXPECT_FALSE(ParseForm(bad, form, error)) << bad;
  }
  // Refused at the limit, before the rest is read: the pairs beyond it are
  // malformed, and a parser that went on would name them instead.
  std::string many;
  for (std::size_t i = 0; i < cache_server::kMaxFormParameters; ++i) many += "p" + std::to_string(i) + "=1&";
  for (int i = 0; i < 1000; ++i) many += "bad%G0=1&";
  many.pop_back();
  EXPECT_FALSE(ParseForm(many, form, error));
  EXPECT_EQ("too many parameters", error);
}

class HandlerTest : public ServerTest {
 protected:
  HandlerTest()
      : authenticator(platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600) {
    std::string error;
    store = OpenStore(error);
    EXPECT_TRUE(store) << error;
    handler = std::make_unique<cache_server::RequestHandler>(*store, authenticator);
  }
  cache_server::HandlerResponse Signed(const std::string& path, const std::string& text) {
    env.AdvanceMs(1000);  // never a replay
    const std::string t = text + "&signature=" + platform::ToUtf8(CNimbrelServerCache::Sign(platform::FromUtf8(text)));
    return handler->Handle(path, t, "127.0.0.1", env.UnixTime());
  }
  std::string FillText(const std::string& genre, const std::string& tracknr, const std::string& year,
                       const std::string& title = "T") {
    return "album=X&artist=A&cover_size_bytes=10&cover_x_resolution=1&cover_y_resolution=1&coverurl=u&genre=" +
           genre + "&source=discs&timestamp=" + Timestamp(1) + "&title=" + title + "&tracknr=" + tracknr +
           "&type=tags&version=1&year=" + year;
  }

  cache_server::RequestAuthenticator authenticator;
  std::unique_ptr<cache_server::RequestHandler> handler;
};

TEST_F(HandlerTest, ValuesBeyondTheClientsLimitsAreRefusedWithAReason) {
  EXPECT_EQ(200, Signed("/fill.php", FillText("Rock", "99", "9999")).status);
  struct Case {
    std::string text;
    std::string reason;
  };
  const Case cases[] = {
      {FillText(std::string(51, 'g'), "1", "2000"), "genre is longer than 50"},
      {FillText(std::string(50, 'g') + "%C3%A9", "1", "2000"), "genre is longer than 50"},
      {FillText("Rock", "100", "2000"), "tracknr is over 99"},
      {FillText("Rock", "1", "10000"), "year is over 9999"},
      {FillText("Rock", "1x", "2000"), "tracknr is not a number"},
      {FillText("Rock", "", "2000"), "tracknr is not a number"},
      {FillText("Rock", "99999999999", "2000"), "tracknr is not a number"},
      {FillText("Ro%0D%0Ack", "1", "2000"), "genre holds a control character"},
      {FillText("Rock", "1", "2000", "%FF%FE"), "title is not valid UTF-8"},
      {FillText("Rock", "1", "2000", "%ED%A0%80"), "title is not valid UTF-8"},  // a surrogate
  };
  for (const Case& c : cases) {
    const cache_server::HandlerResponse response = Signed("/fill.php", c.text);
    EXPECT_EQ(400, response.status) << c.text;
    EXPECT_EQ(c.reason, response.reason) << c.text;
  }
  // 128 characters outside the BMP are 256 UTF-16 units, as the client counts.
  std::string emoji;
  for (int i = 0; i < 128; ++i) emoji += "%F0%9F%8E%B5";
  EXPECT_EQ("title is longer than 255", Signed("/fill.php", FillText("Rock", "1", "2000", emoji)).reason);
  const cache_server::HandlerResponse stale =
      handler->Handle("/lookup.php", "artist=A&searcher=0&timestamp=2020-01-01T00%3A00%3A00Z&title=T&type=tags&version=1&signature=x",
                      "127.0.0.1", env.UnixTime());
  EXPECT_EQ(403, stale.status);
  EXPECT_EQ("bad signature", stale.reason);
  // A signature under an escaped name signs nothing of the request, not even
  // when it is the signature of nothing.
  const std::string unsigned_ = "artist=A&searcher=0&timestamp=" + Timestamp(1) + "&title=T&type=tags&version=1";
  const cache_server::HandlerResponse escaped = handler->Handle(
      "/lookup.php", unsigned_ + "&sig%6Eature=" + platform::ToUtf8(CNimbrelServerCache::Sign(L"")), "127.0.0.1",
      env.UnixTime());
  EXPECT_EQ(403, escaped.status) << escaped.reason;
  EXPECT_EQ("malformed timestamp",
            Signed("/lookup.php", "artist=A&searcher=0&timestamp=2026-02-30T00%3A00%3A00Z&title=T&type=tags&version=1")
                .reason);
}

TEST_F(ServerTest, OneAddressHasItsShareOfConnectionsAndOthersAreStillServed) {
  cache_server::ServerOptions options = DefaultOptions();
  options.maxConnections = 4;
  options.maxConnectionsPerAddress = 2;
  StartServer(options);
  int n = 0;
  const auto request = [&] { return RawPost("/lookup.php", SignedBody(LookupText("A", "T" + std::to_string(n++)))); };
  // Two kept-alive connections of 127.0.0.2, each served once.
  platform::TcpSocket held[2] = {ConnectFrom("127.0.0.2"), ConnectFrom("127.0.0.2")};
  for (platform::TcpSocket& socket : held) {
    ASSERT_TRUE(socket.SendAll(request()));
    ASSERT_EQ(0u, ReadAnswer(socket).rfind("HTTP/1.1 404 ", 0));
  }
  // A third of the same address is refused, workers to spare or not.
  platform::TcpSocket third = ConnectFrom("127.0.0.2");
  third.SendAll(request());
  const std::string refused = ReadToClose(third);
  EXPECT_EQ(0u, refused.rfind("HTTP/1.1 503 ", 0)) << refused;
  // Other addresses are served meanwhile.
  for (const char* other : {"127.0.0.3", "127.0.0.4"}) {
    platform::TcpSocket socket = ConnectFrom(other);
    ASSERT_TRUE(socket.SendAll(request()));
    EXPECT_EQ(0u, ReadAnswer(socket).rfind("HTTP/1.1 404 ", 0)) << other;
  }
  // Once one of its connections ends, the address may open another; the
  // worker notices the close in its own time, until then it is refused.
  held[0].Close();
  std::string answer;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       answer.rfind("HTTP/1.1 404 ", 0) != 0 && std::chrono::steady_clock::now() < until; std::this_thread::yield()) {
    platform::TcpSocket again = ConnectFrom("127.0.0.2");
    again.SendAll(request());
    answer = ReadAnswer(again);
  }
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 404 ", 0)) << answer;
}

// Idle connections asked at the same moment: only as many give way as
// connections wait, not every one that is idle.
TEST(ConnectionPoolTest, AsManyIdleConnectionsGiveWayAsConnectionsWait) {
  std::mutex mutex;
  std::condition_variable changed;
  int serving = 0;
  bool release = false;
  cache_server::ConnectionPool pool(
      {2, 2, 16, ""},
      [&](int fd, const std::string&) {
        std::unique_lock<std::mutex> lock(mutex);
        ++serving;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        ::close(fd);
      },
      [](int fd, const std::string&, cache_server::ConnectionPool::Refusal, bool) { ::close(fd); });
  pool.Admit(::open("/dev/null", O_RDONLY), "127.0.0.2");
  pool.Admit(::open("/dev/null", O_RDONLY), "127.0.0.3");
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return serving == 2; });
  }
  EXPECT_FALSE(pool.GiveWay());  // nobody waits
  pool.Admit(::open("/dev/null", O_RDONLY), "127.0.0.4");
  EXPECT_TRUE(pool.Crowded());
  EXPECT_TRUE(pool.GiveWay());
  EXPECT_FALSE(pool.GiveWay());
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  pool.Shutdown();
  EXPECT_EQ(3, serving);
}

TEST_F(ServerTest, IdleConnectionsMakeRoomWhenConnectionsWaitForAWorker) {
  cache_server::ServerOptions options = DefaultOptions();
  options.maxConnections = 2;
  options.waitingConnections = 2;
  options.keepAliveTimeoutMs = 600000;  // only the crowding can end the idle connections' wait
  StartServer(options);
  int n = 0;
  const auto request = [&] { return RawPost("/lookup.php", SignedBody(LookupText("A", "T" + std::to_string(n++)))); };
  platform::TcpSocket held[2] = {ConnectFrom("127.0.0.2"), ConnectFrom("127.0.0.3")};
  for (platform::TcpSocket& socket : held) {
    ASSERT_TRUE(socket.SendAll(request()));
    ASSERT_EQ(0u, ReadAnswer(socket).rfind("HTTP/1.1 404 ", 0));
  }
  // Both workers hold idle connections; a third waits, and one of them
  // gives way (closed before its worker took the third); the other, with
  // nobody waiting any more, keeps its worker.
  platform::TcpSocket third = ConnectFrom("127.0.0.4");
  ASSERT_TRUE(third.SendAll(request()));
  EXPECT_EQ(0u, ReadAnswer(third).rfind("HTTP/1.1 404 ", 0));
  char byte;
  const std::int64_t first = held[0].Receive(&byte, 1, 0);
  const std::int64_t second = held[1].Receive(&byte, 1, 0);
  EXPECT_TRUE((first == 0 && second == platform::TcpSocket::kTimedOut) ||
              (second == 0 && first == platform::TcpSocket::kTimedOut))
      << first << " " << second;
  platform::TcpSocket& kept = first == 0 ? held[1] : held[0];
  ASSERT_TRUE(kept.SendAll(request()));
  EXPECT_EQ(0u, ReadAnswer(kept).rfind("HTTP/1.1 404 ", 0));
}

TEST_F(ServerTest, StoppingFinishesTheRequestInFlight) {
  StartServer();
  platform::TcpSocket socket;
  ASSERT_TRUE(socket.Connect("127.0.0.1", static_cast<std::uint16_t>(running->port())));
  const std::string text = LookupText("A", "T");
  const std::string body = text + "&signature=" + platform::ToUtf8(CNimbrelServerCache::Sign(platform::FromUtf8(text)));
  const std::string head = "POST /lookup.php HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded"
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  // A first request shows that a worker has the connection.
  ASSERT_TRUE(socket.SendAll(RawPost("/lookup.php", SignedBody(LookupText("A", "First")))));
  char buffer[4096];
  std::string first;
  while (first.find("not found") == std::string::npos) {
    const std::int64_t n = socket.Receive(buffer, sizeof buffer, 5000);
    ASSERT_GT(n, 0);
    first.append(buffer, n);
  }
  // Half of the next, then the stop, then the rest: it is still answered.
  ASSERT_TRUE(socket.SendAll(head + body.substr(0, 10)));
  std::thread stopper([this] { running->server().Stop(); });
  stopper.join();
  ASSERT_TRUE(socket.SendAll(body.substr(10)));
  std::string answer;
  for (std::int64_t n; (n = socket.Receive(buffer, sizeof buffer, 5000)) > 0;) answer.append(buffer, n);
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 404", 0)) << answer;
  EXPECT_NE(std::string::npos, answer.find("not found"));
  running->StopAndJoin();
}

}  // namespace
