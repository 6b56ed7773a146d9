#pragma once
// KeptOutRows: the rows handed to the SP client whose hand-over mark
// (UpdateSubmit) the database did not take. Such a row still waits at
// state 0 in `Submit`, so a later pass would send it a second time; the MT
// pass skips every row held here and stores the mark again at the start of
// each pass, letting the row go once the database takes it.
//
// The process owns one (ProcessKeptOutRows): an in-place restart builds a
// new MtPoller and must not forget them. The set is bounded; when it is
// full the pass sends no new row, since it could not keep that one out.
// Thread-safe: one mutex guards the map, held for memory work only (the MT
// thread uses it; the admin side may read its size).

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/mutex.h"

namespace brivane::sp {

class KeptOutRows {
 public:
  static constexpr std::size_t kDefaultCapacity = 10000;

  // The mark still to be stored for one row.
  struct Mark {
    std::uint64_t id = 0;
    std::uint32_t msgFmt = 0;
    std::uint32_t smsCount = 0;
  };

  explicit KeptOutRows(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  KeptOutRows(const KeptOutRows&) = delete;
  KeptOutRows& operator=(const KeptOutRows&) = delete;

  // Keeps the row out (its mark replaced when it is held already). False,
  // changing nothing, when the set is full and the row is not in it.
  bool Add(const Mark& mark);
  bool Contains(std::uint64_t id) const;
  // Lets the row go; true when it was held.
  bool Remove(std::uint64_t id);
  // The marks held, in id order.
  std::vector<Mark> Marks() const;
  std::size_t Size() const;
  bool Full() const;
  std::size_t Capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable base::Mutex mutex_;
  std::map<std::uint64_t, Mark> marks_ GUARDED_BY(mutex_);
};

// The process's set, shared by every MtPoller the process builds.
KeptOutRows& ProcessKeptOutRows();

}  // namespace brivane::sp
