// The database server killed while transactions of several callback calls
// are open: the calls of the lost transactions run again one by one, so
// every row and every acknowledged MO message ends up recorded once, none
// twice, and the service reconnects and carries on.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>

#include "fault_check.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

TEST(BatchFault, DatabaseKilledWithBatchesInFlightRecordsEveryCallOnce) {
  MariaDbServer server;
  std::string error;
  E2eOptions options;
  ASSERT_TRUE(UseOwnMariaDb(server, options, &error)) << "MariaDB server: " << error;
  options.mtSpeedLimit = 400;
  options.mtAndMOConnections = 2;
  options.logLevel = 2;
  options.smg.reportDelayMs = 20;
  // Each batch waits to fill, so several calls share every transaction.
  options.extraIni["DBCommitBatch"] = "50";
  options.extraIni["DBCommitWait"] = "100";
  options.extraIni["SubmitRespTimeout"] = "10";
  options.extraIni["ReConnectSMGInterval"] = "1";
  E2eSystem sys(options);
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(1500, "batch-kill");
  ASSERT_TRUE(run.StartMoLoad(200, 1500));
  ASSERT_TRUE(WaitFor([&] { return run.RowsLogged() >= 150 && run.MoAcked() >= 50; }, 60s, 50ms))
      << "rows recorded " << run.RowsLogged() << ", MO acknowledged " << run.MoAcked();

  // A stopped server holds the calls in flight inside their open
  // transactions; the kill then lands in the middle of those batches.
  server.Signal(SIGSTOP);
  std::this_thread::sleep_for(500ms);
  server.Kill();
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(server.Restart(&error)) << error << "\n" << server.ErrorLog();
  ASSERT_TRUE(sys.ReopenDatabase(&error)) << error;
  const long long recoverMs = run.ExpectServing("batch-kill", 90s);
  EXPECT_GE(recoverMs, 0);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(120s));
  EXPECT_EQ(sys.BrivanePid(), pid);
  FaultNumbers numbers = run.Check();
  EXPECT_EQ(numbers.waiting, 0) << "every row goes out once the server is back";

  // The fault must have met batches of more than one call, or this test
  // proves nothing about them.
  const std::regex batchLost("a transaction of ([0-9]+) calls failed");
  int largest = 0;
  for (const TimedLine& line : sys.LogLines("calls failed, running them one by one")) {
    std::smatch m;
    if (std::regex_search(line.text, m, batchLost)) largest = std::max(largest, std::stoi(m[1]));
  }
  EXPECT_GE(largest, 2) << "no batch of several calls was in flight when the server died";
  EXPECT_GE(run.ExpectServing("batch-kill-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("batch-kill", numbers);
}

}  // namespace
}  // namespace brivane::test
