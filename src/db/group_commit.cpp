#include "db/group_commit.h"

#include <algorithm>

namespace brivane::db {

void GroupCommit::SetBounds(BatchBounds bounds) {
  bounds.maxCalls = std::clamp<std::size_t>(bounds.maxCalls, 1, BatchBounds::kMaxMaxCalls);
  bounds.maxWait =
      std::clamp(bounds.maxWait, std::chrono::milliseconds(0), BatchBounds::kMaxMaxWait);
  base::MutexLock lock(mutex_);
  bounds_ = bounds;
}

BatchBounds GroupCommit::Bounds() const {
  base::MutexLock lock(mutex_);
  return bounds_;
}

std::size_t GroupCommit::Queued() const {
  base::MutexLock lock(mutex_);
  return queue_.size();
}

std::size_t GroupCommit::Running() const {
  base::MutexLock lock(mutex_);
  return running_;
}

bool GroupCommit::Run(BatchCall& call, const Runner& runner) {
  base::UniqueLock lock(mutex_);
  call.done = false;
  call.queuedAt = std::chrono::steady_clock::now();
  queue_.push_back(&call);
  if (leaderWaiting_ && queue_.size() >= bounds_.maxCalls) fullCv_.notify_one();
  for (;;) {
    // The call at the front of the queue leads the next batch.
    call.wake.wait(lock, [&]() REQUIRES(mutex_) {
      return call.done || (!leading_ && queue_.front() == &call);
    });
    if (call.done) return call.ok;

    leading_ = true;
    const BatchBounds bounds = bounds_;
    if (bounds.maxWait.count() > 0 && queue_.size() < bounds.maxCalls) {
      leaderWaiting_ = true;
      fullCv_.wait_for(lock, bounds.maxWait,
                       [&]() REQUIRES(mutex_) { return queue_.size() >= bounds.maxCalls; });
      leaderWaiting_ = false;
    }
    const std::size_t n = std::min(queue_.size(), bounds.maxCalls);
    std::vector<BatchCall*> batch(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    running_ = n;
    lock.unlock();
    for (BatchCall* c : batch) c->ok = false;
    runner(batch);
    lock.lock();
    leading_ = false;
    running_ = 0;
    // Wake the callers of the batch (this one returns below) and the next
    // leader. A caller's BatchCall may be gone once it sees done.
    for (BatchCall* c : batch) {
      c->done = true;
      if (c != &call) c->wake.notify_one();
    }
    if (!queue_.empty()) queue_.front()->wake.notify_one();
  }
}

}  // namespace brivane::db
