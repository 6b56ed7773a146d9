#include "cmpp/thread_pool.h"

#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "base/log.h"
#include "cmpp/sync.h"

namespace brivane::cmpp {

// Everything a worker thread touches besides its queue. Held through shared
// pointers by the pool and by every worker, so a worker left running after
// Stop never outlives it.
struct CThreadPool::State {
  struct ThreadEntry {
    bool busy = false;
  };
  // Set once by the thread as its last act, under endMutex.
  struct Life {
    std::atomic<bool> ended{false};
  };
  struct ThreadRecord {
    pthread_t handle{};
    std::shared_ptr<Life> life;
  };

  void SetBusy(std::uint32_t id, bool busy) {
    MySyncGuard guard(lock);
    // A thread whose entry is gone (or not yet there) still runs its items.
    auto it = table.find(id);
    if (it != table.end()) it->second.busy = busy;
  }

  void MarkEnded(Life& life) {
    {
      base::MutexLock guard(endMutex);
      life.ended = true;
    }
    endCv.notify_all();
  }

  // Guards table, threads and nextId.
  mutable MyMutex lock;
  // One entry per worker started and neither retired nor stopped.
  std::map<std::uint32_t, ThreadEntry> table GUARDED_BY(lock);
  // Every worker started and not yet joined or detached; a retired worker
  // leaves the table at once but stays here until the manager joins it.
  std::map<std::uint32_t, ThreadRecord> threads GUARDED_BY(lock);
  // Ids are the pool's own and never reused, unlike system thread ids.
  std::uint32_t nextId GUARDED_BY(lock) = 1;

  base::Mutex endMutex;
  base::CondVar endCv;
};

namespace {

void* ThreadTrampoline(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

// std::thread cannot choose its stack size. Returns 0 or the error number.
int StartThread(std::size_t stackBytes, const char* name, std::function<void()> body,
                pthread_t* handle) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN));
  if (rc == 0) {
    auto* owned = new std::function<void()>(std::move(body));
    rc = pthread_create(handle, &attr, &ThreadTrampoline, owned);
    if (rc != 0) delete owned;
  }
  pthread_attr_destroy(&attr);
  if (rc == 0) pthread_setname_np(*handle, name);
  return rc;
}

}  // namespace

CThreadPool::CThreadPool(std::chrono::milliseconds managerPeriod,
                         std::chrono::milliseconds stopWait, std::size_t stackBytes)
    : managerPeriod_(managerPeriod),
      stopWait_(stopWait),
      stackBytes_(stackBytes),
      state_(std::make_shared<State>()) {}

CThreadPool::~CThreadPool() { Stop(); }

bool CThreadPool::Start(std::uint32_t minimum, std::uint32_t maximum) {
  base::MutexLock lifecycle(lifecycleMutex_);
  if (running_) return false;
  minimum_ = minimum;
  maximum_ = std::max(minimum, maximum);

  auto queue = std::make_shared<WorkQueue>();
  {
    base::MutexLock guard(queueMutex_);
    workQueue_ = queue;
  }
  managerQueue_ = std::make_shared<ManagerQueue>();
  auto managerQueue = managerQueue_;
  int rc = StartThread(
      stackBytes_, "cmpp-manager",
      [this, managerQueue, queue] { ManagerMain(managerQueue, queue); }, &manager_);
  managerStarted_ = rc == 0;
  if (!managerStarted_) {
    base::LogF(1, "ERROR|CThreadPool::Start: cannot start the manager thread, ERR={};", rc);
  }

  {
    MySyncGuard guard(state_->lock);
    for (std::uint32_t i = 0; i < minimum; ++i) {
      if (!StartWorkerLocked(queue)) break;
    }
  }
  running_ = true;
  return true;
}

