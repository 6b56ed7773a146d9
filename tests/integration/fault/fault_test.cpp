// One fault at a time while MT rows and MO messages flow: the simulator
// killed or dropping its links, the database killed, the service restarted
// in place and stopped, the simulator falling silent. After each, no row
// and no acknowledged MO message is lost or recorded twice, and the
// service passes traffic again (fault_check.h).

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "fault_check.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Traffic that a loaded two-core machine keeps up with: rows go out at
// MTSpeedLimit per second over two links, reports follow each submit.
// A submit that loses its link before its answer gets the no-response
// outcome after SubmitRespTimeout.
E2eOptions TrafficOptions() {
  E2eOptions options;
  options.mtSpeedLimit = 50;
  options.mtAndMOConnections = 2;
  options.logLevel = 3;
  options.smg.reportDelayMs = 100;
  options.extraIni["SubmitRespTimeout"] = "10";
  options.extraIni["ReConnectSMGInterval"] = "1";
  return options;
}

// Waits until traffic really flows before the fault comes.
void WaitForTraffic(FaultRun& run, long long rows, long long mo) {
  ASSERT_TRUE(WaitFor([&] { return run.RowsLogged() >= rows && run.MoAcked() >= mo; }, 60s, 100ms))
      << "rows recorded " << run.RowsLogged() << ", MO acknowledged " << run.MoAcked();
}

