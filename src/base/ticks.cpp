#include "base/ticks.h"

#include <fmt/format.h>

#include <chrono>
#include <ctime>

namespace brivane::base {

std::uint32_t TickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<std::uint32_t>(ms.count());
}

namespace {
std::tm LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}
}  // namespace

std::string LocalTimeText() {
  std::tm tm = LocalNow();
  return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string CmppTimestampText() {
  std::tm tm = LocalNow();
  return fmt::format("{:02d}{:02d}{:02d}{:02d}{:02d}", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                     tm.tm_min, tm.tm_sec);
}

}  // namespace brivane::base
