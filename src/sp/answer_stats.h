#pragma once
// What the SMG answered to our submits: a count per SUBMIT_RESP Result and
// the time from writing a segment to its answer as histogram buckets. Link
// workers record, a metrics page takes snapshots; every member is atomic,
// so neither side waits for the other. It does not store or render.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

namespace brivane::sp {

class AnswerStats {
 public:
  // Upper bounds of the latency buckets, in milliseconds; answers slower
  // than the last fall in the implicit +Inf bucket only.
  static constexpr std::array<std::int64_t, 13> kBoundsMs = {
      5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000, 60000};
  // Results above this are counted together: the value comes from the
  // peer, and each distinct one would otherwise become a series of its own.
  static constexpr std::uint32_t kHighestResultCounted = 255;

  struct Snapshot {
    // (Result, count) for every Result seen, in order of Result.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> results;
    std::uint64_t otherResults = 0;  // Results above kHighestResultCounted
    // Cumulative counts per bound of kBoundsMs, then the total (+Inf).
    std::array<std::uint64_t, kBoundsMs.size() + 1> buckets{};
    double sumSeconds = 0;
  };

  AnswerStats() = default;
  AnswerStats(const AnswerStats&) = delete;
  AnswerStats& operator=(const AnswerStats&) = delete;

  void CountResult(std::uint32_t result);
  // A negative latency (a clock that cannot go back did not) counts as 0.
  void AddLatency(std::chrono::microseconds latency);
  Snapshot Take() const;

 private:
  std::array<std::atomic<std::uint64_t>, kHighestResultCounted + 1> results_{};
  std::atomic<std::uint64_t> otherResults_{0};
  std::array<std::atomic<std::uint64_t>, kBoundsMs.size() + 1> buckets_{};  // not cumulative
  std::atomic<std::int64_t> sumMicroseconds_{0};
};

}  // namespace brivane::sp
