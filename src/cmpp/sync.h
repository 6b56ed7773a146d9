#pragma once
// The engine's lock types. MySync is the abstract lock the links, the client,
// the worker pool and the long-message store hold by reference; Lock and
// Unlock are its only operations. MyCriticalSection is the re-entrant lock
// behind it: the thread that holds it may take it again, and must release it
// as often as it took it. MyMutex is the plain one, for locks no thread ever
// takes twice; prefer it, since a second take is then a bug and not a count.

#include <mutex>

#include "base/mutex.h"

namespace brivane::cmpp {

class CAPABILITY("mutex") MySync {
 public:
  virtual void Lock() ACQUIRE() = 0;
  virtual void Unlock() RELEASE() = 0;
  virtual ~MySync() = default;

  // Standard spelling, so std::unique_lock and std::condition_variable_any
  // accept any MySync.
  void lock() ACQUIRE() { Lock(); }
  void unlock() RELEASE() { Unlock(); }

 protected:
  MySync() = default;
  MySync(const MySync&) = delete;
  MySync& operator=(const MySync&) = delete;
};

class MyCriticalSection final : public MySync {
 public:
  MyCriticalSection() = default;
  void Lock() ACQUIRE() override;
  void Unlock() RELEASE() override;

 private:
  std::recursive_mutex mutex_;
};

class MyMutex final : public MySync {
 public:
  MyMutex() = default;
  void Lock() ACQUIRE() override;
  void Unlock() RELEASE() override;

 private:
  std::mutex mutex_;
};

// Holds a MySync for the guard's scope.
class SCOPED_CAPABILITY MySyncGuard {
 public:
  explicit MySyncGuard(MySync& sync) ACQUIRE(sync) : sync_(sync) { sync_.Lock(); }
  ~MySyncGuard() RELEASE() { sync_.Unlock(); }
  MySyncGuard(const MySyncGuard&) = delete;
  MySyncGuard& operator=(const MySyncGuard&) = delete;

 private:
  MySync& sync_;
};

}  // namespace brivane::cmpp
