// Must NOT compile under -Wthread-safety -Werror: calls a REQUIRES helper
// without the lock.
#include "base/mutex.h"

struct Flag {
  brivane::base::Mutex mutex_;
  bool set_ GUARDED_BY(mutex_) = false;
  void SetLocked() REQUIRES(mutex_) { set_ = true; }
  void Set() { SetLocked(); }
};

int main() { Flag().Set(); }
