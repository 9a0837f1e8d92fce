#include "platform/SocketIo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform::socket_io {

namespace {

Wait WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{};
  p.fd = fd;
  p.events = events;
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (n > 0) return (p.revents & POLLNVAL) ? Wait::kFailed : Wait::kReady;
    if (n == 0) return Wait::kTimedOut;
    if (errno != EINTR) return Wait::kFailed;
  }
}

void Describe(const sockaddr_storage& storage, std::string& address, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  address.clear();
  port = 0;
  if (storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) address = text;
    port = ntohs(in->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) address = text;
    port = ntohs(in6->sin6_port);
  }
}

}  // namespace

Wait WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }
Wait WaitWritable(int fd, int timeoutMs) { return WaitFor(fd, POLLOUT, timeoutMs); }

std::int64_t Receive(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

std::int64_t Send(int fd, const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

std::int64_t ReceiveNow(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return -1;
  }
}

std::int64_t SendNow(int fd, const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    if (errno != EINTR) return -1;
  }
}

void PeerAddress(int fd, std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) storage.ss_family = AF_UNSPEC;
  Describe(storage, address, port);
}

void LocalAddress(int fd, std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) storage.ss_family = AF_UNSPEC;
  Describe(storage, address, port);
}

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void ShutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }

void ShutdownAndClose(int fd) {
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace platform::socket_io
