// A TCP socket restricted to the loopback interface: listening on 127.0.0.1
// with an ephemeral port, accepting, connecting to loopback addresses,
// sending and receiving. Used by local test servers and tools; nothing here
// can reach another machine.
//
// One thread uses a socket at a time, except that Shutdown may be called from
// another thread to wake a blocked Accept, Receive or Send (the socket must not
// be closed concurrently).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class TcpSocket {
 public:
  // Result of Receive when nothing arrived within the time-out.
  static constexpr std::int64_t kTimedOut = -2;

  TcpSocket() = default;
  ~TcpSocket() { Close(); }
  TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool IsValid() const { return fd_ >= 0; }

  // Binds 127.0.0.1 with a port chosen by the system and listens. False with
  // LastError() set on failure.
  bool Listen(int backlog = 64);
  // The local port of a bound socket; 0 when unknown.
  std::uint16_t LocalPort() const;
  // Waits for a connection on a listening socket. Returns an invalid socket on
  // failure or after Shutdown, which is the way to stop a waiting Accept.
  TcpSocket Accept();

  // Connects to `host` ("127.0.0.1" or any 127.x.y.z, "::1" with or without
  // brackets, or "localhost") on `port`. Any other host is refused without
  // contacting it: false with LastError() EACCES.
  bool Connect(std::string_view host, std::uint16_t port);
  // The same from the local loopback address `from` ("127.0.0.2": another
  // client as the server sees it); IPv4 only.
  bool Connect(std::string_view host, std::uint16_t port, std::string_view from);
  // True when `host` names a loopback address in one of the forms above.
  static bool IsLoopbackHost(std::string_view host);

  // Sends every byte; false when the connection broke (no signal is raised).
  bool SendAll(const void* data, std::size_t size);
  bool SendAll(std::string_view bytes) { return SendAll(bytes.data(), bytes.size()); }
  // Receives up to `size` bytes, waiting at most `timeoutMs` (negative: no
  // limit). Returns the count received, 0 when the peer closed its side or
  // the socket was shut down, -1 on error, kTimedOut when nothing arrived.
  std::int64_t Receive(void* buffer, std::size_t size, int timeoutMs = -1);

  // Ends sending (the peer sees the end of the stream); receiving goes on.
  void ShutdownSend();
  // Ends both directions and wakes a thread blocked on this socket.
  void Shutdown();
  void Close();

 private:
  explicit TcpSocket(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace platform
