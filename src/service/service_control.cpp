#include "service/service_control.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace brivane::service {

std::string ExecutablePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

std::string ExecutableDirectory() {
  std::string exe = ExecutablePath();
  auto slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string UnitFileText(const std::string& executable, const std::string& home,
                         const std::string& configPath) {
  std::string exec = executable + " run --home " + home;
  if (!configPath.empty()) exec += " --config " + configPath;
  return fmt::format(
      "[Unit]\n"
      "Description=brivane CMPP service-provider gateway\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart={}\n"
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "WorkingDirectory={}\n"
      "TimeoutStopSec=30\n"
      "Restart=on-failure\n"
      "UMask=0077\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      exec, home);
}

PidFile::~PidFile() { Release(); }

bool PidFile::Acquire(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = fmt::format("cannot open {}: {}", path, std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    auto pid = RunningPid(path);
    *error = pid ? fmt::format("already running as pid {} ({})", *pid, path)
                 : fmt::format("cannot lock {}", path);
    return false;
  }
  std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    *error = fmt::format("cannot write {}: {}", path, std::strerror(errno));
    ::close(fd);
    return false;
  }
  path_ = path;
  fd_ = fd;
  return true;
}

void PidFile::Release() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

std::optional<pid_t> RunningPid(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[32] = {};
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  // A lock we can take means nobody holds it: the file is stale.
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  if (!held || n <= 0) return std::nullopt;
  long pid = std::strtol(text, nullptr, 10);
  if (pid <= 0) return std::nullopt;
  return static_cast<pid_t>(pid);
}

}  // namespace brivane::service
