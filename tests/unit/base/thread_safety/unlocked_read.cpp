// Must NOT compile under -Wthread-safety -Werror: reads a guarded member
// without its lock.
#include "base/mutex.h"

struct Counter {
  brivane::base::Mutex mutex_;
  int value_ GUARDED_BY(mutex_) = 0;
  int Read() { return value_; }
};

int main() { return Counter().Read(); }
