#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // best effort: only latency depends on it
}

// Strips the brackets of "[::1]".
std::string_view Unbracket(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

bool ParseIpv4Loopback(std::string_view host, in_addr& address) {
  const std::string text(host);
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool TcpSocket::Listen(int backlog) {
  Close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  return true;
}

std::uint16_t TcpSocket::LocalPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

TcpSocket TcpSocket::Accept() {
  while (fd_ >= 0) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      return TcpSocket(fd);
    }
    // A connection reset before it was taken, or a signal: wait for the next one.
    if (errno != EINTR && errno != ECONNABORTED) break;
  }
  return TcpSocket();
}

bool TcpSocket::IsLoopbackHost(std::string_view host) {
  host = Unbracket(host);
  in_addr address{};
  return host == "localhost" || host == "::1" || ParseIpv4Loopback(host, address);
}

bool TcpSocket::Connect(std::string_view host, std::uint16_t port) { return Connect(host, port, {}); }

bool TcpSocket::Connect(std::string_view host, std::uint16_t port, std::string_view from) {
  Close();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!from.empty() && !ParseIpv4Loopback(from, local.sin_addr)) {
    errno = EACCES;
    return false;
  }
  host = Unbracket(host);
  sockaddr_storage storage{};
  socklen_t length = 0;
  in_addr ipv4{};
  if (host == "localhost" || ParseIpv4Loopback(host, ipv4)) {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = host == "localhost" ? htonl(INADDR_LOOPBACK) : ipv4.s_addr;
    address.sin_port = htons(port);
    length = sizeof address;
  } else if (host == "::1") {
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    length = sizeof address;
  } else {
    errno = EACCES;
    return false;
  }
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (!from.empty() && (storage.ss_family != AF_INET ||
                        ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)) {
    const int error = storage.ss_family != AF_INET ? EAFNOSUPPORT : errno;
    ::close(fd);
    errno = error;
    return false;
  }
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  SetNoDelay(fd);
  fd_ = fd;
  return true;
}

bool TcpSocket::SendAll(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd_, bytes, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t TcpSocket::Receive(void* buffer, std::size_t size, int timeoutMs) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  if (timeoutMs >= 0) {
    pollfd entry{fd_, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready == 0) return kTimedOut;
  }
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n;
}

void TcpSocket::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TcpSocket::Shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void TcpSocket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace platform
