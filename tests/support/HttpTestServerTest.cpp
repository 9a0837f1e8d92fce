#include "support/HttpTestServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/TcpSocket.h"

namespace testing_support {
namespace {

constexpr int kWaitMs = 10000;  // generous bound for a loopback answer; never reached when all is well

// Reads from `socket` until `buffer` holds `size` bytes or the stream ends.
bool ReadAtLeast(platform::TcpSocket& socket, std::string& buffer, std::size_t size) {
  char chunk[4096];
  while (buffer.size() < size) {
    const std::int64_t n = socket.Receive(chunk, sizeof chunk, kWaitMs);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

struct RawResponse {
  std::string head;
  std::string body;
};

// One response framed by Content-Length; `pending` keeps bytes of the next one.
bool ReadResponse(platform::TcpSocket& socket, std::string& pending, RawResponse& response) {
  std::size_t end;
  while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadAtLeast(socket, pending, pending.size() + 1)) return false;
  }
  response.head = pending.substr(0, end + 4);
  pending.erase(0, end + 4);
  const std::size_t at = response.head.find("Content-Length: ");
  if (at == std::string::npos) return false;
  const std::size_t length = std::stoul(response.head.substr(at + 16));
  if (!ReadAtLeast(socket, pending, length)) return false;
  response.body = pending.substr(0, length);
  pending.erase(0, length);
  return true;
}

bool PeerClosed(platform::TcpSocket& socket) {
  char byte;
  return socket.Receive(&byte, 1, kWaitMs) == 0;
}

TEST(HttpTestServerTest, RecordsRequestsWithBodiesAndKeepsTheConnectionAlive) {
  HttpTestServer server;
  server.ServeText("/form", "thanks");
  platform::TcpSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));

  ASSERT_TRUE(client.SendAll(std::string_view(
      "POST /form?x=1 HTTP/1.1\r\nHost: h\r\nX-Name:  value \r\nContent-Length: 5\r\n\r\nhello"
      "PUT /form HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\n"
      "Trailer: t\r\n\r\n"
      "GET /missing HTTP/1.1\r\nHost: h\r\n\r\n")));
  std::string pending;
  RawResponse first, second, third;
  ASSERT_TRUE(ReadResponse(client, pending, first));
  ASSERT_TRUE(ReadResponse(client, pending, second));
  ASSERT_TRUE(ReadResponse(client, pending, third));
  EXPECT_EQ(first.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(first.head.find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(first.body, "thanks");
  EXPECT_EQ(second.body, "thanks");
  EXPECT_EQ(third.head.rfind("HTTP/1.1 404 ", 0), 0u);
  EXPECT_EQ(third.body, "not found");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/form?x=1");
  EXPECT_EQ(requests[0].path, "/form");
  EXPECT_EQ(requests[0].Header("x-name"), "value");
  EXPECT_EQ(requests[0].body, "hello");
  EXPECT_EQ(requests[1].body, "abc0123456789");
  EXPECT_EQ(requests[2].path, "/missing");
  EXPECT_TRUE(requests[2].body.empty());

  // Connection: close is honoured.
  ASSERT_TRUE(client.SendAll(std::string_view("GET /form HTTP/1.1\r\nConnection: close\r\n\r\n")));
  RawResponse last;
  ASSERT_TRUE(ReadResponse(client, pending, last));
  EXPECT_NE(last.head.find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(PeerClosed(client));
}

TEST(HttpTestServerTest, DropsTheConnectionMidBody) {
  HttpTestServer server;
  server.DropMidBody("/cut", 100, "only part");
  platform::TcpSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  ASSERT_TRUE(client.SendAll(std::string_view("GET /cut HTTP/1.1\r\nHost: h\r\n\r\n")));
  std::string received;
  ReadAtLeast(client, received, std::string::npos);  // to the end of the stream
  EXPECT_NE(received.find("Content-Length: 100\r\n"), std::string::npos);
  EXPECT_EQ(received.substr(received.find("\r\n\r\n") + 4), "only part");
}

TEST(HttpTestServerTest, ProxyForwardsToLoopbackOnly) {
  HttpTestServer target;
  target.ServeText("/page", "from target");
  HttpTestServer proxy;
  proxy.EnableProxy();

  platform::TcpSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", proxy.port()));
  const std::string request = "POST " + target.Url("/page?q=1") +
                              " HTTP/1.1\r\nHost: " + target.HostPort() +
                              "\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 4\r\n\r\nbody";
  ASSERT_TRUE(client.SendAll(request));
  std::string pending;
  RawResponse response;
  ASSERT_TRUE(ReadResponse(client, pending, response));
  EXPECT_EQ(response.body, "from target");
  EXPECT_TRUE(PeerClosed(client));

  ASSERT_EQ(proxy.RequestCount(), 1u);
  EXPECT_EQ(proxy.Requests()[0].target, target.Url("/page?q=1"));
  EXPECT_EQ(proxy.Requests()[0].path, "/page");
  ASSERT_EQ(target.RequestCount(), 1u);
  const RecordedRequest forwarded = target.Requests()[0];
  EXPECT_EQ(forwarded.target, "/page?q=1");
  EXPECT_EQ(forwarded.body, "body");
  EXPECT_EQ(forwarded.Header("Host"), target.HostPort());
  EXPECT_FALSE(forwarded.HasHeader("Proxy-Connection"));

  // A target off the machine is refused without being contacted.
  platform::TcpSocket other;
  ASSERT_TRUE(other.Connect("127.0.0.1", proxy.port()));
  ASSERT_TRUE(other.SendAll(std::string_view("GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n")));
  pending.clear();
  ASSERT_TRUE(ReadResponse(other, pending, response));
  EXPECT_EQ(response.head.rfind("HTTP/1.1 502 ", 0), 0u);
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
  EXPECT_TRUE(PeerClosed(direct));
  EXPECT_TRUE(PeerClosed(viaProxy));
}

}  // namespace
}  // namespace testing_support
