#include "sp/answer_stats.h"

#include <algorithm>

namespace brivane::sp {

void AnswerStats::CountResult(std::uint32_t result) {
  if (result > kHighestResultCounted)
    otherResults_.fetch_add(1, std::memory_order_relaxed);
  else
    results_[result].fetch_add(1, std::memory_order_relaxed);
}

void AnswerStats::AddLatency(std::chrono::microseconds latency) {
  const std::int64_t us = std::max<std::int64_t>(0, latency.count());
  // The first bound the latency does not exceed; past the last, +Inf.
  const auto at = std::lower_bound(kBoundsMs.begin(), kBoundsMs.end(), (us + 999) / 1000);
  buckets_[static_cast<std::size_t>(at - kBoundsMs.begin())].fetch_add(1,
                                                                       std::memory_order_relaxed);
  sumMicroseconds_.fetch_add(us, std::memory_order_relaxed);
}

AnswerStats::Snapshot AnswerStats::Take() const {
  Snapshot s;
  for (std::uint32_t r = 0; r <= kHighestResultCounted; ++r) {
    const std::uint64_t n = results_[r].load(std::memory_order_relaxed);
    if (n) s.results.emplace_back(r, n);
  }
  s.otherResults = otherResults_.load(std::memory_order_relaxed);
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    s.buckets[i] = running;
  }
  s.sumSeconds = static_cast<double>(sumMicroseconds_.load(std::memory_order_relaxed)) / 1e6;
  return s;
}

}  // namespace brivane::sp
