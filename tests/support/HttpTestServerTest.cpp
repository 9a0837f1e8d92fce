#include "support/HttpTestServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/TcpSocket.h"

// The downloader tests exercise routes, redirects, stalls, drops and ordinary
// proxying through a real client; these cover what no client of ours sends.
namespace testing_support {
namespace {

constexpr int kWaitMs = 10000;  // generous bound for a loopback answer; never reached when all is well

// Everything the server sends until it closes the connection; nullopt when it
// stays open and silent for kWaitMs.
std::optional<std::string> ReadToClose(platform::TcpSocket& socket) {
  std::string received;
  char chunk[4096];
  for (;;) {
    const std::int64_t n = socket.Receive(chunk, sizeof chunk, kWaitMs);
    if (n == 0) return received;
    if (n < 0) return std::nullopt;
    received.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> Exchange(std::uint16_t port, const std::string& bytes) {
  platform::TcpSocket client;
  if (!client.Connect("127.0.0.1", port) || !client.SendAll(bytes)) return std::nullopt;
  return ReadToClose(client);
}

TEST(HttpTestServerTest, PipelinedAndChunkedRequestsUntilConnectionClose) {
  HttpTestServer server;
  server.ServeText("/form", "thanks");
  const std::optional<std::string> received = Exchange(
      server.port(),
      "POST /form?x=1 HTTP/1.1\r\nX-Name:  value \r\nContent-Length: 5\r\n\r\nhello"
      "PUT /form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\n"
      "Trailer: t\r\n\r\n"
      "GET /missing HTTP/1.1\r\nConnection: close\r\n\r\n");
  const std::string thanks = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\nthanks";
  EXPECT_EQ(received, thanks + thanks +
                          "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);  // bodies read by length and by chunks, trailer skipped
  EXPECT_EQ(requests[0].Header("x-name"), "value");
  EXPECT_EQ(requests[0].body, "hello");
  EXPECT_EQ(requests[1].body, "abc0123456789");
}

TEST(HttpTestServerTest, ProxyForwardsToLoopbackOnly) {
  HttpTestServer target;
  target.ServeText("/page", "from target");
  HttpTestServer proxy;
  proxy.EnableProxy();
  const std::optional<std::string> relayed =
      Exchange(proxy.port(), "POST " + target.Url("/page?q=1") + " HTTP/1.1\r\nHost: " + target.HostPort() +
                                 "\r\nProxy-Connection: Keep-Alive\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "4\r\nbody\r\n0\r\n\r\n");
  ASSERT_TRUE(relayed);  // the connection ends with the relayed answer
  EXPECT_EQ(relayed->substr(relayed->size() - 11), "from target");

  ASSERT_EQ(target.RequestCount(), 1u);
  const RecordedRequest forwarded = target.Requests()[0];
  EXPECT_EQ(forwarded.target, "/page?q=1");
  EXPECT_EQ(forwarded.body, "body");
  EXPECT_EQ(forwarded.Header("Content-Length"), "4");  // a chunked body goes on with its length
  EXPECT_FALSE(forwarded.HasHeader("Transfer-Encoding"));
  EXPECT_EQ(forwarded.Header("Host"), target.HostPort());
  EXPECT_FALSE(forwarded.HasHeader("Proxy-Connection"));

  // A target off the machine is refused without being contacted.
  const auto refused = Exchange(proxy.port(), "GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rfind("HTTP/1.1 502 ", 0), 0u);
}

TEST(HttpTestServerTest, DestructionEndsStalledRequests) {
  auto server = std::make_unique<HttpTestServer>();
  server->Stall("/never");
  server->EnableProxy();
  platform::TcpSocket direct, viaProxy;
  ASSERT_TRUE(direct.Connect("127.0.0.1", server->port()));
  ASSERT_TRUE(direct.SendAll(std::string_view("GET /never HTTP/1.1\r\n\r\n")));
  // The proxy forwards to the server itself, so a proxy thread waits on the stalled answer too.
  ASSERT_TRUE(viaProxy.Connect("127.0.0.1", server->port()));
  ASSERT_TRUE(viaProxy.SendAll("GET " + server->Url("/never") + " HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(server->WaitForRequests(3, kWaitMs));

  server.reset();  // must return: stalled answers end and every thread is joined
  EXPECT_EQ(ReadToClose(direct), "");
  EXPECT_EQ(ReadToClose(viaProxy), "");
}

}  // namespace
}  // namespace testing_support
