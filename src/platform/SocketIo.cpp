#include "platform/SocketIo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

int MaxListenBacklog() {
  int value = 0;
  if (std::FILE* file = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
    if (std::fscanf(file, "%d", &value) != 1) value = 0;
    std::fclose(file);
  }
  return value > 0 ? value : SOMAXCONN;
}

int Listen(const std::string& host, int port, int backlog, int& boundPort, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    error = ::gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  error = "no address";
  for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, backlog > 0 ? backlog : MaxListenBacklog()) != 0) {
      error = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) return -1;
  // Accepting never waits (AcceptNow); accepted sockets do not inherit this.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string address;
  LocalAddress(fd, address, boundPort);
  return fd;
}

int AcceptNow(int listenFd, std::string& peerAddress) {
  sockaddr_storage storage{};
  for (;;) {
    socklen_t length = sizeof storage;
    const int fd =
        ::accept4(listenFd, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      int port = 0;
      Describe(storage, peerAddress, port);
      return fd;
    }
    // A connection reset before it was taken, or a signal: look for the next.
    if (errno != EINTR && errno != ECONNABORTED) return -1;
  }
}

void Close(int fd) { ::close(fd); }

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
