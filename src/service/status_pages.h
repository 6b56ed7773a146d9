#pragma once
// The status pages: "monitor" (name: value lines), "metrics" (the
// Prometheus text format) and the dashboard (a fixed page, script and style
// sheet compiled into the binary, and the JSON document the script fetches
// every few seconds). All three are rendered from one StatusPagesData that
// the process gathers from its live state; the functions here are pure.
// The dashboard page holds no value of its own: the script puts every value
// in with textContent or as an SVG attribute, so nothing from the JSON is
// ever read as markup.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cmpp/client.h"
#include "service/rate_sampler.h"
#include "sp/answer_stats.h"

namespace brivane::service {

// One configured pool: its type, the links asked for and the port.
struct DashboardPool {
  std::string name;  // "MT", "MO", "MTAndMO"
  std::int32_t connType = 0;
  std::int32_t configured = 0;
  std::int32_t port = 0;
};

struct DashboardStatusField {
  std::string name;
  std::size_t offset = 0;
  bool isFlag = false;
  std::uint32_t value = 0;
  std::string help;  // what the field counts (the metrics' HELP line)
};

// The four database connections, as the gateway's flags say now.
struct DatabaseLinksOpen {
  bool main = false;
  bool mt = false;
  bool mo = false;
  bool sr = false;
};

struct StatusPagesData {
  std::string program;
  std::string version;
  std::string manufacturer;
  std::string host;
  std::int64_t now = 0;           // seconds since 1970
  std::int64_t processStart = 0;  // seconds since 1970
  std::string processStartText;   // local time, "YYYY/MM/DD hh:mm:ss"
  std::int64_t uptimeSeconds = 0;
  bool started = false;
  // The MT thread's flags: asked to stop, and no pass under way.
  bool stopMT = false;
  bool passIdle = false;
  int terminalIdLength = 0;
  bool databaseConnected = false;
  DatabaseLinksOpen databaseOpen;
  std::uint64_t databaseErrors = 0;
  // The health verdict: "running", "degraded" (with its reason) or "stopped".
  std::string health;
  std::string healthReason;
  bool statusBlockMapped = false;
  std::string statusBlockName;
  std::int64_t startTime = 0;  // status block 0x10
  std::vector<DashboardPool> pools;
  std::vector<cmpp::LinkState> links;
  std::vector<DashboardStatusField> status;
  // MT polling: "query" or "claim"; with claims, this instance's id and
  // the rows it claimed, handed over, gave back and recorded as abandoned.
  std::string pollingMode = "query";
  std::string instanceId;
  std::uint64_t rowsClaimed = 0;
  std::uint64_t rowsHandedOver = 0;
  std::uint64_t rowsGivenBack = 0;
  std::uint64_t rowsRecovered = 0;
  // Submit rows waiting and the age of the oldest, -1 while unknown; SUBMIT
  // segments waiting for their answer; outcomes and MO messages kept for
  // the database.
  std::int64_t backlogRows = -1;
  std::int64_t backlogOldestSeconds = -1;
  std::uint64_t inFlight = 0;
  std::uint64_t unrecorded = 0;
  // The SMG client's figures; all 0 while there is no client.
  std::uint64_t flowRetriesWaiting = 0;
  std::uint64_t loginFailures = 0;
  std::uint64_t reconnects = 0;
  std::vector<std::pair<std::int32_t, int>> loggedInPerPool;  // (link type, links)
  sp::AnswerStats::Snapshot answers;
  std::int64_t sampleMs = 0;        // the sampler's interval
  std::int64_t historySeconds = 0;  // what the kept samples can span
  std::vector<RatePoint> rates;
};

// "Name: value" lines, for people and for scripts that grep.
std::string MonitorText(const StatusPagesData& s);
// The Prometheus text format: every family with a HELP text of its own. A
// figure not known (the backlog before its first read, the block's counters
// while it is not mapped) is left out rather than shown as 0; the block's
// flags are never exported.
std::string MetricsText(const StatusPagesData& s);
std::string DashboardJson(const StatusPagesData& s);

// "MO", "MT" or "MTAndMO" for a link type; "?" for anything else.
const char* PoolName(std::int32_t connType);
// The pool label of the metrics: "mo", "mt" or "mtmo".
const char* PoolLabel(std::int32_t connType);

// A JSON string literal: quotes, backslashes and control characters escaped,
// '<', '>' and '&' as \u escapes (the text stays inert should it ever be put
// into a page), bytes that are not UTF-8 as their Latin-1 code points.
std::string JsonString(std::string_view text);

// The page, its script and its style sheet.
const std::string& DashboardPage();
const std::string& DashboardScript();
const std::string& DashboardStyle();

}  // namespace brivane::service
