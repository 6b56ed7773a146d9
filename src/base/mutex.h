#pragma once
// Lock annotations for clang's -Wthread-safety, and the mutex, lock and
// condition-variable types that carry them (libstdc++'s std::mutex is not
// annotated, so the analysis cannot see it). Under other compilers the
// macros expand to nothing and the types behave as their std counterparts.
//
// A condition predicate is a lambda the analysis checks on its own, so one
// that reads guarded members says what it needs: [this]() REQUIRES(mutex_)
// { return done_; }. CondVar calls it with the lock held.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#if defined(__clang__)
#define BRIVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRIVANE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRIVANE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRIVANE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRIVANE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRIVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) BRIVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) BRIVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BRIVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) BRIVANE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) BRIVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) BRIVANE_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) BRIVANE_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS BRIVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace brivane::base {

// A plain (non-recursive) mutex the analysis can track. Taking it twice on
// one thread deadlocks, as with std::mutex.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // For code the analysis cannot follow: states that the caller holds it.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class UniqueLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope (std::lock_guard).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a Mutex for its scope, may let go and take it again, and is what a
// CondVar waits with (std::unique_lock).
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { lock_.lock(); }
  void unlock() RELEASE() { lock_.unlock(); }
  bool owns_lock() const { return lock_.owns_lock(); }

 private:
  friend class CondVar;
  std::unique_lock<std::mutex> lock_;
};

// std::condition_variable over a UniqueLock. The waits return with the lock
// held, as the analysis assumes throughout.
class CondVar {
 public:
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

  void wait(UniqueLock& lock) { cv_.wait(lock.lock_); }
  template <class Predicate>
  void wait(UniqueLock& lock, Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    cv_.wait(lock.lock_, std::move(pred));
  }
  template <class Rep, class Period>
  std::cv_status wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d) {
    return cv_.wait_for(lock.lock_, d);
  }
  template <class Rep, class Period, class Predicate>
  bool wait_for(UniqueLock& lock, const std::chrono::duration<Rep, Period>& d,
                Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_for(lock.lock_, d, std::move(pred));
  }
  template <class Clock, class Duration>
  std::cv_status wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t) {
    return cv_.wait_until(lock.lock_, t);
  }
  template <class Clock, class Duration, class Predicate>
  bool wait_until(UniqueLock& lock, const std::chrono::time_point<Clock, Duration>& t,
                  Predicate pred) NO_THREAD_SAFETY_ANALYSIS {
    return cv_.wait_until(lock.lock_, t, std::move(pred));
  }

 private:
  std::condition_variable cv_;
};

}  // namespace brivane::base
