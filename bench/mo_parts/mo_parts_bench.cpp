// Orphan long-MO parts end to end: the simulator sends COUNT first parts of
// three-part messages (each from its own sender and reference, so none ever
// completes) as fast as its control port takes the commands, while MT rows
// wait in `Submit`. Printed: brivane's VmRSS before and after the parts
// were received, the parts stored, and the MT rows recorded in SubmitLog
// while the parts came (the MT passes must keep going).
//
// Usage: bench_mo_parts [COUNT ...]   (default 20000; LongSMSMaxParts is
// set to the count, so the store keeps every part)

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/status_block.h"
#include "support/e2e_fixture.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using brivane::test::E2eOptions;
using brivane::test::E2eSystem;
using brivane::test::MtRow;

void Run(long count) {
  E2eOptions options;
  options.logLevel = 2;
  options.mtSpeedLimit = 20;
  options.smg.quiet = true;
  options.extraIni["LongSMSMaxParts"] = std::to_string(count);
  E2eSystem sys(options);
  std::string error;
  if (!sys.Start(&error)) {
    std::printf("start failed: %s\n", error.c_str());
    return;
  }
  std::vector<MtRow> rows(1000);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].msg = "mt " + std::to_string(i);
  sys.InsertSubmits(rows);
  sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 1, 20s);

  const long before = sys.ResidentKb();
  const long long loggedBefore = sys.Scalar("SELECT COUNT(*) FROM SubmitLog");
  const std::string text(300, 'o');
  std::string hex;
  for (char c : text) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(c));
    hex += two;
  }
  const auto t0 = std::chrono::steady_clock::now();
  long sent = 0;
  for (long i = 0; i < count; ++i) {
    const std::string src = std::to_string(13900000000L + i / 256);
    const std::string reply = sys.Smg().Command("mo-long " + src + " 1066123401 0 0 " +
                                                std::to_string(i % 256) + " 1 " + hex);
    if (reply.rfind("OK", 0) == 0) ++sent;
  }
  const bool received = brivane::test::WaitFor(
      [&] {
        return sys.StatusField(brivane::base::kMoReceived) >= static_cast<std::uint32_t>(sent);
      },
      120s);
  const auto t1 = std::chrono::steady_clock::now();
  const long after = sys.ResidentKb();
  const long long loggedAfter = sys.Scalar("SELECT COUNT(*) FROM SubmitLog");
  const double seconds = std::chrono::duration<double>(t1 - t0).count();
  std::printf(
      "%ld orphan parts (%ld sent, %s) in %.1f s: VmRSS %ld -> %ld KiB (%+.1f MiB); %lld MT rows "
      "recorded meanwhile (%.1f/s); Deliver rows %lld\n",
      count, sent, received ? "all received" : "NOT all received", seconds, before, after,
      static_cast<double>(after - before) / 1024.0, loggedAfter - loggedBefore,
      static_cast<double>(loggedAfter - loggedBefore) / seconds,
      sys.Scalar("SELECT COUNT(*) FROM Deliver"));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::strtol(argv[i], nullptr, 10));
  if (counts.empty()) counts = {20000};
  for (long n : counts) Run(n);
  return 0;
}
