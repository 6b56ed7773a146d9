// MO forwarding end to end: brivane-smg sends routed MO messages with its
// `mo-load RATE COUNT SRC DEST stamp` command, the real brivane (SQLite, or
// MariaDB with --mariadb) stores and forwards each one to an HTTP receiver in
// this process that answers 200 at once.
//
// How the delay is measured: with `stamp` every load message says
// "MO load N t=US", US being CLOCK_MONOTONIC in microseconds taken by the
// simulator just before it writes the DELIVER. The receiver takes the same
// clock when the POST has arrived (the handler runs after the whole request
// is read) and decodes DIALOG.MESSAGE; the difference is DELIVER written to
// the application's receipt: the link, the worker queue, route lookup, the
// HTTP connection and the POST. Both processes run on this machine, so
// the clock is shared. Forwards per second: messages received by the
// application divided by the time from the first DELIVER written to the
// last receipt.
//
// Usage: bench_mo [--count N] [--rates R1,R2,...] [--work-threads N]
//                 [--log-level N] [--mariadb]
//   --count        messages of the full-speed run (default 5000)
//   --rates        paced runs, messages per second, 5 s each (default
//                  200 and half the full-speed rate)
//   --work-threads WorkThreads (default 16)
//   --log-level    LogLevel (default 2: the "MORequest|Postdata" line of
//                  every forward is written, the per-message detail is not)

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status_block.h"
#include "support/e2e_fixture.h"
#include "support/process.h"

using namespace brivane::test;

namespace {

std::int64_t MonotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of one form field, decoded ("+" a space, "%XX" a byte).
std::string FormField(const std::string& body, const std::string& name) {
  const std::string key = name + "=";
  std::size_t at = 0;
  while (at < body.size()) {
    std::size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    if (body.compare(at, key.size(), key) == 0) {
      std::string out;
      for (std::size_t i = at + key.size(); i < end; ++i) {
        if (body[i] == '+') {
          out += ' ';
        } else if (body[i] == '%' && i + 2 < end && HexDigit(body[i + 1]) >= 0 &&
                   HexDigit(body[i + 2]) >= 0) {
          out += static_cast<char>(HexDigit(body[i + 1]) * 16 + HexDigit(body[i + 2]));
          i += 2;
        } else {
          out += body[i];
        }
      }
      return out;
    }
    at = end + 1;
  }
  return "";
}

// The application: answers every POST with 200 at once and notes, per load
// message, the receipt time and the stamp.
class Receiver {
 public:
  struct Hit {
    long number;
    std::int64_t stampUs;
    std::int64_t receivedUs;
  };

