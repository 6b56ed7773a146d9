// Throughput of the worker pool (items posted, and items posted and executed,
// per second) with 2, 16 and 500 workers and 1 or 4 posting threads, and the
// resident memory of 500 idle workers. Usage: bench_pool [items per run].

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cmpp/thread_pool.h"

namespace {

using brivane::cmpp::CThreadPool;
using brivane::cmpp::IWorker;
using brivane::cmpp::WorkItem;
using Clock = std::chrono::steady_clock;

struct CountedItem : WorkItem {
  std::uint64_t payload[4] = {};  // about the size of a small event record
};

// Counts executed items and wakes the waiter at the target.
class CountingWorker final : public IWorker {
 public:
  void Execute(WorkItem&) override {
    if (++done_ == target_) {
      std::lock_guard lock(mutex_);
      cv_.notify_all();
    }
  }
  void Reset(long target) {
    done_ = 0;
    target_ = target;
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return done_.load() >= target_; });
  }

 private:
  std::atomic<long> done_{0};
  long target_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
};

long VmRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Throughput(unsigned workers, unsigned posters, long items) {
  CountingWorker worker;
  CThreadPool pool;
  pool.Start(workers, workers);
  worker.Reset(items);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (unsigned p = 0; p < posters; ++p) {
    threads.emplace_back([&, p] {
      const long share = items / posters + (p < items % posters ? 1 : 0);
      for (long i = 0; i < share; ++i) pool.Post(worker, std::make_unique<CountedItem>());
    });
  }
  for (auto& t : threads) t.join();
  const auto posted = Clock::now();
  worker.Wait();
  const auto executed = Clock::now();
  pool.Stop();
  std::printf("workers %3u  posters %u  items %ld  posted %10.0f/s  posted+executed %10.0f/s\n",
              workers, posters, items, items / Seconds(posted - start),
              items / Seconds(executed - start));
}

}  // namespace

int main(int argc, char** argv) {
  const long items = argc > 1 ? std::atol(argv[1]) : 1000000;

  const long before = VmRssKiB();
  {
    CThreadPool pool;
    pool.Start(500, 600);
    // Let every worker reach its wait on the queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long idle = VmRssKiB();
    std::printf(
        "VmRSS before start %ld KiB, with 500 idle workers %ld KiB (%+ld KiB, %.1f KiB per worker; "
        "stack %zu KiB)\n",
        before, idle, idle - before, (idle - before) / 500.0,
        CThreadPool::kWorkerStackBytes / 1024);
  }

  for (unsigned workers : {2u, 16u, 500u}) {
    for (unsigned posters : {1u, 4u}) Throughput(workers, posters, items);
  }
  return 0;
}
