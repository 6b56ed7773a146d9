#pragma once
// GroupCommit forms batches of the calls made on one database connection:
// while one batch runs, the calls that arrive queue up and go together in
// the next. The first caller that finds no batch running leads: it takes
// up to maxCalls queued calls (after waiting up to maxWait for the batch to
// fill) and runs them through the runner it was given; the others wait
// until their call has been run, so a caller returns only after its own
// call is done. It knows nothing of the database: the runner decides what
// running a batch means and sets each call's outcome.
//
// Threads: any number of callers at once. mutex_ guards queue_, leading_
// and every queued call's done flag; the runner runs without it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "base/mutex.h"

namespace brivane::db {

class Command;

struct BatchBounds {
  static constexpr std::size_t kDefaultMaxCalls = 100;
  static constexpr std::size_t kMaxMaxCalls = 10000;
  static constexpr std::chrono::milliseconds kMaxMaxWait{1000};
  // Calls per batch at most; 1 = every call runs alone.
  std::size_t maxCalls = kDefaultMaxCalls;
  // How long a leader waits for a batch to fill before it runs what it has.
  std::chrono::milliseconds maxWait{0};
};

// One call waiting for its batch. The caller owns it; `fill` appends the
// call's parameters; the runner sets `ok`. Each call is woken on its own
// (its batch ran, or it is next to lead), so that hundreds of waiting
// callers are not all woken at the end of every batch.
struct BatchCall {
  std::function<void(Command&)> fill;
  bool ok = false;
  bool done = false;  // guarded by the GroupCommit's mutex
  // When Run queued it: how long callers wait shows in the debug log.
  std::chrono::steady_clock::time_point queuedAt;
  base::CondVar wake;
};

class GroupCommit {
 public:
  // Runs a batch; sets ok of each call. Must not throw.
  using Runner = std::function<void(const std::vector<BatchCall*>& batch)>;

  GroupCommit() = default;
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  void SetBounds(BatchBounds bounds);
  BatchBounds Bounds() const;

  // Queues the call and returns once a batch holding it has run: its ok.
  // runner is used if this caller leads a batch.
  bool Run(BatchCall& call, const Runner& runner);
  // Calls queued and not yet taken into a batch; calls in the batch being
  // run.
  std::size_t Queued() const;
  std::size_t Running() const;

 private:
  mutable base::Mutex mutex_;
  base::CondVar fullCv_;  // the queue reached maxCalls
  std::deque<BatchCall*> queue_ GUARDED_BY(mutex_);
  bool leading_ GUARDED_BY(mutex_) = false;
  std::size_t running_ GUARDED_BY(mutex_) = 0;
  bool leaderWaiting_ GUARDED_BY(mutex_) = false;
  BatchBounds bounds_ GUARDED_BY(mutex_);
};

}  // namespace brivane::db
