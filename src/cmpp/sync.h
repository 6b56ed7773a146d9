#pragma once
// The engine's lock types. MySync is the abstract lock the links, the client,
// the worker pool and the long-message store hold by reference; Lock and
// Unlock are its only operations. MyCriticalSection is the re-entrant lock
// behind it: the thread that holds it may take it again, and must release it
// as often as it took it.

#include <mutex>

namespace brivane::cmpp {

class MySync {
 public:
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual ~MySync() = default;

  // Standard spelling, so std::unique_lock and std::condition_variable_any
  // accept any MySync.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 protected:
  MySync() = default;
  MySync(const MySync&) = delete;
  MySync& operator=(const MySync&) = delete;
};

class MyCriticalSection final : public MySync {
 public:
  MyCriticalSection() = default;
  void Lock() override;
  void Unlock() override;

 private:
  std::recursive_mutex mutex_;
};

// Holds a MySync for the guard's scope.
class MySyncGuard {
 public:
  explicit MySyncGuard(MySync& sync) : sync_(sync) { sync_.Lock(); }
  ~MySyncGuard() { sync_.Unlock(); }
  MySyncGuard(const MySyncGuard&) = delete;
  MySyncGuard& operator=(const MySyncGuard&) = delete;

 private:
  MySync& sync_;
};

}  // namespace brivane::cmpp
