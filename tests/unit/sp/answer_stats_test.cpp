// The SMG answer statistics: latency buckets at and around their bounds,
// cumulative counts, the sum, and Results from the peer kept to a bounded
// set of series.

#include "sp/answer_stats.h"

#include <gtest/gtest.h>

namespace brivane::sp {
namespace {

using std::chrono::microseconds;

std::size_t IndexOfBound(std::int64_t ms) {
  for (std::size_t i = 0; i < AnswerStats::kBoundsMs.size(); ++i)
    if (AnswerStats::kBoundsMs[i] == ms) return i;
  return AnswerStats::kBoundsMs.size();  // +Inf
}

TEST(AnswerStats, LatencyLandsInTheFirstBucketItDoesNotExceed) {
  struct Case {
    std::int64_t us;
    std::int64_t bucketMs;  // 0 for +Inf only
  };
  const Case cases[] = {
      {0, 5},       {4999, 5},     {5000, 5},         {5001, 10},    {10000, 10},
      {99999, 100}, {100001, 250}, {60000000, 60000}, {60000001, 0}, {-3000, 5},
  };
  for (const Case& c : cases) {
    AnswerStats stats;
    stats.AddLatency(microseconds(c.us));
    const AnswerStats::Snapshot s = stats.Take();
    const std::size_t first = c.bucketMs ? IndexOfBound(c.bucketMs) : AnswerStats::kBoundsMs.size();
    for (std::size_t i = 0; i < s.buckets.size(); ++i)
      EXPECT_EQ(s.buckets[i], i >= first ? 1u : 0u) << c.us << " us, bucket " << i;
  }
}

TEST(AnswerStats, BucketsAreCumulativeAndTheSumInSeconds) {
  AnswerStats stats;
  for (std::int64_t us : {1000, 7000, 7000, 2000000, 90000000}) stats.AddLatency(microseconds(us));
  const AnswerStats::Snapshot s = stats.Take();
  EXPECT_EQ(s.buckets[IndexOfBound(5)], 1u);
  EXPECT_EQ(s.buckets[IndexOfBound(10)], 3u);
  EXPECT_EQ(s.buckets[IndexOfBound(1000)], 3u);
  EXPECT_EQ(s.buckets[IndexOfBound(2500)], 4u);
  EXPECT_EQ(s.buckets[IndexOfBound(60000)], 4u);
  EXPECT_EQ(s.buckets.back(), 5u);
  EXPECT_DOUBLE_EQ(s.sumSeconds, 92.015);
}

TEST(AnswerStats, ResultsAreCountedEachAndHighOnesTogether) {
  AnswerStats stats;
  for (std::uint32_t r : {0u, 0u, 8u, 0u, 255u, 256u, 0xFFFFFFFFu}) stats.CountResult(r);
  const AnswerStats::Snapshot s = stats.Take();
  const std::vector<std::pair<std::uint32_t, std::uint64_t>> expected = {{0, 3}, {8, 1}, {255, 1}};
  EXPECT_EQ(s.results, expected);
  EXPECT_EQ(s.otherResults, 2u);
}

}  // namespace
}  // namespace brivane::sp
