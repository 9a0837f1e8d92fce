#include "server/RefusalLog.h"

#include <algorithm>

namespace cache_server {

RefusalLog::RefusalLog(std::size_t linesPerWindow, std::int64_t windowMs, Writer writer)
    : linesPerWindow_(linesPerWindow),
      windowMs_(windowMs),
      writer_(writer ? std::move(writer) : Writer([](LogLevel level, std::string_view text) {
        ServerLog::Write(level, text);
      })) {}

void RefusalLog::Note(std::int64_t nowMs, LogLevel level, int status, std::string_view address,
                      std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked(nowMs, false);
  if (!started_) {
    started_ = true;
    windowStart_ = nowMs;
  }
  if (written_ < linesPerWindow_) {
    ++written_;
    writer_(level, text);
    return;
  }
  ++suppressed_;
  ++byStatus_[status];
  const auto found = byAddress_.find(std::string(address));
  if (found != byAddress_.end()) {
    ++found->second;
  } else if (byAddress_.size() < kMaxAddresses) {
    byAddress_.emplace(std::string(address), 1);
  }
}

void RefusalLog::Flush(std::int64_t nowMs, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushLocked(nowMs, force);
}

void RefusalLog::FlushLocked(std::int64_t nowMs, bool force) {
  if (!started_ || (!force && nowMs - windowStart_ < windowMs_)) return;
  if (suppressed_ > 0) {
    std::string line = "not logged in the last " + std::to_string((nowMs - windowStart_ + 999) / 1000) +
                       " s: " + std::to_string(suppressed_) + " refusals (";
    bool first = true;
    for (const auto& [status, count] : byStatus_) {
      line += (first ? "" : ", ") + std::to_string(count) + " x " + std::to_string(status);
      first = false;
    }
    line += ")";
    const auto top = std::max_element(byAddress_.begin(), byAddress_.end(),
                                      [](const auto& a, const auto& b) { return a.second < b.second; });
    if (top != byAddress_.end()) line += ", " + std::to_string(top->second) + " from " + top->first;
    writer_(LogLevel::kWarning, line);
  }
  started_ = false;
  written_ = 0;
  suppressed_ = 0;
  byStatus_.clear();
  byAddress_.clear();
}

}  // namespace cache_server
