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

namespace {

bool Below(const std::string& path, const std::string& dir) {
  return path == dir || path.rfind(dir + "/", 0) == 0;
}

}  // namespace

std::string UnitFileText(const std::string& executable, const std::string& home,
                         const std::string& configPath) {
  std::string exec = executable + " run --home " + home;
  if (!configPath.empty()) exec += " --config " + configPath;
  // The form rewrites the store through a temporary file beside it, so its
  // directory must be writable too.
  std::string writable = home;
  if (!configPath.empty()) {
    auto slash = configPath.rfind('/');
    std::string dir = slash == std::string::npos ? "." : configPath.substr(0, slash ? slash : 1);
    if (dir != "." && !Below(dir, home)) writable += " " + dir;
  }
  // A home under /home, /root or /run/user stays reachable only when those
  // are read-only rather than hidden.
  const bool homeInHomes =
      Below(home, "/home") || Below(home, "/root") || Below(home, "/run/user") ||
      (!configPath.empty() && (Below(configPath, "/home") || Below(configPath, "/root") ||
                               Below(configPath, "/run/user")));
  return fmt::format(
      "[Unit]\n"
      "Description=brivane CMPP service-provider gateway\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart={0}\n"
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      "WorkingDirectory={1}\n"
      "# READY comes once the database is open and a link is logged in; until then\n"
      "# the service keeps trying with the pages up and STATUS= says why, so the\n"
      "# start must not be cut short by a timeout (which would restart it in a loop).\n"
      "TimeoutStartSec=infinity\n"
      "TimeoutStopSec=30\n"
      "Restart=on-failure\n"
      "UMask=0077\n"
      "\n"
      "# Sandbox. brivane writes below its home (log, pid file, certificate, key,\n"
      "# configuration) and its status block, POSIX shared memory in /dev/shm,\n"
      "# which none of these hides from monitors: ProtectSystem=strict leaves /dev\n"
      "# writable, PrivateTmp= replaces only /tmp and /var/tmp, PrivateDevices=\n"
      "# bind-mounts the host's /dev/shm into the private /dev. Do not add\n"
      "# RemoveIPC= or DynamicUser= (which implies it): they delete the block\n"
      "# when the service stops.\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ReadWritePaths={2}\n"
      "ProtectHome={3}\n"
      "PrivateTmp=yes\n"
      "PrivateDevices=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "ProtectProc=invisible\n"
      "PrivateMounts=yes\n"
      "LockPersonality=yes\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
      "SystemCallArchitectures=native\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallErrorNumber=EPERM\n"
      "# Only for an HTTPPort below 1024.\n"
      "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      exec, home, writable, homeInHomes ? "read-only" : "yes");
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
