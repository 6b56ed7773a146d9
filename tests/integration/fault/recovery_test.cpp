// The service heals by itself and stops in bounded time: a database or an
// SMG missing at start comes up later without a restart, and SIGTERM ends
// the process (exit status 0, within 15 s) while the SMG drops connects or
// never answers a login. Each stop prints the time it took.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "base/status_block.h"
#include "fault_check.h"
#include "support/cmpp_peer.h"
#include "support/e2e_fixture.h"
#include "support/mariadb_server.h"
#include "support/unanswered_port.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using brivane::test::CmppListener;

constexpr const char* kStartedLine = "信息：网关服务启动！";

std::string LastLines(const std::string& log) {
  std::size_t at = log.size();
  for (int n = 0; n < 40 && at > 0; ++n) at = log.rfind('\n', at - 1);
  return at == std::string::npos ? log : log.substr(at);
}

// Sockets of this machine towards 127.0.0.1:port, other than the port's own
// fillers, that wait for an answer which does not come: a connect in SYN-SENT,
// or one that got into the accept queue before the fillers filled it
// (ESTABLISHED, never accepted, so its login is never answered).
int LoginsStuckAt(const UnansweredPort& unanswered) {
  const std::uint16_t port = unanswered.Port();
  const std::vector<std::uint16_t> fillers = unanswered.FillerPorts();
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);  // header
  char remote[16];
  std::snprintf(remote, sizeof remote, "0100007F:%04X", port);
  int n = 0;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, rem, state;
    fields >> slot >> local >> rem >> state;
    const auto colon = local.find(':');
    const bool waiting = state == "02" || state == "01";  // SYN-SENT, ESTABLISHED
    if (rem != remote || !waiting || colon == std::string::npos) continue;
    const auto localPort =
        static_cast<std::uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
    if (std::find(fillers.begin(), fillers.end(), localPort) == fillers.end()) ++n;
  }
  return n;
}

// SIGTERM, then the time until the process was gone; fails the test unless
// it exited with status 0 within the bound.
long long StopAndMeasure(E2eSystem& sys, const std::string& tag) {
  const auto start = Clock::now();
  const int status = sys.StopBrivane(30s);
  const long long ms = MsSince(start);
  std::cout << tag << ": SIGTERM to exit " << ms << " ms" << std::endl;
  EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << tag << ": wait status " << status;
  EXPECT_LT(ms, 15000) << tag << "; log tail:\n" << LastLines(sys.Log());
  return ms;
}

// No row handed over (SubmitState 1) may be left without its outcome.
void ExpectNoRowLeftHandedOver(E2eSystem& sys) {
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitState = 1"), 0);
}

E2eOptions QuickStart() {
  E2eOptions options;
  options.logLevel = 3;
  // These starts are not expected to complete; the test goes on after it.
  options.startTimeout = 3000ms;
  options.extraIni["ReConnectSMGInterval"] = "1";
  return options;
}

TEST(Recovery, SmgRefusingAtStartIsLoggedInAfterItComesBackWithNoMtWaiting) {
  E2eSystem sys(QuickStart());
  std::string error;
  ASSERT_TRUE(sys.Prepare(&error)) << error;
  sys.Smg().Kill();
  EXPECT_FALSE(sys.StartBrivane(&error)) << "started without an SMG";
  ASSERT_TRUE(sys.WaitLog("严重：网关服务启动失败！", 1, 30s)) << LastLines(sys.Log());
  // The pages are there meanwhile, and the retry rounds are logged.
  ASSERT_TRUE(sys.WaitLog("轮重新登录短信网关", 1, 10s)) << LastLines(sys.Log());
  EXPECT_EQ(sys.StatusField(base::kStarted), 0u);

  const auto back = Clock::now();
  ASSERT_TRUE(sys.Smg().Restart()) << ReadFile(sys.Smg().OutputFile());
  ASSERT_TRUE(sys.WaitLog(kStartedLine, 1, 60s)) << LastLines(sys.Log());
  std::cout << "smg-late: links logged in " << MsSince(back) << " ms after the SMG was restarted"
            << std::endl;
  EXPECT_EQ(sys.StatusField(base::kStarted), 1u);
  FaultRun run(sys);
  EXPECT_GE(run.ExpectServing("smg-late", 60s), 0);
  StopAndMeasure(sys, "smg-late");
  ExpectNoRowLeftHandedOver(sys);
}

