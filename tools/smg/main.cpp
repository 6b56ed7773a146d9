// brivane-smg: a CMPP 2.0 / 3.0 gateway simulator on 127.0.0.1 for tests,
// demos and load. See SmgServer for the CMPP side and ControlServer for the
// line commands. Once every listener is up it prints the ports it listens on
// and "READY", two lines on stdout:
//   PORTS cmpp=17890,17892 control=17891
//   READY
// A port given as 0 is one the kernel chose, so a test that starts it on port
// 0 reads its ports there. SIGTERM, SIGINT and the `quit` command end it with
// status 0.

#include <pthread.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "control.h"
#include "smg_server.h"

int main(int argc, char** argv) {
  using namespace brivane::smg;
  SmgOptions options;
  int controlPort = 0;
  int version = 48;
  std::string logFile;
  bool quiet = false;

  CLI::App app{"brivane-smg: CMPP gateway simulator"};
  app.footer(
      "Control port, one command a line:\n"
      "  stats | reset | quit | connections | submits [FROM [COUNT]]\n"
      "  set connect-status|submit-result|report-delay-ms|report-stat|silent VALUE\n"
      "  set segment-result N,R   (segment N of each long SUBMIT answered with Result R)\n"
      "  set alternate-result R,COUNT   (of the next COUNT SUBMITs, every other one from the\n"
      "                           first answered with Result R)\n"
      "  mo SRC DEST FMT HEX [SERVICE [LINKID]]\n"
      "  mo-long SRC DEST FMT REF16 REF ORDER HEX [SERVICE [LINKID]]\n"
      "  mo-load RATE COUNT [SRC DEST [stamp]]\n"
      "  active-test | terminate | drop | raw HEX");
  app.add_option("--port", options.ports,
                 "CMPP port on 127.0.0.1 (repeatable; 0: one the kernel chooses)")
      ->required()
      ->check(CLI::Range(0, 65535));
  app.add_option("--control-port", controlPort,
                 "line-command port on 127.0.0.1 (0: one the kernel chooses)")
      ->required()
      ->check(CLI::Range(0, 65535));
  app.add_option("--version", version, "CMPP layout: 32 = 2.0, above 32 = 3.0")
      ->check(CLI::Range(0, 255));
  app.add_option("--login", options.login, "login name checked in CONNECT");
  app.add_option("--secret", options.secret, "shared secret checked in CONNECT");
  app.add_option("--connect-status", options.connectStatus,
                 "Status forced on every login (0: check the authenticator)")
      ->check(CLI::Range(0, 255));
  app.add_option("--submit-result", options.submitResult, "Result of every SUBMIT_RESP")
      ->check(CLI::Range(0, 255));
  app.add_option("--report-delay-ms", options.reportDelayMs, "delay of status reports")
      ->check(CLI::Range(0, 86400000));
  app.add_option("--report-stat", options.reportStat, "Stat of status reports (up to 7 chars)")
      ->check([](const std::string& s) {
        return s.empty() || s.size() > 7 ? std::string("1 to 7 characters") : std::string();
      });
  app.add_option("--gateway-code", options.gatewayCode, "gateway code in every Msg_Id")
      ->check(CLI::Range(0u, kMaxGatewayCode));
  app.add_option("--max-submits", options.maxSubmits,
                 "received SUBMITs kept for the submits command");
  app.add_option("--log", logFile, "log file (default stderr)");
  app.add_flag("--quiet", quiet, "no log lines");
  CLI11_PARSE(app, argc, argv);
  options.version = static_cast<std::uint8_t>(version);

  // Every thread inherits this mask; main alone takes the signals with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SmgLog log;
  std::string error;
  if (!log.Open(logFile, quiet, &error)) {
    std::fprintf(stderr, "brivane-smg: %s\n", error.c_str());
    return 1;
  }
  SmgServer server(options, log);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "brivane-smg: %s\n", error.c_str());
    return 1;
  }
  ControlServer control(server, [] { kill(getpid(), SIGTERM); });
  if (!control.Start(controlPort, &error)) {
    std::fprintf(stderr, "brivane-smg: %s\n", error.c_str());
    server.Stop();
    return 1;
  }
  std::string ports;
  for (int p : server.Ports()) ports += (ports.empty() ? "" : ",") + std::to_string(p);
  log.Line("listening: CMPP %s, version %u, control port %d", ports.c_str(), options.version,
           control.Port());
  std::printf("PORTS cmpp=%s control=%d\nREADY\n", ports.c_str(), control.Port());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&signals, &sig);
  log.Line("signal %d: stopping", sig);
  control.Stop();
  server.Stop();
  return 0;
}
