// Must NOT compile under -Wthread-safety -Werror: a condition predicate
// reads a guarded member without saying which lock it needs.
#include "base/mutex.h"

struct Queue {
  brivane::base::Mutex mutex_;
  brivane::base::CondVar cv_;
  bool ready_ GUARDED_BY(mutex_) = true;
  void Wait() {
    brivane::base::UniqueLock lock(mutex_);
    cv_.wait(lock, [this] { return ready_; });
  }
};

int main() { Queue().Wait(); }
