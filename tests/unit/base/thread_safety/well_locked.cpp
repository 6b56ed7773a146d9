// Must compile under -Wthread-safety -Werror: the patterns the tree uses.
#include "base/mutex.h"
#include "cmpp/sync.h"

struct Queue {
  brivane::base::Mutex mutex_;
  brivane::base::CondVar cv_;
  bool ready_ GUARDED_BY(mutex_) = false;
  brivane::cmpp::MyMutex listLock_;
  int links_ GUARDED_BY(listLock_) = 0;

  void SetLocked() REQUIRES(mutex_) { ready_ = true; }
  void Set() {
    brivane::base::MutexLock lock(mutex_);
    SetLocked();
    cv_.notify_all();
  }
  bool Wait() {
    brivane::base::UniqueLock lock(mutex_);
    cv_.wait(lock, [this]() REQUIRES(mutex_) { return ready_; });
    lock.unlock();
    lock.lock();
    return ready_;
  }
  int Links() {
    brivane::cmpp::MySyncGuard guard(listLock_);
    return links_;
  }
};

int main() {
  Queue q;
  q.Set();
  return q.Wait() ? q.Links() : 1;
}
