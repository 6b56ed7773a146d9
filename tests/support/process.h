#pragma once
// Test helpers: child processes started and stopped by pid, free loopback
// ports, temporary directories and deadline waits. Nothing here sleeps
// blindly: WaitFor polls a condition until its deadline.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brivane::test {

// Path of a program built next to the tests (build/brivane, build/brivane-smg).
std::string BuiltProgram(const std::string& name);
std::string SourcePath(const std::string& relative);

// A child process; its destructor ends it (SIGTERM, then SIGKILL after 5 s)
// and reaps it. Output goes to the given file (appended) or is inherited.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::string& outputFile = "",
             const std::map<std::string, std::string>& env = {}, const std::string& cwd = "");
  pid_t Pid() const { return pid_; }
  bool Running();
  // Sends sig; does not wait.
  void Signal(int sig);
  // Waits up to timeout for the process to end; returns its exit status as
  // waitpid gives it, or -1 when it is still running.
  int Wait(std::chrono::milliseconds timeout);
  // SIGTERM, wait up to grace, then SIGKILL. Returns the wait status.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  void Kill();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago, for a server that
// cannot bind port 0 and say which port it got (brivane's HTTPPort, mysqld,
// postgres). Someone else may take it before the server binds it, so the
// caller retries when the bind fails.
int FreePort();

// True when brivane's output holds its start failure for `port` ("Cannot
// run without HTTP port: cannot listen on ADDRESS:PORT: reason"), as when
// another process took a port found free before brivane bound it.
bool BrivaneRefusedPort(const std::string& output, int port);

// A loopback port held bound but not listening for the object's life: a
// connect to it is refused at once, and no other socket can take it
// meanwhile. Port() is 0 when the socket could not be bound.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A directory that is removed with its contents when the object dies.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "brivane-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(20));
// Milliseconds from start until now, for the timings tests print.
long long MsSince(std::chrono::steady_clock::time_point start);

// The last `bytes` bytes of text (all of it when shorter), for a failure
// message that quotes the end of a long log.
std::string LastBytes(const std::string& text, std::size_t bytes);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// True when something accepts TCP connections on 127.0.0.1:port.
bool PortAccepts(int port);

}  // namespace brivane::test
