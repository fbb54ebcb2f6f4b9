// The lock policies of classification: a parallel pass locks what its
// threads share, a sequential one takes no lock at all.
#pragma once

#include <mutex>

// Locks a mutex when one is given; sequential passes give none.
class MaybeLock {
 public:
  explicit MaybeLock(std::mutex* m) : m_(m) {
    if (m_) m_->lock();
  }
  ~MaybeLock() {
    if (m_) m_->unlock();
  }
  MaybeLock(const MaybeLock&) = delete;
  MaybeLock& operator=(const MaybeLock&) = delete;

 private:
  std::mutex* m_;
};

// The lock policy of sequential work: nothing to lock.
struct NoLock {
  explicit NoLock(std::mutex*) {}
};
