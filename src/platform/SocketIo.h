// Descriptor-level socket calls for servers that own their accepted
// connections (the tag-cache server's connection handling): waiting with a
// time-out, receiving and sending without raising SIGPIPE, the peer's and the
// local address, and closing.
//
// Safe on any thread for distinct descriptors; one descriptor is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::socket_io {

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until `fd` has data to read (or the peer closed), at most `timeoutMs`
// milliseconds (0: just look). Interruptions by signals are retried.
Wait WaitReadable(int fd, int timeoutMs);
Wait WaitWritable(int fd, int timeoutMs);

// One recv: the count received, 0 when the peer closed its side, -1 on error.
std::int64_t Receive(int fd, void* buffer, std::size_t size);
// One send (no SIGPIPE): the count sent, -1 on error.
std::int64_t Send(int fd, const void* data, std::size_t size);
// Result of the calls below when they would have to wait.
constexpr std::int64_t kWouldBlock = -2;
// Receive and Send that never wait: kWouldBlock when nothing can be moved now.
std::int64_t ReceiveNow(int fd, void* buffer, std::size_t size);
std::int64_t SendNow(int fd, const void* data, std::size_t size);

// The numeric address ("127.0.0.1", "::1") and port of the peer, or of our
// own end; empty and 0 when unknown.
void PeerAddress(int fd, std::string& address, int& port);
void LocalAddress(int fd, std::string& address, int& port);

// The most pending connections the system lets a listening socket hold
// (net.core.somaxconn; SOMAXCONN when it cannot be read).
int MaxListenBacklog();
// A listening socket on `host` (a name or numeric address; empty: every
// address) and `port` (0: one the system chooses), with `backlog` pending
// connections (<= 0: MaxListenBacklog()). The descriptor, its port in
// `boundPort`; -1 with `error` when the address cannot be used.
int Listen(const std::string& host, int port, int backlog, int& boundPort, std::string& error);
// Takes a waiting connection without waiting: its descriptor and the peer's
// numeric address, or -1 when none waits (or on error).
int AcceptNow(int listenFd, std::string& peerAddress);
// Closes a descriptor (a listening socket).
void Close(int fd);

// Sends small writes at once (TCP_NODELAY); best effort.
void SetNoDelay(int fd);
// Ends sending (the peer reads the end of the stream); receiving goes on.
void ShutdownSend(int fd);
// Shuts both directions down and closes the descriptor.
void ShutdownAndClose(int fd);

}  // namespace platform::socket_io
