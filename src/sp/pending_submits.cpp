#include "sp/pending_submits.h"

namespace brivane::sp {

std::optional<PendingSegment> PendingSubmits::Put(const PendingSegment& segment,
                                                  std::uint32_t nowTick, std::uint32_t deadlineMs) {
  base::MutexLock lock(mutex_);
  std::optional<PendingSegment> displaced;
  auto [it, added] = bySequence_.try_emplace(segment.sequenceId);
  if (!added) displaced = it->second.segment;
  it->second = Entry{segment, nowTick, deadlineMs};
  return displaced;
}

bool PendingSubmits::Remove(std::uint32_t sequenceId, std::uint64_t recordId) {
  base::MutexLock lock(mutex_);
  auto it = bySequence_.find(sequenceId);
  if (it == bySequence_.end() || it->second.segment.recordId != recordId) return false;
  bySequence_.erase(it);
  return true;
}

std::optional<PendingSegment> PendingSubmits::TakeBySequence(std::uint32_t sequenceId) {
  base::MutexLock lock(mutex_);
  auto it = bySequence_.find(sequenceId);
  if (it == bySequence_.end()) return std::nullopt;
  PendingSegment segment = it->second.segment;
  bySequence_.erase(it);
  return segment;
}

std::vector<PendingSegment> PendingSubmits::TakeExpired(std::uint32_t nowTick) {
  std::vector<PendingSegment> expired;
  base::MutexLock lock(mutex_);
  for (auto it = bySequence_.begin(); it != bySequence_.end();) {
    if (nowTick - it->second.writtenTick >= it->second.deadlineMs) {
      expired.push_back(it->second.segment);
      it = bySequence_.erase(it);
    } else {
      ++it;
    }
  }
  return expired;
}

std::vector<PendingSegment> PendingSubmits::TakeAll() {
  base::MutexLock lock(mutex_);
  std::vector<PendingSegment> all;
  all.reserve(bySequence_.size());
  for (const auto& [sequence, entry] : bySequence_) all.push_back(entry.segment);
  bySequence_.clear();
  return all;
}

std::size_t PendingSubmits::Clear() {
  base::MutexLock lock(mutex_);
  std::size_t n = bySequence_.size();
  bySequence_.clear();
  return n;
}

std::size_t PendingSubmits::Size() const {
  base::MutexLock lock(mutex_);
  return bySequence_.size();
}

}  // namespace brivane::sp
