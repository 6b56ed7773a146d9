#include "cmpp/blocking_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace brivane::cmpp {
namespace {

using namespace std::chrono_literals;

TEST(BlockingQueue, HandsOutInOrderAndTimesOutWhenEmpty) {
  BlockingQueue<int> queue;
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(queue.Push(i));
  EXPECT_EQ(queue.Pop(), 1);
  int value = 0;
  EXPECT_EQ(queue.PopFor(&value, 0ms), BlockingQueue<int>::PopResult::kValue);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(queue.Pop(), 3);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(queue.PopFor(&value, 30ms), BlockingQueue<int>::PopResult::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);
}

TEST(BlockingQueue, EveryValueReachesExactlyOneOfManyConsumers) {
  constexpr int kProducers = 4, kConsumers = 8, kPerProducer = 5000;
  BlockingQueue<int> queue;
  std::vector<std::vector<int>> received(kConsumers);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&queue, &mine = received[c]] {
      // -1 ends one consumer, so nothing is left to a Close.
      for (auto v = queue.Pop(); v && *v != -1; v = queue.Pop()) mine.push_back(*v);
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (int i = 0; i < kPerProducer; ++i) queue.Push(p * kPerProducer + i);
    });
  }
  for (auto& t : producers) t.join();
  for (int c = 0; c < kConsumers; ++c) queue.Push(-1);
  for (auto& t : threads) t.join();

  std::set<int> seen;
  std::size_t total = 0;
  for (const auto& mine : received) {
    total += mine.size();
    seen.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(total, std::size_t{kProducers * kPerProducer});
  EXPECT_EQ(seen.size(), total);
}

TEST(BlockingQueue, CloseWakesEveryWaiterRefusesPushesAndLeavesTheRestToDrain) {
  BlockingQueue<std::unique_ptr<int>> queue;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (!queue.Pop()) ++woken;
    });
  }
  waiters.emplace_back([&] {
    std::unique_ptr<int> out;
    if (queue.PopFor(&out, 60s) == BlockingQueue<std::unique_ptr<int>>::PopResult::kClosed) ++woken;
  });
  queue.Close();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 5);

  auto shared = std::make_shared<int>(7);
  BlockingQueue<std::shared_ptr<int>> refusing;
  ASSERT_TRUE(refusing.Push(shared));
  refusing.Close();
  EXPECT_FALSE(refusing.Push(shared));
  EXPECT_EQ(shared.use_count(), 2) << "a refused value must not be kept";
  EXPECT_FALSE(refusing.Pop()) << "values queued before Close are not handed out";
  auto rest = refusing.Drain();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest.front(), shared);
  EXPECT_EQ(refusing.Size(), 0u);
}

}  // namespace
}  // namespace brivane::cmpp