TEST(Recovery, DatabaseMissingAtStartIsOpenedWhenItAppears) {
  E2eSystem sys(QuickStart());
  std::string error;
  ASSERT_TRUE(sys.Prepare(&error)) << error;
  ASSERT_EQ(sys.Kind(), DbKind::kSqlite);
  // The database file reached through a directory that does not exist yet:
  // the open fails until the directory (a link to the real one) appears.
  const std::string source = sys.DataSource();
  const auto at = source.find("Database=");
  ASSERT_NE(at, std::string::npos) << source;
  const auto end = source.find(';', at);
  const std::filesystem::path file = source.substr(at + 9, end - at - 9);
  const std::string later = sys.Home().File("later");
  sys.SetIni("DataSource", source.substr(0, at + 9) + later + "/" + file.filename().string() +
                               source.substr(end));
  EXPECT_FALSE(sys.StartBrivane(&error));
  ASSERT_TRUE(sys.WaitLog("轮重新连接数据库", 1, 15s)) << LastLines(sys.Log());
  EXPECT_EQ(sys.StatusField(base::kDbConnectionOpen), 0u);

  FaultRun run(sys);
  run.InsertRows(5, "db-late-waiting");
  std::filesystem::create_directory_symlink(file.parent_path(), later);
  const auto back = Clock::now();
  ASSERT_TRUE(sys.WaitLog(kStartedLine, 1, 60s)) << LastLines(sys.Log());
  EXPECT_EQ(sys.StatusField(base::kDbConnectionOpen), 1u);
  // The rows inserted while the database was unreachable go out too.
  EXPECT_TRUE(sys.WaitLoggedAndMarked(5, 60s));
  std::cout << "db-late: waiting rows recorded " << MsSince(back)
            << " ms after the database appeared" << std::endl;
  StopAndMeasure(sys, "db-late");
  ExpectNoRowLeftHandedOver(sys);
  // A stopped service reads as stopped in the block that stays.
  EXPECT_EQ(sys.StatusField(base::kStarted), 0u);
  EXPECT_EQ(sys.StatusField(base::kDbConnectionOpen), 0u);
}

// SIGTERM while the start is stuck on an SMG: connects dropped (with
// endless start-up attempts), or a TCP accept with no login answer.
TEST(StopBound, SigtermEndsAStartStuckOnTheSmg) {
  struct Case {
    const char* tag;
    bool dropConnects;
    const char* attempts;
  };
  const Case cases[] = {
      {"unreachable-smg-for-ever", true, "-1"},
      {"unreachable-smg", true, "3"},
      {"silent-login", false, "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    E2eOptions options = QuickStart();
    options.extraIni["ReConnectSMGTimesOnStart"] = c.attempts;
    options.extraIni["SocketTimeout"] = "25";
    E2eSystem sys(options);
    std::string error;
    ASSERT_TRUE(sys.Prepare(&error)) << error;
    UnansweredPort unanswered;
    if (c.dropConnects) {
      ASSERT_NE(unanswered.Port(), 0);
      sys.SetIni("MTAndMOPort", std::to_string(unanswered.Port()));
    } else {
      ASSERT_EQ(sys.Smg().Command("set silent 1"), "OK");
    }
    FaultRun run(sys);
    run.InsertRows(3, c.tag);
    EXPECT_FALSE(sys.StartBrivane(&error));
    // The connect or the login is in progress now.
    ASSERT_TRUE(sys.BrivaneRunning());
    StopAndMeasure(sys, c.tag);
    ExpectNoRowLeftHandedOver(sys);
    EXPECT_EQ(sys.StatusField(base::kStarted), 0u);
  }
}

// SIGTERM while an MO forward hangs: the application accepts the connection
// and never answers, with MOHTTPQuestTimeout at 600 s. The forward is
// aborted, the message is still stored, and the process ends in time.
TEST(StopBound, SigtermEndsWhileAnMoForwardHangs) {
  CmppListener application;  // accepts, never answers
  E2eOptions options;
  options.logLevel = 3;
  options.enableHTTPClient = true;
  options.extraIni["MOHTTPQuestTimeout"] = "600000";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Prepare(&error)) << error;
  ASSERT_TRUE(sys.Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (7, 'SVC', '01', '000000', '10661234', 'http://127.0.0.1:" +
      std::to_string(application.Port()) + "/mo', 1)"));
  ASSERT_TRUE(sys.StartBrivane(&error)) << error;
  const std::string reply = sys.Smg().Command("mo 13922223333 10661234 0 " + Hex("hang"));
  ASSERT_EQ(reply.rfind("OK seq=", 0), 0u) << reply;
  auto held = application.Accept(15s);
  ASSERT_TRUE(held) << "the forward never reached the application";
  ASSERT_TRUE(sys.WaitLog("MORequest|Postdata", 1, 5s));

  StopAndMeasure(sys, "mo-forward-hangs");
  EXPECT_GE(sys.LogCount("MO forwards still running after"), 1u) << LastLines(sys.Log());
  // Acknowledged to the SMG, so stored, with the forward recorded as failed.
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Deliver"), 1);
  ExpectNoRowLeftHandedOver(sys);
}

