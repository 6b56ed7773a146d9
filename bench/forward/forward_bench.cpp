// MO forwards per second to a local HTTP receiver that answers at once, from
// 1 and 8 threads, with the median and 99th percentile of one forward
// (route lookup, body, POST on a new connection, reply, log lines, counter).
// Usage: bench_forward [seconds per run, default 3] [log level, default 3]

#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "sp/post_mo.h"
#include "sp/routing.h"

using namespace brivane;
using Clock = std::chrono::steady_clock;

namespace {

struct Run {
  std::size_t forwards = 0;
  std::size_t failed = 0;
  double seconds = 0;
  std::vector<double> latencyUs;
};

Run Measure(const sp::RouteTable& table, const sp::ForwardSettings& settings, int threads,
            double seconds) {
  std::vector<std::vector<double>> lat(threads);
  std::atomic<std::size_t> failed{0};
  auto start = Clock::now();
  auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      const std::string content = "\xB2\xE2\xCA\xD4 message 1+1=2";  // GBK text
      sp::MoForward mo;
      mo.destId = "106612345";
      mo.mobile = "13800138000";
      mo.linkId = "LINK";
      mo.msgId = "4294967298";
      mo.coding = 15;
      mo.content = content;
      while (Clock::now() < end) {
        auto t0 = Clock::now();
        sp::ForwardOutcome out = sp::ForwardMo(table, settings, mo);
        auto t1 = Clock::now();
        if (!out.forwarded) ++failed;
        lat[t].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      }
    });
  for (auto& th : pool) th.join();
  Run r;
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& v : lat) r.latencyUs.insert(r.latencyUs.end(), v.begin(), v.end());
  r.forwards = r.latencyUs.size();
  r.failed = failed.load();
  std::sort(r.latencyUs.begin(), r.latencyUs.end());
  return r;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  int logLevel = argc > 2 ? std::atoi(argv[2]) : 3;
  std::string logPath = "/tmp/bench_forward_" + std::to_string(getpid()) + ".log";
  base::OpenLog(logPath, logLevel);

  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Post("/mo", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("ok", "text/plain");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serverThread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  sp::RouteTable table;
  std::vector<sp::RouteInfo> routes;
  for (int i = 0; i < 50; ++i)  // a realistic table: the match is not the first entry
    routes.push_back(
        sp::MakeRouteInfo(i, "SVC", "", "", std::to_string(2000 + i), "http://127.0.0.1:1/"));
  routes.push_back(sp::MakeRouteInfo(99, "SVC", "01", "0", "1066123",
                                     "http://127.0.0.1:" + std::to_string(port) + "/mo"));
  table.Replace(routes);
  sp::ForwardSettings settings;
  settings.EnableHTTPClient = true;
  settings.DialogCarrierID = "46000";
  settings.DialogCarrierNAME = "CMCC";
  settings.MOHTTPQuestTimeout = std::chrono::milliseconds(10000);

  Measure(table, settings, 1, 0.3);  // warm-up: curl and TLS library set-up, page faults
  std::printf(
      "forward to a local receiver, new connection per forward, log level %d, %.1f s per run\n",
      logLevel, seconds);
  std::printf("%8s %10s %12s %12s %12s %8s\n", "threads", "forwards", "forwards/s", "median us",
              "p99 us", "failed");
  for (int threads : {1, 8}) {
    Run r = Measure(table, settings, threads, seconds);
    std::printf("%8d %10zu %12.0f %12.1f %12.1f %8zu\n", threads, r.forwards,
                static_cast<double>(r.forwards) / r.seconds, Percentile(r.latencyUs, 0.5),
                Percentile(r.latencyUs, 0.99), r.failed);
  }
  server.stop();
  serverThread.join();
  base::CloseLog();
  std::remove(logPath.c_str());
  return 0;
}
