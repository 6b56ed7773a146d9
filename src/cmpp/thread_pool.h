#pragma once
// The worker pool that runs every callback of the CMPP engine. Posters hand a
// work item and the IWorker that is to execute it; the item belongs to the
// pool from then on and is deleted by the worker thread that ran it (or
// released unrun when the pool stops first).

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/mutex.h"
#include "cmpp/blocking_queue.h"

namespace brivane::cmpp {

// Base of every posted item; the pool deletes items through it.
class WorkItem {
 public:
  virtual ~WorkItem() = default;
};

// Executes items on a pool thread. The pool never destroys an IWorker: it
// belongs to the poster and must outlive every item posted with it.
class IWorker {
 public:
  virtual void Execute(WorkItem& item) = 0;

 protected:
  ~IWorker() = default;
};

// Owns a manager thread and the worker threads, which all wait on one work
// queue. Any thread may Post and read LoadLevel; Start and Stop are called by
// the owner, one at a time; Grow is the manager's. The manager looks at the
// load once a period: above 0.8 busy it adds up to two workers (never above
// the maximum), below 0.2 it retires up to two (never below the minimum).
//
// Locks: the thread table and the handles of started threads live in State,
// shared with every worker and guarded by its MyCriticalSection, which is
// never held across Execute. queueMutex_ guards the workQueue_ pointer;
// lifecycleMutex_ serialises Start and Stop.
//
// A worker still inside Execute when Stop's wait runs out is detached with a
// log line. It keeps State and its queue alive through shared pointers, so
// destroying the pool frees nothing it still uses; the IWorker it is running
// is the poster's to keep alive.
class CThreadPool {
 public:
  static constexpr std::chrono::milliseconds kManagerPeriod{60000};
  static constexpr std::chrono::milliseconds kStopWait{10000};
  // Hundreds of workers exist at once; a small stack keeps the process small.
  // Sanitizers enlarge frames several times, so their builds get more
  // (CMake defines BRIVANE_SANITIZED: clang has no __SANITIZE_*__ macros).
#if defined(BRIVANE_SANITIZED)
  static constexpr std::size_t kWorkerStackBytes = 1024 * 1024;
#else
  static constexpr std::size_t kWorkerStackBytes = 256 * 1024;
#endif

  // LoadLevel results.
  static constexpr int kLoadBusy = 0;
  static constexpr int kLoadIdle = 1;
  static constexpr int kLoadNormal = 2;

  explicit CThreadPool(std::chrono::milliseconds managerPeriod = kManagerPeriod,
                       std::chrono::milliseconds stopWait = kStopWait,
                       std::size_t stackBytes = kWorkerStackBytes);
  // Stops the pool when it still runs.
  virtual ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  // Starts the manager and `minimum` workers; a maximum below the minimum is
  // taken as the minimum. False (and nothing changes) while the pool runs.
  // A stopped pool may be started again, with new queues and threads.
  bool Start(std::uint32_t minimum, std::uint32_t maximum);

  // Queues the item for worker.Execute. Never blocks and reports nothing;
  // before Start or after Stop the item is released at once, never run.
  void Post(IWorker& worker, std::unique_ptr<WorkItem> item);

  // kLoadBusy when more than 0.8 of the workers run an item, kLoadIdle when
  // fewer than 0.2 do, kLoadNormal otherwise (0.8 and 0.2 themselves, and an
  // empty pool, included).
  int LoadLevel() const;

  // Adds up to two workers without passing the maximum. The manager's step;
  // does nothing while the pool is stopped.
  void Grow();

  // Ends the manager, then queues one stop message per worker behind the
  // work already queued and waits at most stopWait in all for the workers
  // to end. Items still queued then are released unrun; workers still
  // running are detached and logged. Idempotent.
  void Stop();

  bool Running() const { return running_.load(); }
  // Workers in the thread table (started and not retired or stopped).
  std::size_t ThreadCount() const;
  // Workers inside Execute at this moment.
  std::size_t BusyCount() const;
  // Items posted and not yet taken by a worker (0 while stopped).
  std::size_t QueuedCount() const;

 private:
  enum class Control : std::intptr_t { kWork = 0, kStop = -1, kRetire = -2 };
  struct Message {
    IWorker* worker = nullptr;
    std::unique_ptr<WorkItem> item;
    Control control = Control::kWork;
  };
  using WorkQueue = BlockingQueue<Message>;
  using ManagerQueue = BlockingQueue<Control>;
  struct State;

  static void WorkerMain(const std::shared_ptr<State>& state,
                         const std::shared_ptr<WorkQueue>& queue, std::uint32_t id);
  void ManagerMain(const std::shared_ptr<ManagerQueue>& managerQueue,
                   const std::shared_ptr<WorkQueue>& queue);
  // Caller holds state_->lock.
  bool StartWorkerLocked(const std::shared_ptr<WorkQueue>& queue);
  void Retire(WorkQueue& queue);
  void JoinEnded();
  std::shared_ptr<WorkQueue> CurrentQueue() const;

  const std::chrono::milliseconds managerPeriod_;
  const std::chrono::milliseconds stopWait_;
  const std::size_t stackBytes_;

  base::Mutex lifecycleMutex_;
  pthread_t manager_ GUARDED_BY(lifecycleMutex_){};
  bool managerStarted_ GUARDED_BY(lifecycleMutex_) = false;
  std::shared_ptr<ManagerQueue> managerQueue_ GUARDED_BY(lifecycleMutex_);

  std::atomic<std::uint32_t> minimum_{0};
  std::atomic<std::uint32_t> maximum_{0};
  std::atomic<bool> running_{false};
  const std::shared_ptr<State> state_;

  mutable base::Mutex queueMutex_;
  std::shared_ptr<WorkQueue> workQueue_ GUARDED_BY(queueMutex_);
};

}  // namespace brivane::cmpp
