// Answered submits per second through CMPPClient to brivane-smg on loopback,
// over one link and over four, every submit answered, with the median and
// 99th-percentile time from Submit to its OnSubmitResp; and the resident
// memory of a client with 500 idle workers and four links.
//
// Usage: bench_links [submits per run [client|workers|memory]]
//        (default 200000 submits, every part)
//
// Two ways in:
//   client  - CMPPClient::Submit from one polling thread, as the MT poller
//             calls it: link selection (window, sending flag, the 100 ms
//             pause when no link is eligible), a work item per submit, the
//             write on a worker thread.
//   workers - the link's Submit called straight from 16 threads standing in
//             for workers, each keeping at most 16 submits per link
//             unanswered (CMPPConnection::kWindow); no selection.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cmpp/client.h"
#include "cmpp/connection.h"
#include "support/smg_process.h"

namespace {

using brivane::cmpp::CMPPClient;
using brivane::cmpp::CMPPConnection;
using brivane::cmpp::CmppSubmit;
using brivane::cmpp::CmppSubmitResp;
using brivane::cmpp::LinkSettings;
using brivane::test::SmgProcess;
using Clock = std::chrono::steady_clock;

long VmRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Times every submit from the call that queued (or wrote) it to its answer.
class BenchClient final : public CMPPClient {
 public:
  explicit BenchClient(std::size_t n)
      : start_(n), latencyNs_(n, 0), slots_(SlotsFor(n)), seqToRecord_(slots_) {}
  ~BenchClient() override { Release(); }

  // Only trouble is shown; the statistics lines of the stopped links are not.
  void LogWrite(std::string_view line) override {
    if (line.find("STATICS|") != std::string_view::npos) return;
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
  bool OnSubmitting(CMPPConnection&, const CmppSubmit& s) override {
    seqToRecord_[s.sequenceId & (slots_ - 1)].store(static_cast<std::uint32_t>(s.recordId),
                                                    std::memory_order_relaxed);
    return true;
  }
  void OnSubmitFail(CMPPConnection&, const CmppSubmit& s) override {
    std::fprintf(stderr, "submit %llu failed: %d\n", static_cast<unsigned long long>(s.recordId),
                 s.lastError);
  }
  void OnSubmitResp(CMPPConnection& link, const CmppSubmitResp& r) override {
    const auto now = Clock::now();
    const std::uint32_t record =
        seqToRecord_[r.Sequence_Id & (slots_ - 1)].load(std::memory_order_relaxed);
    if (record < latencyNs_.size()) {
      latencyNs_[record] = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               now - start_[record].load(std::memory_order_relaxed))
                               .count();
    }
    if (r.Result != 0) bad_.fetch_add(1);
    if (onAnswer) onAnswer(link);
    if (answered_.fetch_add(1) + 1 == target_) {
      std::lock_guard guard(mutex_);
      cv_.notify_all();
    }
  }

  void MarkStart(std::uint32_t record) {
    start_[record].store(Clock::now(), std::memory_order_relaxed);
  }
  void Expect(long target) {
    answered_ = 0;
    target_ = target;
  }
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock guard(mutex_);
    return cv_.wait_for(guard, limit, [this] { return answered_.load() >= target_; });
  }
  long Answered() const { return answered_.load(); }
  long Bad() const { return bad_.load(); }
  std::vector<long> Latencies(std::size_t n) const {
    return std::vector<long>(latencyNs_.begin(), latencyNs_.begin() + static_cast<long>(n));
  }

  std::function<void(CMPPConnection&)> onAnswer;

 private:
  // Sequence_Ids are drawn in order, so 4n slots never hold two live ones.
  static std::size_t SlotsFor(std::size_t n) {
    std::size_t slots = 4;
    while (slots < 4 * n) slots *= 2;
    return slots;
  }
  std::vector<std::atomic<Clock::time_point>> start_;
  std::vector<long> latencyNs_;
  const std::size_t slots_;
  std::vector<std::atomic<std::uint32_t>> seqToRecord_;
  std::atomic<long> answered_{0};
  std::atomic<long> bad_{0};
  long target_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
};

CmppSubmit Record(std::uint32_t id) {
  CmppSubmit s{};
  s.recordId = id;
  s.Pk_total = s.Pk_number = 1;
  std::memcpy(s.Service_Id, "BENCH", 5);
  std::memcpy(s.Src_Id, "10658888", 8);
  s.DestUsr_tl = 1;
  std::memcpy(s.Dest_terminal_Id, "13800138000", 11);
  const char text[] = "benchmark message of about seventy bytes, ASCII, one segment only.";
  s.Msg_Length = sizeof text - 1;
  std::memcpy(s.Msg_Content, text, s.Msg_Length);
  return s;
}

LinkSettings Settings(int port, int links) {
  LinkSettings s;
  s.smgAddress = "127.0.0.1";
  s.version = brivane::cmpp::kCmppVersion30;
  s.loginName = "900001";
  s.secret = "888888";
  s.mtConnections = links;
  s.moConnections = 0;
  s.mtAndMoConnections = 0;
  s.mtPort = static_cast<std::uint16_t>(port);
  return s;
}

