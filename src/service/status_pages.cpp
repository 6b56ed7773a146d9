#include "service/status_pages.h"

#include <fmt/format.h>

#include "service/assets/dashboard.css.h"
#include "service/assets/dashboard.html.h"
#include "service/assets/dashboard.js.h"
#include "service/config.h"

namespace brivane::service {
namespace {

// Length of the valid UTF-8 sequence starting at text[i], 0 when none.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
  auto c = static_cast<unsigned char>(text[i]);
  std::size_t n = c < 0x80             ? 1
                  : (c & 0xE0) == 0xC0 ? 2
                  : (c & 0xF0) == 0xE0 ? 3
                  : (c & 0xF8) == 0xF0 ? 4
                                       : 0;
  if (n == 0 || i + n > text.size()) return 0;
  return IsValidUtf8(text.substr(i, n)) ? n : 0;
}

std::string Number(double value) { return fmt::format("{:.2f}", value); }

const char* Bool(bool value) { return value ? "true" : "false"; }

// A Prometheus label value: backslash, double quote and newline escaped.
std::string PrometheusLabel(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Writes the families of the metrics page: one HELP and TYPE header, then
// its samples.
class MetricsWriter {
 public:
  void Family(std::string_view name, const char* type, std::string_view help) {
    text_ += fmt::format("# HELP {0} {1}\n# TYPE {0} {2}\n", name, help, type);
  }
  template <typename T>
  void Sample(std::string_view name, std::string_view labels, T value) {
    if (labels.empty())
      text_ += fmt::format("{} {}\n", name, value);
    else
      text_ += fmt::format("{}{{{}}} {}\n", name, labels, value);
  }
  template <typename T>
  void Metric(std::string_view name, const char* type, std::string_view help, T value) {
    Family(name, type, help);
    Sample(name, "", value);
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

void AppendProcessMetrics(const StatusPagesData& s, MetricsWriter& m) {
  m.Family("brivane_health", "gauge", "The health verdict: 1 for the state the service is in.");
  for (const char* state : {"running", "degraded", "stopped"})
    m.Sample("brivane_health", fmt::format("state=\"{}\"", state), s.health == state ? 1 : 0);
  m.Family("brivane_build_info", "gauge", "The program and version this process runs (always 1).");
  m.Sample("brivane_build_info",
           fmt::format("program=\"{}\",version=\"{}\"", PrometheusLabel(s.program),
                       PrometheusLabel(s.version)),
           1);
  m.Metric("brivane_process_start_time_seconds", "gauge",
           "Start time of the process, in Unix seconds.", s.processStart);
  m.Metric("brivane_database_connected", "gauge",
           "All four database connections are open (1) or at least one is not (0).",
           s.databaseConnected ? 1 : 0);
  m.Metric("brivane_database_errors_total", "counter",
           "Database operations that failed: connections that did not open, calls refused.",
           s.databaseErrors);
  // The flags of the block are the service's own bookkeeping, shown through
  // the health verdict and brivane_database_connected instead.
  if (s.statusBlockMapped) {
    for (const auto& field : s.status)
      if (!field.isFlag)
        m.Metric("brivane_" + field.name + "_total", "counter", field.help, field.value);
  }
}

void AppendPollingMetrics(const StatusPagesData& s, MetricsWriter& m) {
  m.Family("brivane_instance_info", "gauge", "This instance's id and MT polling mode (always 1).");
  m.Sample("brivane_instance_info",
           fmt::format("instance_id=\"{}\",polling=\"{}\"", PrometheusLabel(s.instanceId),
                       PrometheusLabel(s.pollingMode)),
           1);
  m.Metric("brivane_rows_claimed_total", "counter", "Submit rows this instance claimed.",
           s.rowsClaimed);
  m.Metric("brivane_rows_claimed_handed_over_total", "counter",
           "Claimed Submit rows handed to the SMG client.", s.rowsHandedOver);
  m.Metric("brivane_rows_given_back_total", "counter",
           "Claimed Submit rows given back without being sent.", s.rowsGivenBack);
  m.Metric("brivane_rows_abandoned_recorded_total", "counter",
           "Rows another instance handed over and never answered, recorded as unanswered.",
           s.rowsRecovered);
  // An unknown backlog is left out rather than shown as 0.
  if (s.backlogRows >= 0) {
    m.Metric("brivane_submit_backlog_rows", "gauge",
             "Submit rows waiting to be sent (SubmitState 0), read every few seconds.",
             s.backlogRows);
    m.Metric("brivane_submit_backlog_oldest_seconds", "gauge",
             "Age of the oldest waiting Submit row (0 with none), by the database's clock.",
             s.backlogOldestSeconds);
  }
}

void AppendLinkMetrics(const StatusPagesData& s, MetricsWriter& m) {
  if (!s.pools.empty()) {
    m.Family("brivane_links_configured", "gauge",
             "Links to the SMG the configuration asks for, per pool.");
    for (const DashboardPool& pool : s.pools)
      m.Sample("brivane_links_configured", fmt::format("pool=\"{}\"", PoolLabel(pool.connType)),
               pool.configured);
  }
  if (!s.loggedInPerPool.empty()) {
    m.Family("brivane_links_logged_in", "gauge", "Links logged in to the SMG, per pool.");
    for (const auto& [connType, count] : s.loggedInPerPool)
      m.Sample("brivane_links_logged_in", fmt::format("pool=\"{}\"", PoolLabel(connType)), count);
  }
  m.Metric("brivane_login_failures_total", "counter",
           "Logins to the SMG that failed (refused, no answer, no connection).", s.loginFailures);
  m.Metric("brivane_reconnects_total", "counter",
           "Links that logged in again after having been logged in (a lost connection).",
           s.reconnects);
}

// The SMG's answers: a counter per SUBMIT_RESP Result and the histogram of
// the time from handing a segment to its link to its answer.
void AppendSubmitMetrics(const StatusPagesData& s, MetricsWriter& m) {
  m.Metric("brivane_submits_in_flight", "gauge",
           "SUBMIT segments written to the SMG and still waiting for their SUBMIT_RESP.",
           s.inFlight);
  m.Metric("brivane_submits_flow_retry_waiting", "gauge",
           "SUBMIT segments refused with Result 8 waiting to be written again.",
           s.flowRetriesWaiting);
  m.Metric("brivane_unrecorded_backlog", "gauge",
           "Outcomes and MO messages the database did not take, kept to be stored again.",
           s.unrecorded);
  const sp::AnswerStats::Snapshot& a = s.answers;
  m.Family("brivane_submit_responses_total", "counter",
           "SUBMIT_RESP answers from the SMG, by their Result (0 accepted, 8 flow control; "
           "\"other\" above 255).");
  for (const auto& [result, count] : a.results)
    m.Sample("brivane_submit_responses_total", fmt::format("result=\"{}\"", result), count);
  if (a.otherResults)
    m.Sample("brivane_submit_responses_total", "result=\"other\"", a.otherResults);
  m.Family("brivane_submit_response_seconds", "histogram",
           "Time from handing a SUBMIT segment to its link to the SMG's SUBMIT_RESP.");
  for (std::size_t i = 0; i < sp::AnswerStats::kBoundsMs.size(); ++i)
    m.Sample("brivane_submit_response_seconds_bucket",
             fmt::format("le=\"{}\"", static_cast<double>(sp::AnswerStats::kBoundsMs[i]) / 1000),
             a.buckets[i]);
  m.Sample("brivane_submit_response_seconds_bucket", "le=\"+Inf\"", a.buckets.back());
  m.Sample("brivane_submit_response_seconds_sum", "", a.sumSeconds);
  m.Sample("brivane_submit_response_seconds_count", "", a.buckets.back());
}

}  // namespace

std::string MonitorText(const StatusPagesData& s) {
  std::string text;
  auto line = [&](std::string_view name, const auto& value) {
    text += fmt::format("{}: {}\n", name, value);
  };
  const std::int64_t up = s.uptimeSeconds;
  line("Health", s.health);
  if (!s.healthReason.empty()) line("HealthReason", s.healthReason);
  line("Program", s.program);
  line("Version", s.version);
  line("Manufacturer", s.manufacturer);
  line("Host", s.host);
  line("StartTime", s.processStartText);
  line("UpTime",
       fmt::format("{}d {:02}:{:02}:{:02}", up / 86400, up / 3600 % 24, up / 60 % 60, up % 60));
  line("started", s.started ? 1 : 0);
  line("stopMT", s.stopMT ? 1 : 0);
  line("passIdle", s.passIdle ? 1 : 0);
  line("databaseConnected", s.databaseConnected ? 1 : 0);
  line("DBConnection", s.databaseOpen.main ? 1 : 0);
  line("DBConnectionMT", s.databaseOpen.mt ? 1 : 0);
  line("DBConnectionMO", s.databaseOpen.mo ? 1 : 0);
  line("DBConnectionSR", s.databaseOpen.sr ? 1 : 0);
  line("terminalIdLength", s.terminalIdLength);
  line("status_block", s.statusBlockMapped ? s.statusBlockName : std::string("(not mapped)"));
  line("start_time", s.startTime);
  for (const auto& field : s.status) line(field.name, field.value);
  return text;
}

std::string MetricsText(const StatusPagesData& s) {
  MetricsWriter m;
  AppendProcessMetrics(s, m);
  AppendPollingMetrics(s, m);
  AppendLinkMetrics(s, m);
  AppendSubmitMetrics(s, m);
  return m.Take();
}

const char* PoolLabel(std::int32_t connType) {
  switch (connType) {
    case cmpp::kConnMo:
      return "mo";
    case cmpp::kConnMt:
      return "mt";
    default:
      return "mtmo";
  }
}

const char* PoolName(std::int32_t connType) {
  switch (connType) {
    case cmpp::kConnMo:
      return "MO";
    case cmpp::kConnMt:
      return "MT";
    case cmpp::kConnMtMo:
      return "MTAndMO";
    default:
      return "?";
  }
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = Utf8SequenceAt(text, i);
      if (n > 0) {
        out.append(text.substr(i, n));
        i += n;
      } else {
        out += fmt::format("\\u{:04x}", c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&')
          out += fmt::format("\\u{:04x}", c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string DashboardJson(const StatusPagesData& d) {
  std::string json = "{";
  json += fmt::format(
      "\"program\":{},\"version\":{},\"host\":{},\"now\":{},\"uptimeSeconds\":{},"
      "\"started\":{},\"databaseConnected\":{},\"statusBlock\":{},\"startTime\":{},"
      "\"health\":{},\"healthReason\":{},",
      JsonString(d.program), JsonString(d.version), JsonString(d.host), d.now, d.uptimeSeconds,
      Bool(d.started), Bool(d.databaseConnected), Bool(d.statusBlockMapped), d.startTime,
      JsonString(d.health), JsonString(d.healthReason));

  json += "\"pools\":[";
  for (std::size_t i = 0; i < d.pools.size(); ++i) {
    const auto& p = d.pools[i];
    int present = 0;
    int loggedIn = 0;
    for (const auto& link : d.links) {
      if (link.connType != p.connType) continue;
      ++present;
      loggedIn += link.loggedIn ? 1 : 0;
    }
    json += fmt::format(
        "{}{{\"name\":{},\"connType\":{},\"configured\":{},\"port\":{},\"present\":{},"
        "\"loggedIn\":{}}}",
        i ? "," : "", JsonString(p.name), p.connType, p.configured, p.port, present, loggedIn);
  }
  json += "],\"links\":[";
  for (std::size_t i = 0; i < d.links.size(); ++i) {
    const auto& l = d.links[i];
    json += fmt::format(
        "{}{{\"token\":{},\"pool\":{},\"port\":{},\"loggedIn\":{},\"running\":{},"
        "\"unanswered\":{},\"mtOk\":{},\"mtFail\":{},\"respOk\":{},\"respFail\":{},\"mo\":{},"
        "\"sr\":{}}}",
        i ? "," : "", JsonString(l.token), JsonString(PoolName(l.connType)), l.port,
        Bool(l.loggedIn), Bool(l.running), l.unanswered, l.counters.mtOk, l.counters.mtFail,
        l.counters.respOk, l.counters.respFail, l.counters.mo, l.counters.sr);
  }
  json += "],\"status\":[";
  for (std::size_t i = 0; i < d.status.size(); ++i) {
    const auto& f = d.status[i];
    json += fmt::format("{}{{\"name\":{},\"offset\":{},\"flag\":{},\"value\":{}}}", i ? "," : "",
                        JsonString(f.name), f.offset, Bool(f.isFlag), f.value);
  }
  json += fmt::format(
      "],\"polling\":{{\"mode\":{},\"instance\":{},\"claimed\":{},\"handedOver\":{},"
      "\"givenBack\":{},\"recovered\":{}}}",
      JsonString(d.pollingMode), JsonString(d.instanceId), d.rowsClaimed, d.rowsHandedOver,
      d.rowsGivenBack, d.rowsRecovered);
  // An unknown backlog is null, never a made-up 0.
  if (d.backlogRows < 0)
    json += ",\"backlog\":{\"rows\":null,\"oldestSeconds\":null";
  else
    json += fmt::format(",\"backlog\":{{\"rows\":{},\"oldestSeconds\":{}", d.backlogRows,
                        d.backlogOldestSeconds);
  json += fmt::format(",\"inFlight\":{},\"unrecorded\":{}}}", d.inFlight, d.unrecorded);
  json += fmt::format(",\"sampleMs\":{},\"historySeconds\":{},\"rates\":[", d.sampleMs,
                      d.historySeconds);
  // A backlog the MT thread could not read is null, as above.
  auto known = [](std::int64_t v) { return v < 0 ? std::string("null") : std::to_string(v); };
  for (std::size_t i = 0; i < d.rates.size(); ++i) {
    const auto& r = d.rates[i];
    json += fmt::format(
        "{}{{\"t\":{},\"mt\":{},\"mo\":{},\"reports\":{},\"mtFailed\":{},\"moFailed\":{},"
        "\"backlogRows\":{},\"backlogOldest\":{}}}",
        i ? "," : "", r.unixSeconds, Number(r.mtPerMinute), Number(r.moPerMinute),
        Number(r.reportsPerMinute), Number(r.mtFailedPerMinute), Number(r.moForwardFailedPerMinute),
        known(r.backlogRows), known(r.backlogOldestSeconds));
  }
  json += "]}";
  return json;
}

const std::string& DashboardPage() {
  static const std::string page(embedded::kDashboardHtml);
  return page;
}

const std::string& DashboardScript() {
  static const std::string script(embedded::kDashboardJs);
  return script;
}

const std::string& DashboardStyle() {
  static const std::string style(embedded::kDashboardCss);
  return style;
}

}  // namespace brivane::service