// SIGTERM while the database server stops answering (SIGSTOP: connections
// stay open, calls hang) in the middle of MT and MO traffic.
TEST(StopBound, SigtermEndsWhileTheDatabaseServerHangs) {
  MariaDbServer server;
  std::string error;
  E2eOptions options;
  ASSERT_TRUE(UseOwnMariaDb(server, options, &error)) << "MariaDB server: " << error;
  options.logLevel = 3;
  options.mtSpeedLimit = 50;
  options.smg.reportDelayMs = 100;
  E2eSystem sys(options);
  ASSERT_TRUE(sys.Start(&error)) << error;
  FaultRun run(sys);
  run.InsertRows(300, "db-hang");
  ASSERT_TRUE(run.StartMoLoad(20, 200));
  ASSERT_TRUE(WaitFor([&] { return run.RowsLogged() >= 30; }, 60s, 100ms));

  server.Signal(SIGSTOP);
  std::this_thread::sleep_for(2s);  // calls are hanging now
  const long long ms = StopAndMeasure(sys, "db-hang");
  server.Signal(SIGCONT);
  run.StopMoLoad();
  (void)ms;
}

// An in-place restart (SIGHUP) while the links are stuck on an SMG that
// drops connects is as bounded as a stop.
TEST(StopBound, SighupRestartEndsAStartStuckOnTheSmg) {
  E2eOptions options = QuickStart();
  options.extraIni["ReConnectSMGTimesOnStart"] = "-1";
  options.extraIni["SocketTimeout"] = "25";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Prepare(&error)) << error;
  UnansweredPort unanswered;
  ASSERT_NE(unanswered.Port(), 0);
  sys.SetIni("MTAndMOPort", std::to_string(unanswered.Port()));
  EXPECT_FALSE(sys.StartBrivane(&error));
  ASSERT_TRUE(sys.BrivaneRunning());
  const auto start = Clock::now();
  ASSERT_EQ(::kill(sys.BrivanePid(), SIGHUP), 0);
  ASSERT_TRUE(sys.WaitLog("Service brivane Restart\tSignal", 1, 15s)) << LastLines(sys.Log());
  std::cout << "restart-stuck-smg: SIGHUP to restarted " << MsSince(start) << " ms" << std::endl;
  StopAndMeasure(sys, "restart-stuck-smg");
}

// `brivane status` of this system: its output.
std::string StatusCommand(E2eSystem& sys) {
  const std::string command = "BRIVANE_STATUS_BLOCK=" + sys.StatusBlockName() + " " +
                              BuiltProgram("brivane") + " status --home " + sys.Home().Path() +
                              " 2>&1";
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  return out;
}

bool AllDbFlags(E2eSystem& sys, std::uint32_t value) {
  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen})
    if (sys.StatusField(offset) != value) return false;
  return true;
}

