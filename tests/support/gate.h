#pragma once
// Gate: holds every thread that waits on it until a test opens it, for work
// items kept busy on purpose. Open and Wait may be called from any thread.
// Header-only.

#include <condition_variable>
#include <mutex>

namespace brivane::test {

class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;  // guarded by mutex_
};

}  // namespace brivane::test
