#include "server/ConnectionPool.h"

#include <algorithm>

namespace cache_server {

ConnectionPool::ConnectionPool(Limits limits, ServeFunction serve, RefuseFunction refuse)
    : limits_{limits.workers == 0 ? 1 : limits.workers, limits.waiting, limits.perAddress == 0 ? 1 : limits.perAddress,
              limits.unlimited},
      serve_(std::move(serve)),
      refuse_(std::move(refuse)) {
  for (std::size_t i = 0; i < limits_.workers; ++i) threads_.emplace_back([this] { Work(false); });
  threads_.emplace_back([this] { Work(true); });
}

ConnectionPool::~ConnectionPool() { Shutdown(); }

void ConnectionPool::Admit(int fd, std::string address) {
  Refusal why = Refusal::kBusy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = perAddress_.find(address);
    const std::size_t ofAddress = found == perAddress_.end() ? 0 : found->second;
    if (ofAddress >= limits_.perAddress && address != limits_.unlimited) {
      why = Refusal::kAddressFull;
    } else if (!stopping_ && busy_ + queue_.size() < limits_.workers + limits_.waiting) {
      ++perAddress_[address];
      queue_.push_back(Connection{fd, std::move(address), Refusal::kBusy});
      crowded_ = busy_ + queue_.size() > limits_.workers;
      wake_.notify_all();
      return;
    }
    if (!stopping_ && refused_.size() < kMaxRefusedWaiting) {
      refused_.push_back(Connection{fd, std::move(address), why});
      wake_.notify_all();
      return;
    }
  }
  refuse_(fd, address, why, false);
}

bool ConnectionPool::GiveWay() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.size() <= givingWay_) return false;
  ++givingWay_;
  return true;
}

void ConnectionPool::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void ConnectionPool::Work(bool refuser) {
  std::deque<Connection>& mine = refuser ? refused_ : queue_;
  for (;;) {
    Connection connection{-1, {}, Refusal::kBusy};
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !mine.empty(); });
      if (mine.empty()) return;  // stopping, and everything taken in is done
      connection = std::move(mine.front());
      mine.pop_front();
      givingWay_ = std::min(givingWay_, queue_.size());
      if (!refuser) {
        ++busy_;
        crowded_ = busy_ + queue_.size() > limits_.workers;
      }
    }
    if (refuser) {
      refuse_(connection.fd, connection.address, connection.why, true);
      continue;
    }
    serve_(connection.fd, connection.address);
    std::lock_guard<std::mutex> lock(mutex_);
    --busy_;
    crowded_ = busy_ + queue_.size() > limits_.workers;
    const auto found = perAddress_.find(connection.address);
    if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
  }
}

}  // namespace cache_server
