#include "service/rate_sampler.h"

#include <algorithm>
#include <ctime>
#include <exception>

#include "base/log.h"

namespace brivane::service {
namespace {

std::size_t CapacityFor(std::chrono::milliseconds interval) {
  auto ms = std::max<std::int64_t>(interval.count(), 1);
  auto perSpan = static_cast<std::size_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(RateSampler::kSpan).count() / ms);
  return std::min(perSpan + 1, RateSampler::kMaxSamples);
}

}  // namespace

std::vector<RatePoint> RatesOf(const std::vector<CounterSample>& samples) {
  std::vector<RatePoint> points;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const CounterSample& a = samples[i - 1];
    const CounterSample& b = samples[i];
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(b.taken - a.taken).count();
    if (ms < 1) continue;
    const double perMinute = 60000.0 / static_cast<double>(ms);
    RatePoint p;
    p.unixSeconds = b.unixSeconds;
    p.mtPerMinute = static_cast<std::uint32_t>(b.mt - a.mt) * perMinute;
    p.moPerMinute = static_cast<std::uint32_t>(b.mo - a.mo) * perMinute;
    p.reportsPerMinute = static_cast<std::uint32_t>(b.reports - a.reports) * perMinute;
    p.mtFailedPerMinute = static_cast<std::uint32_t>(b.mtFailed - a.mtFailed) * perMinute;
    p.moForwardFailedPerMinute =
        static_cast<std::uint32_t>(b.moForwardFailed - a.moForwardFailed) * perMinute;
    p.backlogRows = b.backlogRows;
    p.backlogOldestSeconds = b.backlogOldestSeconds;
    points.push_back(p);
  }
  return points;
}

RateSampler::RateSampler(std::chrono::milliseconds interval)
    : interval_(std::max(interval, std::chrono::milliseconds(1))),
      capacity_(CapacityFor(interval_)) {}

RateSampler::~RateSampler() { Stop(); }

void RateSampler::Start(Reader reader) {
  if (thread_.joinable()) return;
  {
    base::MutexLock lock(stopMutex_);
    stop_ = false;
  }
  thread_ = std::thread([this, r = std::move(reader)] { Run(r); });
}

void RateSampler::Stop() {
  {
    base::MutexLock lock(stopMutex_);
    stop_ = true;
  }
  stopCv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void RateSampler::Record(const CounterSample& sample) {
  base::MutexLock lock(mutex_);
  samples_.push_back(sample);
  while (samples_.size() > capacity_) samples_.pop_front();
}

std::vector<CounterSample> RateSampler::Samples() const {
  base::MutexLock lock(mutex_);
  return {samples_.begin(), samples_.end()};
}

void RateSampler::Run(Reader reader) {
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    try {
      CounterSample sample = reader();
      sample.taken = std::chrono::steady_clock::now();
      sample.unixSeconds = static_cast<std::int64_t>(std::time(nullptr));
      Record(sample);
    } catch (const std::exception& e) {
      base::LogF(1, "EXCEPTION|RateSampler:{};", e.what());
    }
    // Keep to the grid, but after a stall start afresh rather than catch up
    // with a burst of samples a few microseconds apart.
    next += interval_;
    const auto now = std::chrono::steady_clock::now();
    if (next <= now) next = now + interval_;
    base::UniqueLock lock(stopMutex_);
    if (stopCv_.wait_until(lock, next, [&]() REQUIRES(stopMutex_) { return stop_; })) return;
  }
}

}  // namespace brivane::service
