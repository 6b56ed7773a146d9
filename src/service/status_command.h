#pragma once
// What `brivane status` reports: the verdict, the text and JSON forms, and
// the exit code (0 running, degraded included; 3 not running; 4 running but
// its status block unreadable). Built from what the command read; reads
// nothing itself.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brivane::service {

inline constexpr int kStatusRunning = 0;
inline constexpr int kStatusNotRunning = 3;
inline constexpr int kStatusUnknown = 4;

struct StatusSnapshot {
  std::string blockName;
  bool blockOpen = false;
  std::string blockError;  // why the block could not be opened
  std::optional<pid_t> pid;
  std::string home;
  std::int64_t startTime = 0;
  bool databaseOpen = false;  // block flag 0x54
  bool started = false;       // block flag 0x64
  // Every 32-bit field of the block, in offset order.
  std::vector<std::pair<std::string, std::uint32_t>> fields;
};

struct StatusVerdict {
  std::string state;   // "running", "degraded", "stopped" or "unknown"
  std::string reason;  // for degraded and unknown
};

StatusVerdict VerdictOf(const StatusSnapshot& s);
int StatusExitCode(const StatusSnapshot& s);
// One JSON object on one line.
std::string StatusJson(const StatusSnapshot& s);
// The first line: "health: running", "health: degraded (<reason>)", ...
std::string StatusHeadline(const StatusSnapshot& s);

}  // namespace brivane::service