  Receiver() {
    server_.set_tcp_nodelay(true);
    server_.Post("/mo", [this](const httplib::Request& req, httplib::Response& res) {
      const std::int64_t now = MonotonicUs();
      const std::string text = FormField(req.body, "DIALOG.MESSAGE");
      long number = -1;
      long long stamp = -1;
      if (std::sscanf(text.c_str(), "MO load %ld t=%lld", &number, &stamp) != 2) {
        ++unparsed_;
      } else {
        std::lock_guard lock(mutex_);
        hits_.push_back({number, static_cast<std::int64_t>(stamp), now});
      }
      res.status = 200;
      res.set_content("OK", "text/plain");
    });
    // The library listens with a backlog of 5; brivane opens a connection
    // per forward, so a burst would overflow it and a dropped SYN costs the
    // client a 1 s retransmission. Listening again on the same socket raises
    // the backlog (Linux).
    server_.set_socket_options([this](socket_t sock) { listenFd_ = sock; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ > 0 && listenFd_ >= 0) ::listen(listenFd_, 4096);
    if (port_ > 0) {
      thread_ = std::thread([this] { server_.listen_after_bind(); });
      WaitFor([this] { return server_.is_running(); }, std::chrono::seconds(5));
    }
  }
  ~Receiver() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  int Port() const { return port_; }
  std::size_t Count() {
    std::lock_guard lock(mutex_);
    return hits_.size();
  }
  std::vector<Hit> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(hits_, {});
  }
  long Unparsed() const { return unparsed_.load(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  int listenFd_ = -1;
  std::mutex mutex_;
  std::vector<Hit> hits_;
  std::atomic<long> unparsed_{0};
};

struct RunResult {
  long sent = 0;
  long received = 0;
  long duplicates = 0;
  long stored = 0;
  double seconds = 0;  // first DELIVER written to last receipt
  double perSecond = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
  bool complete = false;
};

double Percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

RunResult Run(E2eSystem& sys, Receiver& app, long rate, long count, long storedBefore) {
  RunResult r;
  r.sent = count;
  app.Take();
  const std::string reply =
      sys.Smg().Command("mo-load " + std::to_string(rate) + " " + std::to_string(count) +
                        " 13800138000 106612345 stamp");
  if (reply != "OK") {
    std::fprintf(stderr, "mo-load refused: %s\n", reply.c_str());
    return r;
  }
  // Deadline: the paced duration plus a margin for the backlog.
  const auto limit = std::chrono::milliseconds(60000 + count * 1000 / std::max(1L, rate));
  r.complete = WaitFor([&] { return app.Count() >= static_cast<std::size_t>(count); }, limit,
                       std::chrono::milliseconds(20));
  // Everything forwarded is stored right after; wait for the rows too.
  WaitFor([&] { return sys.Scalar("SELECT COUNT(*) FROM Deliver") - storedBefore >= count; },
          std::chrono::seconds(30), std::chrono::milliseconds(100));
  r.stored = static_cast<long>(sys.Scalar("SELECT COUNT(*) FROM Deliver") - storedBefore);
  std::vector<Receiver::Hit> hits = app.Take();
  std::vector<bool> seen(static_cast<std::size_t>(count) + 1, false);
  std::vector<double> latencyMs;
  std::int64_t first = INT64_MAX, last = INT64_MIN;
  for (const auto& h : hits) {
    if (h.number < 1 || h.number > count) continue;
    if (seen[static_cast<std::size_t>(h.number)]) {
      ++r.duplicates;
      continue;
    }
    seen[static_cast<std::size_t>(h.number)] = true;
    ++r.received;
    latencyMs.push_back(static_cast<double>(h.receivedUs - h.stampUs) / 1000.0);
    first = std::min(first, h.stampUs);
    last = std::max(last, h.receivedUs);
  }
  std::sort(latencyMs.begin(), latencyMs.end());
  if (r.received > 0) {
    r.seconds = static_cast<double>(last - first) / 1e6;
    r.perSecond = r.seconds > 0 ? static_cast<double>(r.received) / r.seconds : 0;
    r.p50Ms = Percentile(latencyMs, 0.50);
    r.p99Ms = Percentile(latencyMs, 0.99);
    r.maxMs = latencyMs.back();
  }
  return r;
}

void Print(const char* name, const RunResult& r) {
  std::printf("%-16s %7ld %9ld %7ld %5ld %8.2f %11.0f %8.2f %8.2f %8.2f%s\n", name, r.sent,
              r.received, r.stored, r.duplicates, r.seconds, r.perSecond, r.p50Ms, r.p99Ms, r.maxMs,
              r.complete ? "" : "  (incomplete)");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  long count = 5000;
  std::vector<long> rates;
  int workThreads = 16;
  int logLevel = 2;
  bool mariaDb = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--count") {
      count = std::atol(next().c_str());
    } else if (a == "--rates") {
      const std::string list = next();
      for (std::size_t at = 0; at < list.size();) {
        std::size_t comma = list.find(',', at);
        rates.push_back(std::atol(list.substr(at, comma - at).c_str()));
        at = comma == std::string::npos ? list.size() : comma + 1;
      }
    } else if (a == "--work-threads") {
      workThreads = std::atoi(next().c_str());
    } else if (a == "--log-level") {
      logLevel = std::atoi(next().c_str());
    } else if (a == "--mariadb") {
      mariaDb = true;
    } else {
      std::fprintf(stderr,
                   "usage: bench_mo [--count N] [--rates R1,R2] [--work-threads N] "
                   "[--log-level N] [--mariadb]\n");
      return 2;
    }
  }
  if (count <= 0) count = 5000;

  Receiver app;
  if (app.Port() <= 0) {
    std::fprintf(stderr, "the receiver cannot listen\n");
    return 1;
  }
  E2eOptions options;
  options.db = mariaDb ? DbKind::kMariaDb : DbKind::kSqlite;
  options.enableHTTPClient = true;
  options.workThreads = workThreads;
  options.logLevel = logLevel;
  options.smg.quiet = true;
  options.extraIni = {{"DialogCarrierID", "46000"}, {"DialogCarrierNAME", "bench"}};
  E2eSystem sys(options);
  std::string error;
  if (!sys.Prepare(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  sys.Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, "
      "PostInterface, EnableRoute) VALUES (1, 'BENCH', '01', '000000', '10661234', "
      "'http://127.0.0.1:" +
      std::to_string(app.Port()) + "/mo', 1)");
  if (!sys.StartBrivane(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  std::printf(
      "MO forwarding: brivane-smg -> brivane (%s, WorkThreads %d, LogLevel %d, 1 link)"
      " -> HTTP receiver answering 200 at once; %u cores\n",
      mariaDb ? "MariaDB" : "SQLite", workThreads, logLevel, std::thread::hardware_concurrency());
  std::printf("%-16s %7s %9s %7s %5s %8s %11s %8s %8s %8s\n", "run", "sent", "forwarded", "stored",
              "dup", "seconds", "forwards/s", "p50 ms", "p99 ms", "max ms");

  // A short warm-up: connections, prepared statements, worker threads.
  long stored = 0;
  RunResult warm = Run(sys, app, 1000000, 200, stored);
  stored += warm.stored;

  RunResult full = Run(sys, app, 1000000, count, stored);
  stored += full.stored;
  Print("full speed", full);

  if (rates.empty()) {
    rates.push_back(200);
    if (full.perSecond > 400) rates.push_back(static_cast<long>(full.perSecond / 2));
  }
  for (long rate : rates) {
    if (rate <= 0) continue;
    RunResult paced = Run(sys, app, rate, rate * 5, stored);
    stored += paced.stored;
    const std::string name = "paced " + std::to_string(rate) + "/s";
    Print(name.c_str(), paced);
  }
  if (app.Unparsed() > 0) std::printf("requests without a load stamp: %ld\n", app.Unparsed());
  std::printf("forwards ok/failed (status block 0x70/0x74): %u/%u\n",
              sys.StatusField(brivane::base::kMoForwardOk),
              sys.StatusField(brivane::base::kMoForwardFail));
  const int status = sys.StopBrivane();
  return status == 0 ? 0 : 1;
}
