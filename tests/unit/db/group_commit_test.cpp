#include "db/group_commit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace brivane::db {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A runner that records each batch (by the calls' ids) and, while `hold`
// is set, keeps the first batch running so that the others queue up.
struct Recorder {
  std::mutex mutex;
  std::condition_variable cv;
  bool hold = true;
  std::vector<std::vector<int>> batches;
  std::map<const BatchCall*, int> ids;
  int refuse = -1;  // the id whose call fails

  GroupCommit::Runner Runner() {
    return [this](const std::vector<BatchCall*>& batch) {
      std::unique_lock lock(mutex);
      std::vector<int> seen;
      for (BatchCall* c : batch) {
        seen.push_back(ids.at(c));
        c->ok = ids.at(c) != refuse;
      }
      batches.push_back(seen);
      cv.wait(lock, [&] { return !hold; });
    };
  }
  void Release() {
    std::lock_guard lock(mutex);
    hold = false;
    cv.notify_all();
  }
};

// One caller leads a batch of itself; the calls arriving meanwhile form the
// next batches, each at most maxCalls long, in arrival order. Every call runs
// once and its caller gets its own outcome.
TEST(GroupCommit, CallsArrivingDuringABatchGoInTheNextOnesWithinTheBound) {
  const struct {
    std::size_t maxCalls;
    int waiting;  // callers queued behind the first
    std::vector<std::size_t> sizes;
  } cases[] = {
      {100, 9, {1, 9}},
      {4, 9, {1, 4, 4, 1}},
      {1, 3, {1, 1, 1, 1}},
      {3, 3, {1, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "max " << c.maxCalls << ", " << c.waiting << " waiting");
    GroupCommit group;
    group.SetBounds(BatchBounds{c.maxCalls, 0ms});
    Recorder recorder;
    recorder.refuse = 2;
    const int total = c.waiting + 1;
    std::vector<std::unique_ptr<BatchCall>> calls;
    for (int i = 0; i < total; ++i) {
      calls.push_back(std::make_unique<BatchCall>());
      recorder.ids[calls.back().get()] = i;
    }
    std::vector<int> results(total, -1);
    std::vector<std::thread> threads;
    auto start = [&](int i) {
      threads.emplace_back(
          [&, i] { results[i] = group.Run(*calls[i], recorder.Runner()) ? 1 : 0; });
    };
    start(0);
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard lock(recorder.mutex);
      return recorder.batches.size() == 1;
    }));
    // Queue the others one at a time, so their order is known.
    for (int i = 1; i < total; ++i) {
      start(i);
      ASSERT_TRUE(WaitFor([&] { return group.Queued() == static_cast<std::size_t>(i); }));
    }
    EXPECT_EQ(results[1], -1) << "a caller returned before its call ran";
    recorder.Release();
    for (auto& t : threads) t.join();

    std::vector<std::size_t> sizes;
    std::vector<int> order;
    for (const auto& b : recorder.batches) {
      sizes.push_back(b.size());
      order.insert(order.end(), b.begin(), b.end());
    }
    EXPECT_EQ(sizes, c.sizes);
    std::vector<int> expected(total);
    for (int i = 0; i < total; ++i) expected[i] = i;
    EXPECT_EQ(order, expected) << "each call once, in arrival order";
    for (int i = 0; i < total; ++i) EXPECT_EQ(results[i], i == 2 ? 0 : 1) << "call " << i;
    EXPECT_EQ(group.Queued(), 0u);
  }
}

// With a wait, a leader holds its batch open until it is full or the wait
// ends: a lone call runs after about the wait, a full batch at once.
TEST(GroupCommit, ALeaderWaitsForTheBatchToFillButNoLongerThanTheWait) {
  GroupCommit group;
  group.SetBounds(BatchBounds{3, 300ms});
  std::atomic<int> batches{0};
  std::atomic<std::size_t> largest{0};
  GroupCommit::Runner runner = [&](const std::vector<BatchCall*>& batch) {
    ++batches;
    largest = std::max(largest.load(), batch.size());
    for (BatchCall* c : batch) c->ok = true;
  };
  BatchCall lone;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(group.Run(lone, runner));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);

  batches = 0;
  group.SetBounds(BatchBounds{3, 10s});
  std::vector<std::thread> threads;
  BatchCall calls[3];
  const auto t1 = std::chrono::steady_clock::now();
  for (BatchCall& c : calls) threads.emplace_back([&] { EXPECT_TRUE(group.Run(c, runner)); });
  for (auto& t : threads) t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t1, 5s) << "a full batch did not wait";
  EXPECT_EQ(batches.load(), 1);
  EXPECT_EQ(largest.load(), 3u);
}

TEST(GroupCommit, BoundsAreKeptWithinTheirLimits) {
  const struct {
    std::size_t calls;
    std::chrono::milliseconds wait;
    std::size_t keptCalls;
    std::chrono::milliseconds keptWait;
  } cases[] = {
      {0, 0ms, 1, 0ms},
      {100, 5ms, 100, 5ms},
      {1000000, 100000ms, BatchBounds::kMaxMaxCalls, BatchBounds::kMaxMaxWait},
      {5, -3ms, 5, 0ms},
  };
  for (const auto& c : cases) {
    GroupCommit group;
    group.SetBounds(BatchBounds{c.calls, c.wait});
    EXPECT_EQ(group.Bounds().maxCalls, c.keptCalls);
    EXPECT_EQ(group.Bounds().maxWait, c.keptWait);
  }
}

}  // namespace
}  // namespace brivane::db
