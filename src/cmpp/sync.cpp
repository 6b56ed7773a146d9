#include "cmpp/sync.h"

namespace brivane::cmpp {

void MyCriticalSection::Lock() { mutex_.lock(); }

void MyCriticalSection::Unlock() { mutex_.unlock(); }

void MyMutex::Lock() { mutex_.lock(); }

void MyMutex::Unlock() { mutex_.unlock(); }

}  // namespace brivane::cmpp
