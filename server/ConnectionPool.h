// The threads that serve the server's connections: a fixed number of workers,
// one connection each for as long as it lasts, which is also the most
// connections served at once. Connections are admitted by the accepting
// thread; one is refused when its address already has its share of
// connections (so that one address cannot take every worker) or when every
// worker is busy and the short waiting line is full. Refused connections go
// to a single "refuser" thread, which answers them (503) and closes them, so
// that a flood of connections costs neither threads nor memory; beyond
// kMaxRefusedWaiting of them, they are closed at once unanswered.
//
// While connections wait for a worker the pool is "crowded": a worker whose
// connection is idle should then give it up early (see Crowded).
//
// Shutdown lets the workers finish every connection already taken in and
// joins them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace cache_server {

class ConnectionPool {
 public:
  struct Limits {
    std::size_t workers = 64;     // connections served at once
    std::size_t waiting = 64;     // more may wait for a worker
    std::size_t perAddress = 16;  // connections of one address, served or waiting
    std::string unlimited;        // an address without that limit (a trusted proxy's)
  };
  enum class Refusal { kBusy, kAddressFull };
  // Serves a connection to its end and closes it.
  using ServeFunction = std::function<void(int fd, const std::string& address)>;
  // Closes a refused connection, after an answer when `answer`.
  using RefuseFunction = std::function<void(int fd, const std::string& address, Refusal why, bool answer)>;

  ConnectionPool(Limits limits, ServeFunction serve, RefuseFunction refuse);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Takes in an accepted connection from `address` (its numeric address).
  void Admit(int fd, std::string address);
  // Whether connections are waiting for a worker.
  bool Crowded() const { return crowded_.load(std::memory_order_relaxed); }
  // Called by a worker whose connection is idle while the pool is crowded:
  // true when it should end the connection to make room, which is so for as
  // many idle connections as connections wait, not for every idle one.
  bool GiveWay();
  void Shutdown();

  static constexpr std::size_t kMaxRefusedWaiting = 64;

 private:
  struct Connection {
    int fd;
    std::string address;
    Refusal why;
  };
  void Work(bool refuser);

  const Limits limits_;
  const ServeFunction serve_;
  const RefuseFunction refuse_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Connection> queue_;
  std::deque<Connection> refused_;
  std::unordered_map<std::string, std::size_t> perAddress_;
  std::size_t busy_ = 0;
  std::atomic<bool> crowded_{false};
  std::size_t givingWay_ = 0;  // idle connections ending to make room, at most queue_.size()
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace cache_server
