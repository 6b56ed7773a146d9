#include "sp/flow_control.h"

#include <algorithm>
#include <exception>

#include "base/log.h"

namespace brivane::sp {

std::chrono::milliseconds FlowControlPause(const FlowControlSettings& settings,
                                           std::uint32_t writes) {
  using std::chrono::milliseconds;
  const milliseconds cap = FlowControlSettings::kMaxPause;
  milliseconds pause = std::clamp(settings.firstPause, milliseconds(1), cap);
  for (std::uint32_t i = 1; i < writes && pause < cap; ++i) pause = std::min(pause * 2, cap);
  return pause;
}

void LinkRateCap::SetRate(std::uint32_t perSecond) {
  base::MutexLock lock(mutex_);
  perSecond_ = perSecond;
}

std::uint32_t LinkRateCap::Rate() const {
  base::MutexLock lock(mutex_);
  return perSecond_;
}

LinkRateCap::Clock::time_point LinkRateCap::Reserve(const std::string& link,
                                                    Clock::time_point now) {
  base::MutexLock lock(mutex_);
  if (perSecond_ == 0) return now;
  // Slots are spaced in nanoseconds so that a rate which does not divide a
  // second holds over a long run.
  const auto interval = std::chrono::nanoseconds(1000000000LL / perSecond_);
  auto [it, added] = next_.try_emplace(link, now);
  const Clock::time_point slot = std::max(it->second, now);
  it->second = slot + interval;
  return slot;
}

void LinkRateCap::Clear() {
  base::MutexLock lock(mutex_);
  next_.clear();
}

FlowRetryQueue::~FlowRetryQueue() { Stop(); }

void FlowRetryQueue::Start() {
  base::MutexLock lock(mutex_);
  if (running_) return;
  stop_ = false;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

bool FlowRetryQueue::Add(Entry& entry) {
  {
    base::MutexLock lock(mutex_);
    if (!running_ || stop_) return false;
    entries_.push_back(std::move(entry));
  }
  cv_.notify_all();
  return true;
}

std::vector<FlowRetryQueue::Entry> FlowRetryQueue::Stop() {
  {
    base::MutexLock lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  base::MutexLock lock(mutex_);
  running_ = false;
  std::vector<Entry> left;
  left.swap(entries_);
  return left;
}

std::size_t FlowRetryQueue::Size() const {
  base::MutexLock lock(mutex_);
  return entries_.size() + (resending_ ? 1 : 0);
}

void FlowRetryQueue::Run() {
  base::UniqueLock lock(mutex_);
  while (!stop_) {
    auto first = std::min_element(entries_.begin(), entries_.end(),
                                  [](const Entry& a, const Entry& b) { return a.due < b.due; });
    if (first == entries_.end()) {
      cv_.wait(lock);
      continue;
    }
    if (first->due > Clock::now()) {
      cv_.wait_until(lock, first->due);
      continue;
    }
    Entry entry = std::move(*first);
    entries_.erase(first);
    resending_ = true;
    lock.unlock();
    try {
      resend_(entry);
    } catch (const std::exception& e) {
      base::LogF(1, "EXCEPTION|FlowRetryQueue::Run|{}", e.what());
    }
    lock.lock();
    resending_ = false;
  }
}

}  // namespace brivane::sp
