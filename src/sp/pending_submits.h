#pragma once
// The segments written (or being written) to the SMG whose response has not
// come, one entry per segment keyed by its Sequence_Id (how a response finds
// it; the engine draws Sequence_Ids process-wide). Each entry names its row
// and segment and has a deadline: an entry whose response never comes is
// taken out by TakeExpired so that the segment gets an outcome. Every entry
// leaves the list exactly once, through one of the Take/Remove calls, so
// each segment's outcome is recorded once whichever worker runs first.
// Thread-safe: one mutex guards the map and is held only for memory work.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "cmpp/pdu.h"

namespace brivane::sp {

// A segment as it was written, kept while a flow-control refusal may have
// it written again: the record without the unused rest of its content area,
// so a few hundred bytes instead of 11.5 KB per segment in flight.
class KeptSubmit {
 public:
  explicit KeptSubmit(const cmpp::CmppSubmit& record);
  // The record as it was given (the content area past Msg_Length zero).
  std::unique_ptr<cmpp::CmppSubmit> Restore() const;
  std::uint32_t WriteAttempts() const { return writeAttempts_; }

 private:
  std::vector<std::uint8_t> head_;  // up to the end of the content used
  std::vector<std::uint8_t> tail_;  // from LinkID to the end of the record
  std::uint32_t writeAttempts_;
};

// One segment of a row on its way to the SMG.
struct PendingSegment {
  std::uint64_t recordId = 0;
  std::uint32_t sequenceId = 0;
  std::uint32_t segment = 1;  // Pk_number, 1-based
  std::uint32_t total = 1;    // Pk_total
  // The segment as written, kept only while a flow-control refusal may
  // have it written again.
  std::shared_ptr<const KeptSubmit> written{};
  // When the segment was handed to its link, for the answer's latency.
  std::chrono::steady_clock::time_point handedAt{};
};

class PendingSubmits {
 public:
  // Adds the segment, expiring deadlineMs after nowTick. An entry already
  // held under the same Sequence_Id (only after the counter wrapped) is
  // taken out and given back, so that its caller can record it.
  std::optional<PendingSegment> Put(const PendingSegment& segment, std::uint32_t nowTick,
                                    std::uint32_t deadlineMs);
  // Removes the entry of this Sequence_Id when it belongs to this row (a
  // failed write); true when there was one.
  bool Remove(std::uint32_t sequenceId, std::uint64_t recordId);
  // Removes the entry written with this Sequence_Id and gives it.
  std::optional<PendingSegment> TakeBySequence(std::uint32_t sequenceId);
  // Removes every entry whose deadline has passed (wrap-safe ticks).
  std::vector<PendingSegment> TakeExpired(std::uint32_t nowTick);
  // Empties the list and gives what it held.
  std::vector<PendingSegment> TakeAll();
  // Empties the list; gives how many entries it held.
  std::size_t Clear();
  std::size_t Size() const;

 private:
  struct Entry {
    PendingSegment segment;
    std::uint32_t writtenTick;
    std::uint32_t deadlineMs;
  };
  mutable base::Mutex mutex_;
  std::unordered_map<std::uint32_t, Entry> bySequence_ GUARDED_BY(mutex_);
};

}  // namespace brivane::sp
