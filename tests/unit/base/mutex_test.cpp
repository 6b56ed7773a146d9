#include "base/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace brivane::base {
namespace {

using std::chrono::milliseconds;

// Whether the calling thread could take the mutex (let go again at once).
bool Free(Mutex& mutex) {
  if (!mutex.try_lock()) return false;
  mutex.unlock();
  return true;
}

TEST(Mutex, UniqueLockLetsGoAndTakesAgain) {
  Mutex mutex;
  UniqueLock lock(mutex);
  EXPECT_TRUE(lock.owns_lock());
  lock.unlock();
  EXPECT_FALSE(lock.owns_lock());
  {
    // Free while let go: another thread can take it.
    std::thread other([&] { EXPECT_TRUE(Free(mutex)) << "held after unlock()"; });
    other.join();
  }
  lock.lock();
  EXPECT_TRUE(lock.owns_lock());
  std::thread other([&] { EXPECT_FALSE(Free(mutex)) << "free after lock()"; });
  other.join();
}

TEST(Mutex, MutexLockReleasesAtScopeEnd) {
  Mutex mutex;
  { MutexLock lock(mutex); }
  EXPECT_TRUE(Free(mutex));
}

// The waits with a predicate answer what the predicate last said, whether
// they were woken or ran out of time.
TEST(CondVar, PredicateWaitsAnswerThePredicate) {
  struct Case {
    const char* name;
    bool setFlag;  // another thread sets the flag and notifies
  };
  for (const Case& c : {Case{"woken", true}, Case{"timed out", false}}) {
    SCOPED_TRACE(c.name);
    Mutex mutex;
    CondVar cv;
    bool flag = false;
    std::thread setter;
    if (c.setFlag) {
      setter = std::thread([&] {
        MutexLock lock(mutex);
        flag = true;
        cv.notify_all();
      });
    }
    UniqueLock lock(mutex);
    // Long enough never to run out under load when the flag is set.
    const auto wait = c.setFlag ? milliseconds(30000) : milliseconds(20);
    EXPECT_EQ(cv.wait_for(lock, wait, [&] { return flag; }), c.setFlag);
    EXPECT_EQ(
        cv.wait_until(lock, std::chrono::steady_clock::now() + milliseconds(c.setFlag ? 30000 : 5),
                      [&] { return flag; }),
        c.setFlag);
    EXPECT_TRUE(lock.owns_lock());
    lock.unlock();
    if (setter.joinable()) setter.join();
  }
}

TEST(CondVar, WaitReturnsOnceThePredicateHolds) {
  Mutex mutex;
  CondVar cv;
  int stage = 0;
  std::thread producer([&] {
    for (int i = 1; i <= 3; ++i) {
      MutexLock lock(mutex);
      stage = i;
      cv.notify_one();
    }
  });
  UniqueLock lock(mutex);
  cv.wait(lock, [&] { return stage == 3; });
  EXPECT_EQ(stage, 3);
  lock.unlock();
  producer.join();
}

}  // namespace
}  // namespace brivane::base
