// The server's reading of HTTP requests over real loopback connections:
// framing that two readers could disagree on, bodies and headers over their
// limits, the request deadline, and how connections end.
#include <gtest/gtest.h>

#include "server/ServerFixture.h"
#include "server/ServerLog.h"

namespace {

using server_testing::ServerTest;

const bool kQuietLog = [] {
  cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
  return true;
}();

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class HttpRequestReaderTest : public ServerTest {
 protected:
  HttpRequestReaderTest() { StartServer(); }

  // Sends `bytes` and reads until the server closes: `status` must be the
  // one answer, and the connection must close after it.
  void ExpectOneAnswerThenClose(const std::string& bytes, int status) {
    platform::TcpSocket socket = ConnectFrom();
    socket.SendAll(bytes);  // the server may close before all is sent
    const std::string answer = ReadToClose(socket);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 " + std::to_string(status) + " ", 0)) << bytes << "\n-> " << answer;
    EXPECT_EQ(1u, CountOf(answer, "HTTP/1.1 ")) << bytes << "\n-> " << answer;
    EXPECT_NE(std::string::npos, answer.find("Connection: close\r\n")) << answer;
  }
};

TEST_F(HttpRequestReaderTest, FramingOfOneMeaningOnlyElse400And405AndTheConnectionCloses) {
  const std::string head = "POST /lookup.php HTTP/1.1\r\nHost: x\r\n";
  const std::string smuggled = RawPost("/lookup.php", SignedBody(LookupText("A", "T")));
  const auto lookup = [this](int i) { return SignedBody(LookupText("A", "T" + std::to_string(i))); };
  const auto length = [&](int i) { return std::to_string(lookup(i).size()); };
  const auto chunked = [&](int i) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", lookup(i).size());
    return std::string(size) + "\r\n" + lookup(i) + "\r\n0\r\n\r\n";
  };
  struct Case {
    std::string bytes;
    int status;
  };
  const Case cases[] = {
      // A body is never a second request: the method is refused and the rest dropped.
      {"GET /lookup.php HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" +
           smuggled,
       405},
      {"GET /lookup.php HTTP/1.1\r\nHost: x\r\n\r\n" + smuggled, 405},
      {"DELETE /fill.php HTTP/1.1\r\nHost: x\r\n\r\n", 405},
      // Each of these, read leniently, would be a well-signed look-up (404).
      {head + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(0), 400},
      {head + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n" + chunked(1), 400},
      {head + "Content-Length: " + length(2) + "\r\nContent-Length: " + std::to_string(lookup(2).size() + 1) +
           "\r\n\r\n" + lookup(2) + "&",
       400},
      {head + "Content-Length: " + length(3) + "\r\nContent-Length: " + length(3) + "\r\n\r\n" + lookup(3), 400},
      {head + "Content-Length: " + length(4) + "abc\r\n\r\n" + lookup(4), 400},
      {head + "Content-Length: +" + length(5) + "\r\n\r\n" + lookup(5), 400},
      {head + "Content-Length: " + length(6) + ", " + length(6) + "\r\n\r\n" + lookup(6), 400},
      {head + "Content-Length : " + length(7) + "\r\n\r\n" + lookup(7), 400},  // space before the colon
      {head + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(8), 400},
      {head + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(9), 400},
      {"POST /lookup.php HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(10), 400},
      {head + "Content-Length: -1\r\n\r\n", 400},
      {head + "X-A: 1\r\n b\r\nContent-Length: 0\r\n\r\n", 400},  // folded
      {head + "Content-Length: 3\nX: y\r\n\r\nabc", 400},         // bare LF
      {head + "X-A: a\rb\r\n\r\n", 400},                           // bare CR
      {head + "Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n", 400},
      {head + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", 400},  // chunk longer than said
      {"POST http://example.test/lookup.php HTTP/1.1\r\n\r\n", 400},
      {"POST /lookup.php  HTTP/1.1\r\n\r\n", 400},
      {"POST /lookup.php HTTP/2.0\r\n\r\n", 505},
      {head + "Expect: 200-ok\r\nContent-Length: 1\r\n\r\na", 417},
  };
  for (const Case& c : cases) ExpectOneAnswerThenClose(c.bytes, c.status);
  // A refusal of the protocol's own (here a bad signature) ends the connection too.
  ExpectOneAnswerThenClose(RawPost("/lookup.php", LookupText("A", "T") + "&signature=x") + smuggled, 403);
}

TEST_F(HttpRequestReaderTest, ChunkedBodiesAreReadAndLimitedLikeOthers) {
  // A signed look-up in three chunks, with an extension and a trailer, is served.
  const std::string lookup = SignedBody(LookupText("A", "T"));
  char size[16];
  std::string chunked;
  for (std::size_t at = 0; at < lookup.size(); at += 40) {
    const std::string part = lookup.substr(at, 40);
    std::snprintf(size, sizeof size, "%zx", part.size());
    chunked += std::string(size) + (at == 0 ? ";name=value" : "") + "\r\n" + part + "\r\n";
  }
  platform::TcpSocket socket = ConnectFrom();
  ASSERT_TRUE(socket.SendAll("POST /lookup.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked +
                             "0\r\nX-Trailer: 1\r\n\r\n"));
  const std::string answer = ReadAnswer(socket);
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 404 ", 0)) << answer;
  EXPECT_NE(std::string::npos, answer.find("\r\n\r\nnot found")) << answer;

  const std::string head = "POST /lookup.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  // 16 KiB in chunks is read (and refused as malformed), one byte more is not.
  std::string limit;
  for (int i = 0; i < 16; ++i) limit += "400\r\n" + std::string(1024, 'a') + "\r\n";
  ExpectOneAnswerThenClose(head + limit + "0\r\n\r\n", 400);
  ExpectOneAnswerThenClose(head + limit + "1\r\na\r\n0\r\n\r\n", 413);
  // So is a small body whose chunk lines outweigh it (one byte per chunk,
  // each with a long extension).
  std::string extended;
  for (int i = 0; i < 400; ++i) extended += "1;" + std::string(100, 'x') + "\r\na\r\n";
  ExpectOneAnswerThenClose(head + extended + "0\r\n\r\n", 413);
  // A size past the limit is refused before its bytes are sent, however large.
  ExpectOneAnswerThenClose(head + "4001\r\n", 413);
  ExpectOneAnswerThenClose(head + "10000000\r\n", 413);
  ExpectOneAnswerThenClose(head + "ffffffffffffffffffffffff\r\n", 413);
  // Likewise a Content-Length past the limit, with or without a 100-continue.
  ExpectOneAnswerThenClose("POST /lookup.php HTTP/1.1\r\nContent-Length: 209715200\r\n\r\n", 413);
  ExpectOneAnswerThenClose("POST /lookup.php HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 16385\r\n\r\n", 413);
}

TEST_F(HttpRequestReaderTest, HeaderLinesAreLimitedInCountAndSize) {
  const std::string head = "POST /lookup.php HTTP/1.1\r\nHost: x\r\n";
  std::string many, long1, large;
  for (int i = 0; i < 64; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
  long1 = "X-Long: " + std::string(9000, 'a') + "\r\n";
  for (int i = 0; i < 40; ++i) large += "X-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
  ExpectOneAnswerThenClose(head + many + "\r\n", 431);  // 65 with Host
  ExpectOneAnswerThenClose(head + long1 + "\r\n", 431);
  ExpectOneAnswerThenClose(head + large + "\r\n", 431);
  ExpectOneAnswerThenClose("POST /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414);
  // Too long whether or not its end has arrived when it is judged.
  ExpectOneAnswerThenClose("POST /" + std::string(9000, 'a') + " HTTP/1.1\n\r\n", 414);
  // Headers streamed without end: cut off at the limit, not read on.
  platform::TcpSocket socket = ConnectFrom();
  ASSERT_TRUE(socket.SendAll(head));
  std::size_t sent = 0;
  const std::string line = "X-Flood: " + std::string(1000, 'a') + "\r\n";
  while (sent < 64 * 1024 * 1024 && socket.SendAll(line)) sent += line.size();
  EXPECT_LT(sent, 64u * 1024 * 1024);
  EXPECT_EQ(0u, ReadToClose(socket).rfind("HTTP/1.1 431 ", 0));
}

TEST_F(HttpRequestReaderTest, TheDeadlineHoldsWhileBytesKeepComing) {
  // The request's deadline is checked before every read: bytes that arrive
  // after it, however promptly, are not read. The clock is the test's; the
  // "100 Continue" shows that the server has begun the request.
  platform::TcpSocket socket = ConnectFrom();
  ASSERT_TRUE(socket.SendAll("POST /lookup.php HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 20\r\n\r\n"));
  std::string interim;
  char byte;
  while (interim.find("\r\n\r\n") == std::string::npos && socket.Receive(&byte, 1, 10000) == 1) interim += byte;
  ASSERT_EQ("HTTP/1.1 100 Continue\r\n\r\n", interim);
  ASSERT_TRUE(socket.SendAll("artist=A&"));
  env.AdvanceMs(10001);
  socket.SendAll("title=T&xyz");
  const std::string answer = ReadToClose(socket);
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 408 ", 0)) << answer;
  // Within the deadline, the same is served.
  platform::TcpSocket next = ConnectFrom();
  ASSERT_TRUE(next.SendAll(RawPost("/lookup.php", SignedBody(LookupText("A", "T")))));
  env.AdvanceMs(9000);
  EXPECT_EQ(0u, ReadAnswer(next).rfind("HTTP/1.1 404 ", 0));
}

TEST_F(HttpRequestReaderTest, KeepAliveCountsDownTheRequestsLeft) {
  StopServer();
  cache_server::ServerOptions options = DefaultOptions();
  options.keepAliveMaxRequests = 3;
  StartServer(options);
  platform::TcpSocket socket = ConnectFrom();
  for (int i = 0; i < 3; ++i) {
    env.AdvanceMs(1000);  // not a replay
    ASSERT_TRUE(socket.SendAll(RawPost("/lookup.php", SignedBody(LookupText("A", "T")))));
    const std::string answer = ReadAnswer(socket);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 404 ", 0)) << answer;
    const std::string expected = i < 2 ? "Keep-Alive: timeout=5, max=" + std::to_string(2 - i) + "\r\n" : "Connection: close\r\n";
    EXPECT_NE(std::string::npos, answer.find(expected)) << i << answer;
  }
  EXPECT_EQ("", ReadToClose(socket));
}

}  // namespace