void Report(const char* mode, int links, long n, double seconds, BenchClient& client) {
  std::vector<long> l = client.Latencies(static_cast<std::size_t>(n));
  std::sort(l.begin(), l.end());
  const double median = l[l.size() / 2] / 1000.0;
  const double p99 = l[l.size() * 99 / 100] / 1000.0;
  std::printf(
      "%-7s %d link%s: %7ld submits in %6.2f s = %8.0f answered/s; "
      "Submit->OnSubmitResp median %8.1f us, p99 %9.1f us; Result!=0: %ld\n",
      mode, links, links == 1 ? " " : "s", n, seconds, n / seconds, median, p99, client.Bad());
  std::fflush(stdout);
}

void ClientRun(SmgProcess& smg, int links, long n) {
  BenchClient client(static_cast<std::size_t>(n));
  client.StartWorkers(16, 32);
  if (client.OpenLinks(Settings(smg.Port(), links)) != 1) {
    std::printf("client  %d links: could not open the links\n", links);
    return;
  }
  client.Expect(n);
  const auto start = Clock::now();
  for (long i = 0; i < n; ++i) {
    CmppSubmit s = Record(static_cast<std::uint32_t>(i));
    client.MarkStart(static_cast<std::uint32_t>(i));
    if (client.Submit(s) != 0) std::printf("submit %ld not queued\n", i);
  }
  const bool done = client.Wait(std::chrono::seconds(120));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!done)
    std::printf("client  %d links: only %ld of %ld answered\n", links, client.Answered(), n);
  Report("client", links, n, seconds, client);
}

// Sixteen writer threads share the links; each link has at most kWindow
// submits unanswered, as the client's selection would allow.
void WorkersRun(SmgProcess& smg, int links, long n) {
  BenchClient client(static_cast<std::size_t>(n));
  client.StartWorkers(16, 32);
  if (client.OpenLinks(Settings(smg.Port(), links)) != 1) {
    std::printf("workers %d links: could not open the links\n", links);
    return;
  }
  std::vector<std::shared_ptr<CMPPConnection>> all;
  for (int i = 0; i < links; ++i) all.push_back(client.SelectLink());
  struct Window {
    std::mutex mutex;
    std::condition_variable cv;
    int open = 0;
  };
  std::vector<std::unique_ptr<Window>> windows;
  for (int i = 0; i < links; ++i) windows.push_back(std::make_unique<Window>());
  client.onAnswer = [&](CMPPConnection& link) {
    for (int i = 0; i < links; ++i) {
      if (all[i].get() != &link) continue;
      {
        std::lock_guard guard(windows[i]->mutex);
        --windows[i]->open;
      }
      windows[i]->cv.notify_one();
    }
  };
  client.Expect(n);
  std::atomic<long> next{0};
  const auto start = Clock::now();
  std::vector<std::thread> writers;
  for (int t = 0; t < 16; ++t) {
    writers.emplace_back([&, t] {
      const int l = t % links;
      for (long i; (i = next.fetch_add(1)) < n;) {
        {
          std::unique_lock guard(windows[l]->mutex);
          windows[l]->cv.wait(guard, [&] { return windows[l]->open < CMPPConnection::kWindow; });
          ++windows[l]->open;
        }
        CmppSubmit s = Record(static_cast<std::uint32_t>(i));
        client.MarkStart(static_cast<std::uint32_t>(i));
        all[l]->Submit(s);
      }
    });
  }
  for (auto& w : writers) w.join();
  const bool done = client.Wait(std::chrono::seconds(120));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!done)
    std::printf("workers %d links: only %ld of %ld answered\n", links, client.Answered(), n);
  client.onAnswer = nullptr;
  Report("workers", links, n, seconds, client);
}

void IdleMemory(SmgProcess& smg) {
  const long before = VmRssKiB();
  BenchClient client(1);
  client.StartWorkers(500, 600);
  if (client.OpenLinks(Settings(smg.Port(), 4)) != 1) {
    std::printf("memory: could not open the links\n");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long idle = VmRssKiB();
  std::printf(
      "VmRSS of the process: %ld KiB before, %ld KiB with a client of %zu idle workers and "
      "%zu links (%+ld KiB)\n",
      before, idle, client.WorkerPool().ThreadCount(), client.LinkCount(), idle - before);
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 200000;
  SmgProcess smg;
  SmgProcess::Options options;
  options.quiet = true;
  if (!smg.Start(options)) {
    std::fprintf(stderr, "brivane-smg did not start (build the brivane-smg target)\n");
    return 1;
  }
  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "memory") IdleMemory(smg);
  if (only.empty() || only == "client") {
    for (int links : {1, 4}) ClientRun(smg, links, n);
  }
  if (only.empty() || only == "workers") {
    for (int links : {1, 4}) WorkersRun(smg, links, n);
  }
  return 0;
}
