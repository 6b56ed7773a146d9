#include "sp/kept_out_rows.h"

namespace brivane::sp {

bool KeptOutRows::Add(const Mark& mark) {
  base::MutexLock lock(mutex_);
  auto it = marks_.find(mark.id);
  if (it != marks_.end()) {
    it->second = mark;
    return true;
  }
  if (marks_.size() >= capacity_) return false;
  marks_.emplace(mark.id, mark);
  return true;
}

bool KeptOutRows::Contains(std::uint64_t id) const {
  base::MutexLock lock(mutex_);
  return marks_.count(id) != 0;
}

bool KeptOutRows::Remove(std::uint64_t id) {
  base::MutexLock lock(mutex_);
  return marks_.erase(id) != 0;
}

std::vector<KeptOutRows::Mark> KeptOutRows::Marks() const {
  base::MutexLock lock(mutex_);
  std::vector<Mark> out;
  out.reserve(marks_.size());
  for (const auto& [id, mark] : marks_) out.push_back(mark);
  return out;
}

std::size_t KeptOutRows::Size() const {
  base::MutexLock lock(mutex_);
  return marks_.size();
}

bool KeptOutRows::Full() const {
  base::MutexLock lock(mutex_);
  return marks_.size() >= capacity_;
}

KeptOutRows& ProcessKeptOutRows() {
  static KeptOutRows rows;
  return rows;
}

}  // namespace brivane::sp
