#pragma once
// Operating the service from the command line: the home directory, the pid
// file that marks a running instance, and the systemd unit.

#include <sys/types.h>

#include <optional>
#include <string>

namespace brivane::service {

// The directory of the running executable.
std::string ExecutableDirectory();
std::string ExecutablePath();

// The unit that runs `brivane run` under systemd (Type=notify).
std::string UnitFileText(const std::string& executable, const std::string& home,
                         const std::string& configPath);

// <home>/brivane.pid, held under an exclusive lock for the life of the
// process, so that a second instance on the same home is refused and a
// stale file (the process died) is told from a live one.
class PidFile {
 public:
  PidFile() = default;
  ~PidFile();
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;
  // False with a reason when another live instance holds it.
  bool Acquire(const std::string& path, std::string* error);
  void Release();

 private:
  std::string path_;
  int fd_ = -1;
};

// The pid in the file when its process still holds the lock.
std::optional<pid_t> RunningPid(const std::string& path);

}  // namespace brivane::service
