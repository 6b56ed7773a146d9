#pragma once
// A first-in-first-out queue on which any number of threads may block: each
// value pushed is handed to exactly one popping thread. Push never blocks
// (the queue has no bound). Close ends the queue for good: waiting and later
// Pops return at once without a value, later Pushes are refused, and values
// still queued are never handed out; Drain takes them so their owner can
// release them. Every member is thread-safe; one mutex guards the deque and
// the closed flag.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "base/mutex.h"

namespace brivane::cmpp {

template <typename T>
class BlockingQueue {
 public:
  enum class PopResult { kValue, kTimedOut, kClosed };

  BlockingQueue() = default;
  BlockingQueue(const BlockingQueue&) = delete;
  BlockingQueue& operator=(const BlockingQueue&) = delete;

  // False when the queue is closed; the value is then dropped (destroyed
  // when this call returns, after the queue's mutex is released).
  bool Push(T value) {
    {
      base::MutexLock lock(mutex_);
      if (closed_) return false;
      items_.push_back(std::move(value));
    }
    ready_.notify_one();
    return true;
  }

  // Waits without a time limit; nullopt once the queue is closed.
  std::optional<T> Pop() {
    base::UniqueLock lock(mutex_);
    ready_.wait(lock, [this]() REQUIRES(mutex_) { return closed_ || !items_.empty(); });
    if (closed_) return std::nullopt;
    return Take();
  }

  // Waits at most timeout for a value, which is moved into *out.
  PopResult PopFor(T* out, std::chrono::milliseconds timeout) {
    base::UniqueLock lock(mutex_);
    if (!ready_.wait_for(lock, timeout,
                         [this]() REQUIRES(mutex_) { return closed_ || !items_.empty(); })) {
      return PopResult::kTimedOut;
    }
    if (closed_) return PopResult::kClosed;
    *out = Take();
    return PopResult::kValue;
  }

  // Wakes every waiting thread; idempotent.
  void Close() {
    {
      base::MutexLock lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

  // Removes and returns every value still queued, open or closed.
  std::deque<T> Drain() {
    base::MutexLock lock(mutex_);
    return std::exchange(items_, {});
  }

  std::size_t Size() const {
    base::MutexLock lock(mutex_);
    return items_.size();
  }

  bool Closed() const {
    base::MutexLock lock(mutex_);
    return closed_;
  }

 private:
  T Take() REQUIRES(mutex_) {
    T value = std::move(items_.front());
    items_.pop_front();
    return value;
  }

  mutable base::Mutex mutex_;
  base::CondVar ready_;
  std::deque<T> items_ GUARDED_BY(mutex_);
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace brivane::cmpp