bool CThreadPool::StartWorkerLocked(const std::shared_ptr<WorkQueue>& queue)
    REQUIRES(state_->lock) {
  const std::uint32_t id = state_->nextId++;
  auto life = std::make_shared<State::Life>();
  pthread_t handle{};
  int rc = StartThread(
      stackBytes_, "cmpp-worker",
      [state = state_, queue, id, life] {
        WorkerMain(state, queue, id);
        state->MarkEnded(*life);
      },
      &handle);
  if (rc != 0) {
    base::LogF(1, "ERROR|CThreadPool: cannot start a worker thread, ERR={}, {} running;", rc,
               state_->table.size());
    return false;
  }
  state_->table.emplace(id, State::ThreadEntry{});
  state_->threads.emplace(id, State::ThreadRecord{handle, std::move(life)});
  return true;
}

void CThreadPool::WorkerMain(const std::shared_ptr<State>& state,
                             const std::shared_ptr<WorkQueue>& queue, std::uint32_t id) {
  try {
    for (;;) {
      std::optional<Message> message = queue->Pop();
      // A closed queue ends the worker like a stop message.
      if (!message || message->control == Control::kStop) return;
      if (message->control == Control::kRetire) {
        MySyncGuard guard(state->lock);
        state->table.erase(id);
        return;
      }
      state->SetBusy(id, true);
      try {
        message->worker->Execute(*message->item);
      } catch (const std::exception& e) {
        const int err = errno;
        base::LogF(2, "EXCEPTION|CThreadPool::Execute|ERR={}|{};", err, e.what());
      } catch (...) {
        const int err = errno;
        base::LogF(2, "EXCEPTION|CThreadPool::Execute|ERR={};", err);
      }
      message->item.reset();
      state->SetBusy(id, false);
    }
  } catch (...) {
    // Only a failing lock or queue gets here; like a failed wait, it ends
    // this worker.
    const int err = errno;
    base::LogF(2, "EXCEPTION|CThreadPool::WorkerThread|ERR={};", err);
  }
}

void CThreadPool::ManagerMain(const std::shared_ptr<ManagerQueue>& managerQueue,
                              const std::shared_ptr<WorkQueue>& queue) {
  for (;;) {
    Control control = Control::kWork;
    switch (managerQueue->PopFor(&control, managerPeriod_)) {
      case ManagerQueue::PopResult::kValue:
        if (control == Control::kStop) return;
        continue;
      case ManagerQueue::PopResult::kClosed:
        return;
      case ManagerQueue::PopResult::kTimedOut:
        break;
    }
    try {
      if (LoadLevel() == kLoadBusy) Grow();
      if (LoadLevel() == kLoadIdle) Retire(*queue);
      JoinEnded();
    } catch (...) {
      const int err = errno;
      base::LogF(2, "EXCEPTION|CThreadPool::Manager|ERR={};", err);
    }
  }
}

void CThreadPool::Post(IWorker& worker, std::unique_ptr<WorkItem> item) {
  if (!item) return;
  std::shared_ptr<WorkQueue> queue = CurrentQueue();
  // Without a queue, or on a closed one, the item dies here unrun.
  if (queue) queue->Push(Message{&worker, std::move(item), Control::kWork});
}

std::shared_ptr<CThreadPool::WorkQueue> CThreadPool::CurrentQueue() const {
  base::MutexLock guard(queueMutex_);
  return workQueue_;
}

int CThreadPool::LoadLevel() const {
  MySyncGuard guard(state_->lock);
  const std::size_t n = state_->table.size();
  if (n == 0) return kLoadNormal;
  std::size_t busy = 0;
  for (const auto& [id, entry] : state_->table) busy += entry.busy ? 1 : 0;
  // busy / n compared with 4/5 and 1/5 in integers, exact at the bounds.
  if (busy * 5 > n * 4) return kLoadBusy;
  if (busy * 5 < n) return kLoadIdle;
  return kLoadNormal;
}

void CThreadPool::Grow() {
  std::shared_ptr<WorkQueue> queue = CurrentQueue();
  if (!queue) return;
  MySyncGuard guard(state_->lock);
  const std::size_t n = state_->table.size();
  const std::size_t target = std::min<std::size_t>(n + 2, maximum_.load());
  for (std::size_t i = n; i < target; ++i) {
    if (!StartWorkerLocked(queue)) break;
  }
}

