#include "sp/pending_submits.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace brivane::sp {
namespace {

static_assert(std::is_trivially_copyable_v<cmpp::CmppSubmit>, "kept and restored byte-wise");
constexpr std::size_t kContentAt = offsetof(cmpp::CmppSubmit, Msg_Content);
constexpr std::size_t kTailAt = offsetof(cmpp::CmppSubmit, LinkID);

}  // namespace

KeptSubmit::KeptSubmit(const cmpp::CmppSubmit& record) : writeAttempts_(record.writeAttempts) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  const std::size_t used = std::min<std::size_t>(record.Msg_Length, sizeof record.Msg_Content);
  head_.assign(bytes, bytes + kContentAt + used);
  tail_.assign(bytes + kTailAt, bytes + sizeof record);
}

std::unique_ptr<cmpp::CmppSubmit> KeptSubmit::Restore() const {
  auto record = std::make_unique<cmpp::CmppSubmit>();
  auto* bytes = reinterpret_cast<std::uint8_t*>(record.get());
  std::memcpy(bytes, head_.data(), head_.size());
  std::memcpy(bytes + kTailAt, tail_.data(), tail_.size());
  return record;
}

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
