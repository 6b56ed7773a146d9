#include "sp/flow_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace brivane::sp {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(FlowControlPause, DoublesFromTheFirstPauseAndStopsAtTheBound) {
  const struct {
    std::int64_t firstMs;
    std::uint32_t writes;
    std::int64_t expectedMs;
  } cases[] = {
      {1000, 0, 1000},   {1000, 1, 1000},  {1000, 2, 2000},   {1000, 3, 4000},
      {1000, 5, 16000},  {1000, 6, 30000}, {1000, 40, 30000}, {250, 3, 1000},
      {60000, 1, 30000}, {0, 1, 1},        {-5, 2, 2},        {1, 4000000000u, 30000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstMs << " ms, " << c.writes << " writes");
    FlowControlSettings s;
    s.firstPause = std::chrono::milliseconds(c.firstMs);
    EXPECT_EQ(FlowControlPause(s, c.writes).count(), c.expectedMs);
  }
}

TEST(LinkRateCap, SpacesEachLinksSlotsByTheIntervalAndLinksAreIndependent) {
  const Clock::time_point t0 = Clock::now();
  const struct {
    const char* link;
    std::chrono::milliseconds at;
    std::chrono::milliseconds slot;
  } steps[] = {
      {"A", 0ms, 0ms},      // idle link: now
      {"A", 0ms, 20ms},     // the next slot, 1/50 s later
      {"A", 5ms, 40ms},     // still queued behind it
      {"B", 5ms, 5ms},      // another link does not wait for A
      {"A", 100ms, 100ms},  // idle again: no saved-up burst
      {"A", 101ms, 120ms},
  };
  LinkRateCap cap(50);
  for (const auto& s : steps) {
    SCOPED_TRACE(testing::Message() << s.link << " at " << s.at.count());
    EXPECT_EQ(cap.Reserve(s.link, t0 + s.at) - t0, std::chrono::nanoseconds(s.slot));
  }
}

TEST(LinkRateCap, WithoutACapEverySlotIsNowAndARateThatDoesNotDivideASecondHolds) {
  const Clock::time_point t0 = Clock::now();
  LinkRateCap none;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(none.Reserve("A", t0), t0);

  LinkRateCap cap(3);
  Clock::time_point last;
  for (int i = 0; i < 301; ++i) last = cap.Reserve("A", t0);
  // 300 intervals of 1/3 s: 100 s, short by at most a nanosecond each.
  EXPECT_LE(last - t0, 100s);
  EXPECT_GE(last - t0, 100s - 300ns);
}

std::unique_ptr<cmpp::CmppSubmit> Segment(std::uint64_t id) {
  auto s = std::make_unique<cmpp::CmppSubmit>();
  s->recordId = id;
  return s;
}

TEST(FlowRetryQueue, ResendsInTheOrderOfTheirTimesNotBeforeAndGivesBackWhatWasNotDue) {
  std::mutex m;
  std::vector<std::pair<std::uint64_t, Clock::time_point>> sent;
  FlowRetryQueue q([&](FlowRetryQueue::Entry& e) {
    std::lock_guard lock(m);
    sent.emplace_back(e.segment->recordId, Clock::now());
  });
  FlowRetryQueue::Entry early{Segment(1), "m", {}};
  EXPECT_FALSE(q.Add(early)) << "a queue not started takes nothing";
  ASSERT_NE(early.segment, nullptr) << "and leaves the entry with the caller";

  q.Start();
  const Clock::time_point t0 = Clock::now();
  const struct {
    std::uint64_t id;
    std::chrono::milliseconds due;
  } entries[] = {{3, 120ms}, {1, 20ms}, {2, 60ms}, {9, 60s}};
  for (const auto& e : entries) {
    FlowRetryQueue::Entry entry{Segment(e.id), "m" + std::to_string(e.id), t0 + e.due};
    ASSERT_TRUE(q.Add(entry));
  }
  const Clock::time_point deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(m);
      if (sent.size() >= 3) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(q.Size(), 1u);
  const auto left = q.Stop();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].segment->recordId, 9u);
  EXPECT_EQ(left[0].msgId, "m9");

  std::lock_guard lock(m);
  ASSERT_EQ(sent.size(), 3u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].first, i + 1);
    EXPECT_GE(sent[i].second, t0 + entries[i == 0 ? 1 : i == 1 ? 2 : 0].due) << "resent early";
  }
  FlowRetryQueue::Entry late{Segment(5), "m", {}};
  EXPECT_FALSE(q.Add(late)) << "a stopped queue takes nothing";
}

}  // namespace
}  // namespace brivane::sp
