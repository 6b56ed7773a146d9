#pragma once
// The submits written (or being written) to the SMG whose response has not
// come, keyed by record id (one entry per record: a new write of the same
// record, such as the next segment, replaces it) and by Sequence_Id (how a
// response finds it). Each entry has a deadline: an entry whose response
// never comes is taken out by TakeExpired so that its row gets an outcome.
// Thread-safe: one mutex guards both maps and is held only for memory work.

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace brivane::sp {

class PendingSubmits {
 public:
  // Replaces the entry of this record id, if any, with one for sequenceId
  // that expires deadlineMs after nowTick.
  void Put(std::uint32_t recordId, std::uint32_t sequenceId, std::uint32_t nowTick,
           std::uint32_t deadlineMs);
  // Removes the entry of this record id; true when there was one.
  bool RemoveRecord(std::uint32_t recordId);
  // Removes the entry written with this Sequence_Id and gives its record id.
  std::optional<std::uint32_t> TakeBySequence(std::uint32_t sequenceId);
  // Removes every entry whose deadline has passed (wrap-safe ticks) and
  // gives their record ids.
  std::vector<std::uint32_t> TakeExpired(std::uint32_t nowTick);
  // Empties the list and gives the record ids it held.
  std::vector<std::uint32_t> TakeAll();
  // Empties the list; gives how many entries it held.
  std::size_t Clear();
  std::size_t Size() const;

 private:
  struct Entry {
    std::uint32_t sequenceId;
    std::uint32_t writtenTick;
    std::uint32_t deadlineMs;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::uint32_t, Entry> byRecord_;
  std::unordered_map<std::uint32_t, std::uint32_t> bySequence_;  // -> record id
};

}  // namespace brivane::sp
