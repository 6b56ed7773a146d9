#include "service/status_command.h"

#include <fmt/format.h>

#include "service/status_pages.h"

namespace brivane::service {

StatusVerdict VerdictOf(const StatusSnapshot& s) {
  if (!s.pid) return {"stopped", ""};
  if (!s.blockOpen) return {"unknown", "status block unreadable: " + s.blockError};
  std::string reason;
  if (!s.databaseOpen) reason = "database not connected";
  if (!s.started) reason += std::string(reason.empty() ? "" : "; ") + "links not all logged in";
  if (!reason.empty()) return {"degraded", reason};
  return {"running", ""};
}

int StatusExitCode(const StatusSnapshot& s) {
  if (!s.pid) return kStatusNotRunning;
  return s.blockOpen ? kStatusRunning : kStatusUnknown;
}

std::string StatusHeadline(const StatusSnapshot& s) {
  const StatusVerdict v = VerdictOf(s);
  return "health: " + v.state + (v.reason.empty() ? "" : " (" + v.reason + ")");
}

std::string StatusJson(const StatusSnapshot& s) {
  const StatusVerdict v = VerdictOf(s);
  std::string json = fmt::format(
      "{{\"health\":{},\"reason\":{},\"running\":{},\"pid\":{},\"home\":{},\"statusBlock\":{},"
      "\"statusBlockOpen\":{}",
      JsonString(v.state), JsonString(v.reason), s.pid ? "true" : "false",
      s.pid ? std::to_string(*s.pid) : "null", JsonString(s.home), JsonString(s.blockName),
      s.blockOpen ? "true" : "false");
  if (s.blockOpen) {
    json += fmt::format(",\"startTime\":{},\"fields\":{{", s.startTime);
    for (std::size_t i = 0; i < s.fields.size(); ++i)
      json +=
          fmt::format("{}{}:{}", i ? "," : "", JsonString(s.fields[i].first), s.fields[i].second);
    json += "}";
  }
  return json + "}";
}

}  // namespace brivane::service