// The status block and the verdict follow the database: every flag set after
// a healthy start (not only after each connection's first call), cleared
// for a connection that failed, set again when it reopens, all 0 at stop.
TEST(HealthSignals, StatusBlockAndVerdictFollowTheDatabaseAndTheStop) {
  MariaDbServer server;
  std::string error;
  E2eOptions options;
  ASSERT_TRUE(UseOwnMariaDb(server, options, &error)) << "MariaDB server: " << error;
  options.logLevel = 3;
  // systemd's notification socket, played by the test.
  TempDir notifyDir;
  const std::string notifyPath = notifyDir.File("notify.sock");
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(notify, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  options.brivaneEnv["NOTIFY_SOCKET"] = notifyPath;
  std::string notified;
  auto readNotified = [&] {
    char buffer[4096];
    for (ssize_t n; (n = ::recv(notify, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
      notified.append(buffer, static_cast<std::size_t>(n)).append("|");
    return notified;
  };
  E2eSystem sys(options);
  ASSERT_TRUE(sys.Start(&error)) << error;
  // READY once the database is open and a link logged in, with the verdict.
  EXPECT_TRUE(
      WaitFor([&] { return readNotified().find("READY=1|") != std::string::npos; }, 10s, 100ms))
      << notified;
  EXPECT_NE(notified.find("STATUS=running|"), std::string::npos) << notified;
  EXPECT_TRUE(AllDbFlags(sys, 1));
  EXPECT_EQ(sys.StatusField(base::kStarted), 1u);
  ASSERT_TRUE(
      WaitFor([&] { return StatusCommand(sys).rfind("health: running\n", 0) == 0; }, 10s, 200ms))
      << StatusCommand(sys);

  server.Kill();
  FaultRun run(sys);
  ASSERT_TRUE(run.StartMoLoad(10, 50));
  // The MO store fails and marks its connection closed.
  ASSERT_TRUE(WaitFor([&] { return sys.StatusField(base::kDbConnectionMoOpen) == 0; }, 30s, 100ms))
      << LastLines(sys.Log());
  ASSERT_TRUE(server.Restart(&error)) << error;
  ASSERT_TRUE(sys.ReopenDatabase(&error)) << error;
  ASSERT_TRUE(WaitFor([&] { return sys.StatusField(base::kDbConnectionMoOpen) == 1; }, 60s, 100ms))
      << LastLines(sys.Log());
  run.StopMoLoad();

  StopAndMeasure(sys, "health-signals");
  EXPECT_TRUE(AllDbFlags(sys, 0));
  EXPECT_EQ(sys.StatusField(base::kStarted), 0u);
  EXPECT_EQ(StatusCommand(sys).rfind("health: stopped\n", 0), 0u) << StatusCommand(sys);
  EXPECT_NE(readNotified().find("STOPPING=1|"), std::string::npos) << notified;
  ::close(notify);
}

// SIGTERM under MT and MO load: rows already handed over still get their
// outcome before the exit.
TEST(StopBound, SigtermUnderFullLoadEndsInTimeAndLeavesNoRowHandedOver) {
  E2eOptions options;
  options.logLevel = 3;
  options.mtSpeedLimit = 200;
  options.mtAndMOConnections = 2;
  options.smg.reportDelayMs = 50;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  FaultRun run(sys);
  run.InsertRows(3000, "load-stop");
  ASSERT_TRUE(run.StartMoLoad(50, 1000));
  ASSERT_TRUE(WaitFor([&] { return run.RowsLogged() >= 200; }, 60s, 100ms));
  StopAndMeasure(sys, "full-load");
  run.StopMoLoad();
  ExpectNoRowLeftHandedOver(sys);
}

// SIGTERM while a pass waits for a link to take its row: the SMG is gone,
// so no link is logged in, and the select wait is 30 s. The wait gives up
// at the stop and the rows stay waiting for the next start.
TEST(StopBound, SigtermEndsAPassWaitingForALink) {
  E2eOptions options;
  options.logLevel = 3;
  options.mtAndMOConnections = 1;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  sys.Smg().Stop();
  // The link has noticed: it is trying to connect again.
  ASSERT_TRUE(
      WaitFor([&] { return sys.Log().find("Connect() failed") != std::string::npos; }, 30s, 100ms))
      << LastLines(sys.Log());
  FaultRun run(sys);
  run.InsertRows(5, "no-link");
  // A pass runs every 50 ms when idle; nothing outside shows its wait, so
  // give it a moment to read a row and start waiting for a link.
  std::this_thread::sleep_for(1500ms);
  StopAndMeasure(sys, "pass-waiting-for-a-link");
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitState = 0"), 5);
}

// SIGTERM while a link logs in again to an SMG address that stopped
// answering (its connects hang, as behind a firewall that drops them): the
// stop cuts the connect short instead of waiting out SocketTimeout.
TEST(StopBound, SigtermEndsALoginAgainToAnAddressThatStoppedAnswering) {
  E2eOptions options;
  options.logLevel = 3;
  options.mtAndMOConnections = 1;
  options.extraIni["SocketTimeout"] = "25";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  const auto port = static_cast<std::uint16_t>(sys.Smg().Port());
  sys.Smg().Kill();
  UnansweredPort unanswered(port);
  ASSERT_EQ(unanswered.Port(), port);
  ASSERT_TRUE(WaitFor([&] { return sys.Log().find("RecvSmgMsg() failed") != std::string::npos; },
                      30s, 100ms))
      << LastLines(sys.Log());
  // The link logs in again; its connect hangs, or, when it reconnected
  // between the listen and the fillers, its login waits for an answer.
  ASSERT_TRUE(WaitFor([&] { return LoginsStuckAt(unanswered) > 0; }, 20s, 50ms))
      << LastLines(sys.Log());
  StopAndMeasure(sys, "login-again-to-a-silent-address");
}

}  // namespace
}  // namespace brivane::test
