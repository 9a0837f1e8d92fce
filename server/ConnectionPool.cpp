#include "server/ConnectionPool.h"

namespace cache_server {

namespace {
thread_local ConnectionPool::Treatment tTreatment = ConnectionPool::Treatment::kServe;
}

ConnectionPool::ConnectionPool(std::size_t workers, std::size_t waiting)
    : workers_(workers == 0 ? 1 : workers), waiting_(waiting) {
  for (std::size_t i = 0; i < workers_; ++i) threads_.emplace_back([this] { Work(false); });
  threads_.emplace_back([this] { Work(true); });
}

ConnectionPool::~ConnectionPool() { shutdown(); }

ConnectionPool::Treatment ConnectionPool::CurrentTreatment() { return tTreatment; }

void ConnectionPool::enqueue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_ + queue_.size() < workers_ + waiting_) {
      queue_.push_back(std::move(fn));
    } else {
      refused_.push_back(std::move(fn));
    }
  }
  wake_.notify_all();
}

void ConnectionPool::shutdown() {
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
  std::deque<std::function<void()>>& mine = refuser ? refused_ : queue_;
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !mine.empty(); });
      if (mine.empty()) return;  // stopping, and everything taken in is done
      fn = std::move(mine.front());
      mine.pop_front();
      if (!refuser) ++busy_;
      tTreatment = !refuser                               ? Treatment::kServe
                   : refused_.size() < kMaxRefusedWaiting ? Treatment::kAnswerBusy
                                                          : Treatment::kDrop;
    }
    fn();
    if (!refuser) {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
  }
}

}  // namespace cache_server
