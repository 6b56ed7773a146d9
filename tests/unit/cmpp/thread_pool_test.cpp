#include "cmpp/thread_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/log.h"
#include "support/gate.h"
#include "support/process.h"

namespace brivane::cmpp {
namespace {

using namespace std::chrono_literals;

using test::Gate;

struct Tally {
  std::atomic<int> executed{0};
  std::atomic<int> destroyed{0};
};

// Shared ownership of the tally: an item may die after the test body.
struct TestItem : WorkItem {
  TestItem(std::shared_ptr<Tally> t, std::function<void()> b)
      : tally(std::move(t)), body(std::move(b)) {}
  ~TestItem() override { ++tally->destroyed; }
  std::shared_ptr<Tally> tally;
  std::function<void()> body;
};

class TestWorker final : public IWorker {
 public:
  void Execute(WorkItem& item) override {
    auto& test = static_cast<TestItem&>(item);
    ++test.tally->executed;
    if (test.body) test.body();
  }
};

TestWorker gWorker;  // outlives any worker left running by a test

std::unique_ptr<WorkItem> Item(const std::shared_ptr<Tally>& tally,
                               std::function<void()> body = {}) {
  return std::make_unique<TestItem>(tally, std::move(body));
}

std::size_t OsThreads() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// The thread count before a test starts any; a first thread is made and
// joined so that helper threads a sanitizer starts on first use are counted.
// A joined thread leaves the task list a moment after the join returns, so
// the count is read once it has held still for a few samples.
std::size_t BaselineThreads() {
  std::thread([] {}).join();
  std::size_t last = OsThreads();
  int still = 0;
  for (int i = 0; i < 200 && still < 5; ++i) {
    std::this_thread::sleep_for(5ms);
    const std::size_t now = OsThreads();
    still = now == last ? still + 1 : 0;
    last = now;
  }
  return last;
}

// A pool of `workers` of which `busy` are held inside Execute by gate.
void HoldBusy(CThreadPool& pool, int busy, Gate& gate, const std::shared_ptr<Tally>& tally) {
  for (int i = 0; i < busy; ++i) pool.Post(gWorker, Item(tally, [&gate] { gate.Wait(); }));
  ASSERT_TRUE(test::WaitFor([&] { return pool.BusyCount() == std::size_t(busy); }, 10s));
}

TEST(ThreadPool, LoadLevelFollowsTheShareOfBusyWorkersBoundsIncluded) {
  const std::vector<std::pair<int, int>> cases = {
      {0, CThreadPool::kLoadIdle},   {1, CThreadPool::kLoadIdle},   {2, CThreadPool::kLoadNormal},
      {5, CThreadPool::kLoadNormal}, {8, CThreadPool::kLoadNormal}, {9, CThreadPool::kLoadBusy},
      {10, CThreadPool::kLoadBusy}};
  for (const auto& [busy, level] : cases) {
    Gate gate;
    auto tally = std::make_shared<Tally>();
    CThreadPool pool;
    ASSERT_TRUE(pool.Start(10, 10));
    HoldBusy(pool, busy, gate, tally);
    EXPECT_EQ(pool.LoadLevel(), level) << busy << " of 10 busy";
    gate.Open();
    pool.Stop();
  }
}

TEST(ThreadPool, EmptyTableHasNormalLoad) {
  CThreadPool pool;
  EXPECT_EQ(pool.LoadLevel(), CThreadPool::kLoadNormal);
  ASSERT_TRUE(pool.Start(0, 4));
  EXPECT_EQ(pool.ThreadCount(), 0u);
  EXPECT_EQ(pool.LoadLevel(), CThreadPool::kLoadNormal);
}

TEST(ThreadPool, ManagerGrowsByTwoAboveFourFifthsBusyAndNotAtExactlyFourFifths) {
  for (int busy : {9, 8}) {
    Gate gate;
    auto tally = std::make_shared<Tally>();
    CThreadPool pool(100ms);
    ASSERT_TRUE(pool.Start(10, 20));
    HoldBusy(pool, busy, gate, tally);
    const std::size_t expected = busy == 9 ? 12 : 10;
    EXPECT_TRUE(test::WaitFor([&] { return pool.ThreadCount() == expected; }, 10s)) << busy;
    // 9 of 12 is 0.75: no further growth in the next periods.
    EXPECT_FALSE(test::WaitFor([&] { return pool.ThreadCount() != expected; }, 500ms)) << busy;
    gate.Open();
  }
}

TEST(ThreadPool, GrowStopsAtTheMaximumAndDoesNothingWhileStopped) {
  CThreadPool pool;
  pool.Grow();
  EXPECT_EQ(pool.ThreadCount(), 0u);
  ASSERT_TRUE(pool.Start(3, 4));
  pool.Grow();
  EXPECT_EQ(pool.ThreadCount(), 4u);
  pool.Grow();
  EXPECT_EQ(pool.ThreadCount(), 4u);
}

TEST(ThreadPool, IdleManagerRetiresTwoThenOneThenNoneAndTheThreadsEnd) {
  const std::size_t before = BaselineThreads();
  CThreadPool pool(300ms);
  ASSERT_TRUE(pool.Start(17, 20));
  pool.Grow();
  pool.Grow();
  EXPECT_EQ(OsThreads(), before + 21);  // 20 workers and the manager
  // Sample the count for six periods and keep the values that held for 50 ms
  // or more; the two retirements of one round land a moment
  // apart, so 19 shows only in passing.
  using Clock = std::chrono::steady_clock;
  std::vector<std::size_t> held;
  std::size_t value = pool.ThreadCount(), lowest = value;
  Clock::time_point since = Clock::now();
  const auto end = since + 2000ms;
  for (Clock::time_point now = since; now < end; now = Clock::now()) {
    const std::size_t count = pool.ThreadCount();
    lowest = std::min(lowest, count);
    if (count != value) {
      value = count;
      since = now;
    } else if (now - since >= 50ms && (held.empty() || held.back() != value)) {
      held.push_back(value);
    }
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(held, (std::vector<std::size_t>{20, 18, 17}));
  EXPECT_EQ(lowest, 17u);
  EXPECT_TRUE(test::WaitFor([&] { return OsThreads() == before + 18; }, 5s));
}

TEST(ThreadPool, StopRunsWhatWasQueuedAheadOfItThenEndsEveryThread) {
  const std::size_t before = BaselineThreads();
  Gate gate;
  auto tally = std::make_shared<Tally>();
  CThreadPool pool;
  ASSERT_TRUE(pool.Start(2, 2));
  HoldBusy(pool, 2, gate, tally);
  for (int i = 0; i < 50; ++i) pool.Post(gWorker, Item(tally));
  // Open the gate once Stop has ended the manager, so the 50 are still queued.
  std::thread opener([&] {
    test::WaitFor([&] { return OsThreads() == before + 3; }, 10s, 1ms);  // workers and opener
    gate.Open();
  });
  pool.Stop();
  opener.join();
  EXPECT_EQ(tally->executed, 52);
  EXPECT_EQ(tally->destroyed, 52);
  EXPECT_EQ(pool.ThreadCount(), 0u);
  // A joined thread can still be listed for a moment: join returns when the
  // thread has ended, a little before the kernel lets its entry go.
  EXPECT_TRUE(test::WaitFor([&] { return OsThreads() == before; }, 5s)) << OsThreads();
}

TEST(ThreadPool, StuckWorkerIsDetachedAndLoggedWithinTheBoundAndOutlivesThePool) {
  test::TempDir dir;
  ASSERT_TRUE(base::OpenLog(dir.File("brivane.log"), 3));
  const std::size_t before = BaselineThreads();
  auto pool = std::make_unique<CThreadPool>(60s, 300ms);
  auto gate = std::make_shared<Gate>();
  auto tally = std::make_shared<Tally>();
  ASSERT_TRUE(pool->Start(1, 1));
  pool->Post(gWorker, Item(tally, [gate] { gate->Wait(); }));
  ASSERT_TRUE(test::WaitFor([&] { return pool->BusyCount() == 1; }, 10s));
  for (int i = 0; i < 10; ++i) pool->Post(gWorker, Item(tally));

  const auto start = std::chrono::steady_clock::now();
  pool->Stop();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 3s);
  EXPECT_EQ(tally->executed, 1);
  EXPECT_EQ(tally->destroyed, 10) << "queued items are released unrun";
  EXPECT_EQ(pool->ThreadCount(), 0u);

  // The stuck worker finishes after its pool is gone.
  pool.reset();
  gate->Open();
  EXPECT_TRUE(test::WaitFor([&] { return tally->destroyed == 11; }, 10s));
  EXPECT_TRUE(test::WaitFor([&] { return OsThreads() == before; }, 10s));
  base::FlushLog();
  const std::string log = test::ReadFile(dir.File("brivane.log"));
  EXPECT_NE(
      log.find("ERROR|CThreadPool::Stop: worker 1 still running after 300 ms, left detached;"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR|CThreadPool::Stop: 10 queued items released without being run;"),
            std::string::npos)
      << log;
  base::CloseLog();
}

TEST(ThreadPool, PostBeforeStartOrAfterStopReleasesTheItemUnrun) {
  CThreadPool pool;
  auto tally = std::make_shared<Tally>();
  pool.Post(gWorker, Item(tally));
  ASSERT_TRUE(pool.Start(2, 2));
  pool.Stop();
  pool.Post(gWorker, Item(tally));
  EXPECT_EQ(tally->executed, 0);
  EXPECT_EQ(tally->destroyed, 2);
}

TEST(ThreadPool, RestartedPoolRunsItemsAndCountsOnlyItsOwnWorkers) {
  const std::size_t before = BaselineThreads();
  CThreadPool pool;
  auto tally = std::make_shared<Tally>();
  ASSERT_TRUE(pool.Start(4, 8));
  EXPECT_FALSE(pool.Start(4, 8)) << "already running";
  pool.Stop();
  pool.Stop();
  ASSERT_TRUE(pool.Start(3, 8));
  EXPECT_EQ(pool.ThreadCount(), 3u);
  // The first run's threads are joined but may linger in the task list.
  EXPECT_TRUE(test::WaitFor([&] { return OsThreads() == before + 4; }, 5s)) << OsThreads();
  for (int i = 0; i < 20; ++i) pool.Post(gWorker, Item(tally));
  EXPECT_TRUE(test::WaitFor([&] { return tally->destroyed == 20; }, 10s));
  EXPECT_EQ(tally->executed, 20);
}

TEST(ThreadPool, PostsRacingStopAreEachRunOrReleasedExactlyOnce) {
  auto tally = std::make_shared<Tally>();
  std::atomic<int> posted{0};
  std::atomic<bool> quit{false};
  {
    CThreadPool pool;
    ASSERT_TRUE(pool.Start(8, 8));
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p) {
      posters.emplace_back([&] {
        while (!quit) {
          pool.Post(gWorker, Item(tally));
          ++posted;
        }
      });
    }
    test::WaitFor([&] { return posted > 20000; }, 10s, 1ms);
    pool.Stop();
    test::WaitFor([&] { return posted > 30000; }, 10s, 1ms);
    quit = true;
    for (auto& t : posters) t.join();
  }
  EXPECT_GT(tally->executed, 0);
  EXPECT_LT(tally->executed, posted);
  EXPECT_EQ(tally->destroyed, posted);
}

TEST(ThreadPool, ExceptionFromExecuteIsLoggedAndTheWorkerGoesOn) {
  test::TempDir dir;
  ASSERT_TRUE(base::OpenLog(dir.File("brivane.log"), 2));
  CThreadPool pool;
  auto tally = std::make_shared<Tally>();
  ASSERT_TRUE(pool.Start(1, 1));
  pool.Post(gWorker, Item(tally, [] { throw std::runtime_error("boom"); }));
  pool.Post(gWorker, Item(tally));
  EXPECT_TRUE(test::WaitFor([&] { return tally->destroyed == 2; }, 10s));
  EXPECT_EQ(tally->executed, 2);
  pool.Stop();
  base::FlushLog();
  EXPECT_NE(test::ReadFile(dir.File("brivane.log")).find("EXCEPTION|CThreadPool::Execute|ERR="),
            std::string::npos);
  EXPECT_NE(test::ReadFile(dir.File("brivane.log")).find("|boom;"), std::string::npos);
  base::CloseLog();
}

}  // namespace
}  // namespace brivane::cmpp
