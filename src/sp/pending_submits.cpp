#include "sp/pending_submits.h"

namespace brivane::sp {

void PendingSubmits::Put(std::uint32_t recordId, std::uint32_t sequenceId, std::uint32_t nowTick,
                         std::uint32_t deadlineMs) {
  std::lock_guard lock(mutex_);
  auto it = byRecord_.find(recordId);
  if (it != byRecord_.end()) {
    bySequence_.erase(it->second.sequenceId);
    it->second = Entry{sequenceId, nowTick, deadlineMs};
  } else {
    byRecord_.emplace(recordId, Entry{sequenceId, nowTick, deadlineMs});
  }
  bySequence_[sequenceId] = recordId;
}

bool PendingSubmits::RemoveRecord(std::uint32_t recordId) {
  std::lock_guard lock(mutex_);
  auto it = byRecord_.find(recordId);
  if (it == byRecord_.end()) return false;
  bySequence_.erase(it->second.sequenceId);
  byRecord_.erase(it);
  return true;
}

std::optional<std::uint32_t> PendingSubmits::TakeBySequence(std::uint32_t sequenceId) {
  std::lock_guard lock(mutex_);
  auto it = bySequence_.find(sequenceId);
  if (it == bySequence_.end()) return std::nullopt;
  std::uint32_t recordId = it->second;
  bySequence_.erase(it);
  byRecord_.erase(recordId);
  return recordId;
}

std::vector<std::uint32_t> PendingSubmits::TakeExpired(std::uint32_t nowTick) {
  std::vector<std::uint32_t> expired;
  std::lock_guard lock(mutex_);
  for (auto it = byRecord_.begin(); it != byRecord_.end();) {
    if (nowTick - it->second.writtenTick >= it->second.deadlineMs) {
      expired.push_back(it->first);
      bySequence_.erase(it->second.sequenceId);
      it = byRecord_.erase(it);
    } else {
      ++it;
    }
  }
  return expired;
}

std::vector<std::uint32_t> PendingSubmits::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<std::uint32_t> ids;
  ids.reserve(byRecord_.size());
  for (const auto& [id, entry] : byRecord_) ids.push_back(id);
  byRecord_.clear();
  bySequence_.clear();
  return ids;
}

std::size_t PendingSubmits::Clear() {
  std::lock_guard lock(mutex_);
  std::size_t n = byRecord_.size();
  byRecord_.clear();
  bySequence_.clear();
  return n;
}

std::size_t PendingSubmits::Size() const {
  std::lock_guard lock(mutex_);
  return byRecord_.size();
}

}  // namespace brivane::sp
