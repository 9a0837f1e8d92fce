// A set of keys that keeps only the newest ones.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>

// Holds at most `limit` keys: adding one more lets the oldest go (the order
// is the order of first insertion). For memories of what was done that must
// not grow with the life of the process, where a forgotten key only means the
// work is done again. Not thread-safe: the owner locks.
class CRecentKeys {
 public:
  explicit CRecentKeys(std::size_t limit) : limit_(limit) {}

  bool Contains(const std::wstring& key) const { return keys_.count(key) != 0; }
  // True when `key` was not held; it is then the newest.
  bool Insert(const std::wstring& key);
  std::size_t Size() const { return keys_.size(); }
  void Clear() {
    order_.clear();
    keys_.clear();
  }

 private:
  std::size_t limit_;
  std::unordered_set<std::wstring> keys_;
  // The keys in order of insertion, oldest first; elements of an unordered
  // set keep their address while they are in it.
  std::deque<const std::wstring*> order_;
};
