#include "support/smg_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <regex>
#include <sstream>

namespace brivane::test {

namespace {

constexpr auto kReadyDeadline = std::chrono::seconds(10);
constexpr int kReplyTimeoutMs = 10000;

// One control exchange: connect, send the line, half-close, read to the end.
// The simulator answers and then sees the end of input, so every reply line
// has arrived once the stream ends.
bool Exchange(int port, const std::string& line, std::string& reply) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  const std::string text = line + "\n";
  ok = ok && send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  ok = ok && shutdown(fd, SHUT_WR) == 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  while (ok) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      ok = false;
      break;
    }
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

bool HasReadyLine(const std::string& output) {
  return output.rfind("READY\n", 0) == 0 || output.find("\nREADY\n") != std::string::npos;
}

}  // namespace

bool ParsePortsLine(const std::string& output, std::vector<int>& cmppPorts, int& controlPort) {
  static const std::regex kLine(
      R"((?:^|\n)PORTS cmpp=([0-9]{1,5}(?:,[0-9]{1,5})*) control=([0-9]{1,5})(?=\n))");
  std::smatch last;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), kLine);
       it != std::sregex_iterator(); ++it)
    last = *it;
  if (last.empty()) return false;
  const auto valid = [](int port) { return port > 0 && port <= 65535; };
  std::vector<int> ports;
  std::istringstream list(last[1].str());
  for (std::string p; std::getline(list, p, ',');) {
    ports.push_back(std::stoi(p));
    if (!valid(ports.back())) return false;
  }
  const int control = std::stoi(last[2].str());
  if (!valid(control)) return false;
  cmppPorts = std::move(ports);
  controlPort = control;
  return true;
}

namespace {}  // namespace

SmgProcess::~SmgProcess() { Stop(); }

bool SmgProcess::Start(const Options& options) {
  Stop();
  options_ = options;
  // Port 0 everywhere: the simulator binds ports the kernel chose and says
  // which; Launch reads them. A restart binds the same ones again.
  ports_.assign(static_cast<std::size_t>(std::max(1, options.ports)), 0);
  controlPort_ = 0;
  if (Launch()) return true;
  ports_.clear();
  controlPort_ = 0;
  return false;
}

bool SmgProcess::Restart() {
  Stop();
  return !ports_.empty() && controlPort_ != 0 && Launch();
}

bool SmgProcess::Launch() {
  if (!dir_) dir_ = std::make_unique<TempDir>("brivane-smg");
  std::vector<std::string> argv = {BuiltProgram("brivane-smg")};
  for (int port : ports_) {
    argv.push_back("--port");
    argv.push_back(std::to_string(port));
  }
  const auto add = [&argv](const char* name, const std::string& value) {
    argv.push_back(name);
    argv.push_back(value);
  };
  add("--control-port", std::to_string(controlPort_));
  add("--version", std::to_string(options_.version));
  add("--login", options_.login);
  add("--secret", options_.secret);
  add("--connect-status", std::to_string(options_.connectStatus));
  add("--submit-result", std::to_string(options_.submitResult));
  add("--report-delay-ms", std::to_string(options_.reportDelayMs));
  if (!options_.logFile.empty()) add("--log", options_.logFile);
  if (options_.quiet) argv.push_back("--quiet");
  argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());

  const std::string output = OutputFile();
  WriteFile(output, "");
  process_ = std::make_unique<ChildProcess>();
  if (!process_->Start(argv, output)) return false;
  const bool ready = WaitFor([&] { return HasReadyLine(ReadFile(output)) || !process_->Running(); },
                             kReadyDeadline);
  if (ready && process_->Running() && HasReadyLine(ReadFile(output))) {
    std::vector<int> bound;
    int control = 0;
    if (ParsePortsLine(ReadFile(output), bound, control) && bound.size() == ports_.size()) {
      ports_ = bound;
      controlPort_ = control;
      return true;
    }
  }
  process_.reset();  // stops it if it still runs
  return false;
}

int SmgProcess::Port(int i) const {
  return i >= 0 && static_cast<std::size_t>(i) < ports_.size() ? ports_[static_cast<std::size_t>(i)]
                                                               : 0;
}

pid_t SmgProcess::Pid() const { return process_ ? process_->Pid() : -1; }

std::vector<std::string> SmgProcess::CommandLines(const std::string& line) {
  std::string reply;
  if (controlPort_ == 0 || !Exchange(controlPort_, line, reply)) return {};
  std::vector<std::string> lines;
  std::istringstream in(reply);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::string SmgProcess::Command(const std::string& line) {
  const auto lines = CommandLines(line);
  return lines.empty() ? "" : lines.front();
}

std::map<std::string, long> SmgProcess::Stats() {
  std::map<std::string, long> stats;
  const std::string reply = Command("stats");
  if (reply.rfind("OK", 0) != 0) return stats;
  std::istringstream in(reply.substr(2));
  for (std::string pair; in >> pair;) {
    const auto eq = pair.find('=');
    if (eq == std::string::npos) continue;
    stats[pair.substr(0, eq)] = std::stol(pair.substr(eq + 1));
  }
  return stats;
}

bool SmgProcess::WaitStat(const std::string& key, long atLeast, std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        const auto stats = Stats();
        const auto it = stats.find(key);
        return it != stats.end() && it->second >= atLeast;
      },
      timeout);
}

void SmgProcess::Kill() {
  if (process_) process_->Kill();
}

void SmgProcess::Stop() {
  if (process_) process_->Stop();
}

}  // namespace brivane::test