void CThreadPool::Retire(WorkQueue& queue) {
  const auto n = static_cast<std::int64_t>(ThreadCount());
  const std::int64_t keep = std::max<std::int64_t>(n - 2, minimum_.load());
  for (std::int64_t i = keep; i < n; ++i) queue.Push(Message{nullptr, nullptr, Control::kRetire});
}

void CThreadPool::JoinEnded() {
  std::vector<pthread_t> ended;
  {
    MySyncGuard guard(state_->lock);
    for (auto it = state_->threads.begin(); it != state_->threads.end();) {
      if (it->second.life->ended) {
        ended.push_back(it->second.handle);
        it = state_->threads.erase(it);
      } else {
        ++it;
      }
    }
  }
  // An ended thread has only its return left, so these joins are prompt.
  for (pthread_t handle : ended) pthread_join(handle, nullptr);
}

void CThreadPool::Stop() {
  base::MutexLock lifecycle(lifecycleMutex_);
  if (!running_) return;

  // The manager takes the table lock in LoadLevel and Grow: wait for it
  // without holding that lock.
  if (managerStarted_) {
    managerQueue_->Push(Control::kStop);
    pthread_join(manager_, nullptr);
    managerStarted_ = false;
  }
  managerQueue_->Close();
  managerQueue_.reset();

  std::shared_ptr<WorkQueue> queue = CurrentQueue();
  std::vector<std::shared_ptr<State::Life>> noted;
  {
    MySyncGuard guard(state_->lock);
    for (std::size_t i = 0; i < state_->table.size(); ++i) {
      queue->Push(Message{nullptr, nullptr, Control::kStop});
    }
    for (const auto& [id, record] : state_->threads) noted.push_back(record.life);
  }

  // Stop messages queue behind the work already posted, so the workers first
  // run that, as far as the bound allows.
  {
    base::UniqueLock guard(state_->endMutex);
    state_->endCv.wait_for(guard, stopWait_, [&noted] {
      return std::all_of(noted.begin(), noted.end(),
                         [](const auto& life) { return life->ended.load(); });
    });
  }

  queue->Close();
  {
    base::MutexLock guard(queueMutex_);
    workQueue_.reset();
  }
  std::size_t unrun = 0;
  for (const Message& message : queue->Drain()) unrun += message.item ? 1 : 0;
  if (unrun > 0) {
    base::LogF(2, "ERROR|CThreadPool::Stop: {} queued items released without being run;", unrun);
  }

  // A thread cannot be ended safely from outside: one still running is left
  // to finish on its own. It holds State and its closed queue, so it ends
  // as soon as its Execute returns.
  std::vector<pthread_t> ended;
  std::vector<std::uint32_t> detached;
  {
    MySyncGuard guard(state_->lock);
    for (auto& [id, record] : state_->threads) {
      if (record.life->ended) {
        ended.push_back(record.handle);
      } else {
        pthread_detach(record.handle);
        detached.push_back(id);
      }
    }
    state_->threads.clear();
    // Stopped threads leave the table, so a restarted pool counts only its
    // own workers.
    state_->table.clear();
  }
  for (std::uint32_t id : detached) {
    base::LogF(1, "ERROR|CThreadPool::Stop: worker {} still running after {} ms, left detached;",
               id, stopWait_.count());
  }
  for (pthread_t handle : ended) pthread_join(handle, nullptr);
  running_ = false;
}

std::size_t CThreadPool::ThreadCount() const {
  MySyncGuard guard(state_->lock);
  return state_->table.size();
}

std::size_t CThreadPool::QueuedCount() const {
  std::shared_ptr<WorkQueue> queue = CurrentQueue();
  return queue ? queue->Size() : 0;
}

std::size_t CThreadPool::BusyCount() const {
  MySyncGuard guard(state_->lock);
  return static_cast<std::size_t>(std::count_if(state_->table.begin(), state_->table.end(),
                                                [](const auto& e) { return e.second.busy; }));
}

}  // namespace brivane::cmpp
