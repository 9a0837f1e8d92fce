#include "support/HttpTestServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/TcpSocket.h"

// The downloader tests exercise routes, redirects, stalls and drops through a
// real client; these cover what no client of ours sends.
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

TEST(HttpTestServerTest, DestructionEndsStalledRequests) {
  auto server = std::make_unique<HttpTestServer>();
  server->Stall("/never");
  platform::TcpSocket first, second;
  for (platform::TcpSocket* client : {&first, &second}) {
    ASSERT_TRUE(client->Connect("127.0.0.1", server->port()));
    ASSERT_TRUE(client->SendAll(std::string_view("GET /never HTTP/1.1\r\n\r\n")));
  }
  ASSERT_TRUE(server->WaitForRequests(2, kWaitMs));

  server.reset();  // must return: stalled answers end and every thread is joined
  EXPECT_EQ(ReadToClose(first), "");
  EXPECT_EQ(ReadToClose(second), "");
}

}  // namespace
}  // namespace testing_support
