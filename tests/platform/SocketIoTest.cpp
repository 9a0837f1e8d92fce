// Listening sockets for servers: the backlog and taking connections.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SocketIo.h"
#include "platform/TcpSocket.h"

namespace {

namespace io = platform::socket_io;

TEST(SocketIoTest, ListeningHoldsAsManyPendingConnectionsAsTheSystemAllows) {
  ASSERT_GE(io::MaxListenBacklog(), 200);
  std::string error;
  int port = 0;
  const int fd = io::Listen("127.0.0.1", 0, 0, port, error);
  ASSERT_GE(fd, 0) << error;
  ASSERT_GT(port, 0);
  // 200 clients at once, none taken yet: each connects (a short backlog
  // would leave the later ones waiting for a retry of their handshake).
  std::vector<platform::TcpSocket> clients(200);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(clients[i].Connect("127.0.0.1", static_cast<std::uint16_t>(port), i % 2 ? "127.0.0.2" : "127.0.0.3"));
  }
  std::vector<std::string> addresses;
  std::string address;
  for (int taken; (taken = io::AcceptNow(fd, address)) >= 0;) {
    addresses.push_back(address);
    io::Close(taken);
  }
  ASSERT_EQ(200u, addresses.size());  // and none waits any more: AcceptNow does not block
  EXPECT_EQ("127.0.0.3", addresses[0]);
  EXPECT_EQ("127.0.0.2", addresses[1]);
  io::Close(fd);
  EXPECT_LT(io::Listen("192.0.2.1", 0, 0, port, error), 0);  // not an address of this machine
  EXPECT_FALSE(error.empty());
}

}  // namespace
