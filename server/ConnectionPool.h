// The threads that serve the server's connections: a fixed number of workers,
// one connection each for as long as it lasts, which is also the most
// connections served at once. A connection that arrives while every worker is
// busy and the short waiting line is full is handed to a single "refuser"
// thread instead, which answers 503 at once (see CurrentTreatment) and closes it,
// so that a flood of connections costs neither threads nor memory.
//
// shutdown() lets the workers finish every connection already taken in and
// joins them.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

namespace cache_server {

class ConnectionPool : public httplib::TaskQueue {
 public:
  // `workers` connections served at once; `waiting` more may wait for a worker.
  ConnectionPool(std::size_t workers, std::size_t waiting);
  ~ConnectionPool() override;

  void enqueue(std::function<void()> fn) override;
  void shutdown() override;

  // How the calling thread is to treat the connection it runs: serve it
  // (a worker), answer 503 (the refuser), or, when refused connections pile up
  // faster than they can be answered, close it at once.
  enum class Treatment { kServe, kAnswerBusy, kDrop };
  static Treatment CurrentTreatment();
  // Refused connections waiting beyond this many are closed unanswered.
  static constexpr std::size_t kMaxRefusedWaiting = 64;

 private:
  void Work(bool refuser);

  const std::size_t workers_;
  const std::size_t waiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::deque<std::function<void()>> refused_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace cache_server
