#pragma once
// SmgProcess: the brivane-smg simulator as a child process on loopback ports
// the kernel chose (it binds port 0 and prints which ports it got), with its
// control port wrapped in calls. Start waits (10 s at most) for "READY"; the
// destructor stops the process by its pid. Not thread-safe:
// one test thread drives it (Command and Stats may be called from any thread,
// they open a control connection each).

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace brivane::test {

// The simulator's "PORTS cmpp=P1[,P2...] control=C" line (the last one) in
// its output; false, leaving the outputs alone, when there is none whole.
bool ParsePortsLine(const std::string& output, std::vector<int>& cmppPorts, int& controlPort);

class SmgProcess {
 public:
  struct Options {
    int version = 48;
    std::string login = "900001", secret = "888888";
    int connectStatus = 0, submitResult = 0, reportDelayMs = 0;
    int ports = 1;
    std::string logFile;  // empty: the log goes to the process output file
    // Beyond the agreed fields.
    bool quiet = false;                  // no per-PDU log lines (benchmarks)
    std::vector<std::string> extraArgs;  // e.g. {"--report-stat", "UNDELIV"}
  };

  SmgProcess() = default;
  ~SmgProcess();
  SmgProcess(const SmgProcess&) = delete;
  SmgProcess& operator=(const SmgProcess&) = delete;

  // Starts the simulator on port 0; true once it printed its ports and READY.
  bool Start(const Options& options);
  int Port(int i = 0) const;
  int ControlPort() const { return controlPort_; }
  pid_t Pid() const;

  // One command line; the first reply line ("" on failure).
  std::string Command(const std::string& line);
  // The reply line and every line that follows it.
  std::vector<std::string> CommandLines(const std::string& line);
  // The `stats` counters by name; empty on failure.
  std::map<std::string, long> Stats();
  bool WaitStat(const std::string& key, long atLeast, std::chrono::milliseconds timeout);

  void Kill();  // SIGKILL, reaped
  void Stop();  // SIGTERM, reaped
  // Starts again on the same ports with the same options.
  bool Restart();

  // Where stdout and stderr of the process go (READY, and the log unless
  // Options::logFile is set).
  std::string OutputFile() const { return dir_ ? dir_->File("smg.out") : ""; }

 private:
  bool Launch();

  Options options_;
  std::vector<int> ports_;
  int controlPort_ = 0;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace brivane::test
