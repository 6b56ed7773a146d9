#pragma once
// RateSampler: one sample of the MT, MO and status-report counters, the
// failure counters and the Submit backlog every interval (10 s by default)
// for the last hour, from which the dashboard draws its charts. Owns the thread that takes the
// samples; the counters come from a reader the owner gives (the status block in the service).
//
// Threads: Start and Stop on the service's control thread; the sampling
// thread calls the reader and Record; any thread may call Samples. mutex_
// guards samples_; the reader runs outside it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace brivane::service {

struct CounterSample {
  std::chrono::steady_clock::time_point taken;
  std::int64_t unixSeconds = 0;
  std::uint32_t mt = 0;       // submit requests written to the SMG
  std::uint32_t mo = 0;       // MO messages received
  std::uint32_t reports = 0;  // status reports received
  // Segments not written plus SUBMIT_RESP answers with a Result other than 0.
  std::uint32_t mtFailed = 0;
  std::uint32_t moForwardFailed = 0;  // MO messages the application did not take
  // The Submit backlog when the sample was taken; -1 while unknown.
  std::int64_t backlogRows = -1;
  std::int64_t backlogOldestSeconds = -1;
};

// The rates between two consecutive samples, per minute, stamped with the
// later sample's time, and the backlog of the later sample.
struct RatePoint {
  std::int64_t unixSeconds = 0;
  double mtPerMinute = 0;
  double moPerMinute = 0;
  double reportsPerMinute = 0;
  double mtFailedPerMinute = 0;
  double moForwardFailedPerMinute = 0;
  std::int64_t backlogRows = -1;
  std::int64_t backlogOldestSeconds = -1;
};

// Rates between consecutive samples, oldest first. Counters are subtracted
// as unsigned 32-bit numbers, so their wrap is harmless; a pair taken less
// than a millisecond apart gives no point.
std::vector<RatePoint> RatesOf(const std::vector<CounterSample>& samples);

class RateSampler {
 public:
  // Fills the counters and the backlog; the sampler stamps the times.
  using Reader = std::function<CounterSample()>;

  static constexpr std::chrono::milliseconds kDefaultInterval{10000};
  static constexpr std::chrono::seconds kSpan{3600};
  // A short interval (tests) keeps this many samples, not a whole hour.
  static constexpr std::size_t kMaxSamples = 721;

  explicit RateSampler(std::chrono::milliseconds interval = kDefaultInterval);
  ~RateSampler();
  RateSampler(const RateSampler&) = delete;
  RateSampler& operator=(const RateSampler&) = delete;

  // Takes a first sample at once, then one per interval until Stop. Nothing
  // when already started.
  void Start(Reader reader);
  void Stop();

  // Adds a sample, dropping the oldest beyond Capacity().
  void Record(const CounterSample& sample);
  std::vector<CounterSample> Samples() const;

  std::chrono::milliseconds Interval() const { return interval_; }
  // Samples kept: one hour's worth plus one, at most kMaxSamples.
  std::size_t Capacity() const { return capacity_; }

 private:
  void Run(Reader reader);

  const std::chrono::milliseconds interval_;
  const std::size_t capacity_;

  mutable base::Mutex mutex_;
  std::deque<CounterSample> samples_ GUARDED_BY(mutex_);

  base::Mutex stopMutex_;
  base::CondVar stopCv_;
  bool stop_ GUARDED_BY(stopMutex_) = false;
  std::thread thread_;
};

}  // namespace brivane::service
