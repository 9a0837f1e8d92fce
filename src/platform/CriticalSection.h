// Re-entrant lock and its scope guard, the replacements for the framework's
// critical section and single-lock classes.
#pragma once

#include <mutex>

// A re-entrant mutual-exclusion lock: the owning thread may take it again.
class CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Lock() { mutex_.lock(); }
  bool TryLock() { return mutex_.try_lock(); }
  void Unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a critical section for its scope. Lock and Unlock may be called in
// between; the destructor releases it when still held.
class CSingleLock {
 public:
  explicit CSingleLock(CCriticalSection* section, bool lockNow = true) : section_(section) {
    if (lockNow) Lock();
  }
  ~CSingleLock() { Unlock(); }
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

  void Lock() {
    if (section_ && !locked_) {
      section_->Lock();
      locked_ = true;
    }
  }
  void Unlock() {
    if (section_ && locked_) {
      locked_ = false;
      section_->Unlock();
    }
  }
  bool IsLocked() const { return locked_; }

 private:
  CCriticalSection* section_;
  bool locked_ = false;
};