TEST(Fault, SimulatorKilledAndRestartedLosesNothing) {
  E2eSystem sys(TrafficOptions());
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(400, "smg-kill");
  ASSERT_TRUE(run.StartMoLoad(20, 400));
  WaitForTraffic(run, 60, 20);

  sys.Smg().Kill();
  std::this_thread::sleep_for(5s);
  ASSERT_TRUE(sys.Smg().Restart()) << ReadFile(sys.Smg().OutputFile());
  // The killed simulator's MO load died with it.
  ASSERT_TRUE(run.StartMoLoad(20, 100));
  const long long recoverMs = run.ExpectServing("smg-kill", 90s);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(90s));
  EXPECT_EQ(sys.BrivanePid(), pid);
  EXPECT_TRUE(sys.BrivaneRunning());
  FaultNumbers numbers = run.Check();
  EXPECT_GE(run.ExpectServing("smg-kill-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("smg-kill", numbers);
}

TEST(Fault, SimulatorDroppingEveryLinkOnceASecondLosesNothing) {
  E2eSystem sys(TrafficOptions());
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(600, "smg-drop");
  ASSERT_TRUE(run.StartMoLoad(20, 500));
  WaitForTraffic(run, 60, 20);

  int dropped = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string reply = sys.Smg().Command("drop");
    ASSERT_EQ(reply.rfind("OK n=", 0), 0u) << reply;
    dropped += std::stoi(reply.substr(5));
    std::this_thread::sleep_for(1s);
  }
  EXPECT_GT(dropped, 20) << "the links came back between the drops";
  const long long recoverMs = run.ExpectServing("smg-drop", 90s);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(90s));
  EXPECT_EQ(sys.BrivanePid(), pid);
  FaultNumbers numbers = run.Check();
  EXPECT_GE(run.ExpectServing("smg-drop-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("smg-drop", numbers);
}

TEST(Fault, DatabaseKilledAndRestartedLosesNothing) {
  MariaDbServer server;
  std::string error;
  E2eOptions options = TrafficOptions();
  ASSERT_TRUE(UseOwnMariaDb(server, options, &error)) << "MariaDB server: " << error;
  E2eSystem sys(options);
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(400, "db-kill");
  ASSERT_TRUE(run.StartMoLoad(20, 300));
  WaitForTraffic(run, 60, 20);

  server.Kill();
  std::this_thread::sleep_for(4s);
  ASSERT_TRUE(server.Restart(&error)) << error << "\n" << server.ErrorLog();
  ASSERT_TRUE(sys.ReopenDatabase(&error)) << error;
  EXPECT_GT(sys.LogCount("MOLog Failed, retry..."), 0u) << "no MO message met the outage";
  const long long recoverMs = run.ExpectServing("db-kill", 90s);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(90s));
  EXPECT_EQ(sys.BrivanePid(), pid);
  // A row handed over as the server dies cannot be marked (UpdateSubmit
  // fails) and stays waiting; it must not be sent and recorded a second
  // time once the server is back.
  FaultNumbers numbers = run.Check();
  std::cout << "db-kill: rows sent whose mark failed: "
            << sys.LogCount("sent, but UpdateSubmit failed")
            << ", outcomes kept: " << sys.LogCount("kept to record again")
            << ", MO kept: " << sys.LogCount("kept to store again") << std::endl;
  EXPECT_GE(run.ExpectServing("db-kill-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("db-kill", numbers);
}

TEST(Fault, TenRestartsInPlaceThenAStopInTrafficLoseNothing) {
  E2eSystem sys(TrafficOptions());
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(200, "sighup");
  ASSERT_TRUE(run.StartMoLoad(20, 2000));
  WaitForTraffic(run, 40, 10);

  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE("restart " + std::to_string(i + 1));
    ASSERT_TRUE(sys.RestartBrivane(&error)) << error;
    EXPECT_EQ(sys.BrivanePid(), pid) << "the restart is in place";
    run.InsertRows(60, "sighup " + std::to_string(i + 1));
    const long long logged = run.RowsLogged();
    const long long acked = run.MoAcked();
    ASSERT_TRUE(WaitFor(
        [&] { return run.RowsLogged() >= logged + 20 && run.MoAcked() >= acked + 5; }, 30s, 100ms))
        << "no traffic after the restart";
  }

  const int status = sys.StopBrivane();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // What was left waiting goes out after the next start; the MO load waits
  // for a logged-in link meanwhile.
  const auto start = Clock::now();
  ASSERT_TRUE(sys.StartBrivane(&error)) << error;
  const long long served = run.ExpectServing("sighup", 90s);
  const long long recoverMs = served < 0 ? -1 : MsSince(start);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(90s));
  FaultNumbers numbers = run.Check();
  EXPECT_GE(run.ExpectServing("sighup-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("sighup-sigterm", numbers);
}

TEST(Fault, SilentSimulatorForAMinuteGivesPendingRowsTheNoResponseOutcome) {
  E2eOptions options = TrafficOptions();
  options.extraIni["SubmitRespTimeout"] = "20";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  const pid_t pid = sys.BrivanePid();
  FaultRun run(sys);
  run.InsertRows(300, "silent");
  ASSERT_TRUE(run.StartMoLoad(10, 2000));
  WaitForTraffic(run, 40, 10);

  ASSERT_EQ(sys.Smg().Command("set silent 1"), "OK");
  const auto silentSince = Clock::now();
  const long long submitsBefore = sys.Smg().Stats()["submits"];
  // Rows handed over now get no answer; within the minute their deadline
  // passes and they are recorded with the no-response outcome.
  EXPECT_TRUE(WaitFor(
      [&] { return sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = -1") > 0; }, 50s,
      500ms));
  std::this_thread::sleep_until(silentSince + 60s);
  EXPECT_GT(sys.Smg().Stats()["submits"], submitsBefore) << "nothing was written while silent";
  ASSERT_EQ(sys.Smg().Command("set silent 0"), "OK");
  // The links' windows are full of submits that were never answered; MO
  // messages keep arriving, so it is the stalled-window rule, not a receive
  // timeout, that logs them in again and lets rows go out.
  const long long recoverMs = run.ExpectServing("silent", 90s);

  run.StopMoLoad();
  EXPECT_TRUE(run.WaitSettled(90s));
  EXPECT_EQ(sys.BrivanePid(), pid);
  FaultNumbers numbers = run.Check();
  EXPECT_GT(numbers.failed, 0);
  // Every success recorded is one the simulator gave (it ran throughout, so
  // its counters cover the whole test; the probes' rows are in both).
  const auto stats = sys.Smg().Stats();
  EXPECT_LE(sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 0"),
            stats.at("submit_resps"))
      << "a success recorded that the simulator never answered";
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult NOT IN (0, -1)"), 0)
      << "outcomes other than success and no response";
  EXPECT_GE(run.ExpectServing("silent-after", 60s), 0);
  numbers.recoverMs = recoverMs;
  FaultRun::Report("smg-silent", numbers);
}

}  // namespace
}  // namespace brivane::test
