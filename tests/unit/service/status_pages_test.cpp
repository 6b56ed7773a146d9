// The monitor and metrics texts from a snapshot: every metric an operator's
// alarms rely on is there with its type and a HELP text of its own, the
// status block's flags stay out, an unknown backlog is left out rather than
// shown as 0, and label values cannot break the exposition format.

#include "service/status_pages.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "base/status_block.h"

namespace brivane::service {
namespace {

StatusPagesData Sample() {
  StatusPagesData s;
  s.program = "brivane";
  s.version = "7.1.0";
  s.health = "degraded";
  s.healthReason = "MT links logged in 1/2";
  s.processStart = 1700000000;
  s.statusBlockMapped = true;
  s.status = {{"mo_received", 0x2C, false, 9, "MO messages received from the SMG."},
              {"started", 0x64, true, 1, "Whether the service has started."}};
  s.pools = {{"MT", cmpp::kConnMt, 2, 7891}, {"MO", cmpp::kConnMo, 1, 7890}};
  s.loggedInPerPool = {{cmpp::kConnMt, 1}, {cmpp::kConnMo, 1}};
  s.instanceId = "host\"a\\b";
  s.backlogRows = 1200;
  s.backlogOldestSeconds = 3725;
  s.answers.results = {{0, 40}, {8, 3}};
  s.answers.buckets.back() = 43;
  s.loginFailures = 4;
  s.reconnects = 2;
  s.databaseErrors = 5;
  s.unrecorded = 7;
  return s;
}

// name -> TYPE of each family in the text, and its HELP text.
struct Families {
  std::map<std::string, std::string> type;
  std::map<std::string, std::string> help;
};

Families FamiliesOf(const std::string& text) {
  Families f;
  std::regex type("^# TYPE (\\S+) (\\S+)$", std::regex::multiline);
  std::regex help("^# HELP (\\S+) (.*)$", std::regex::multiline);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), type); it != std::sregex_iterator();
       ++it)
    f.type[(*it)[1]] = (*it)[2];
  for (auto it = std::sregex_iterator(text.begin(), text.end(), help); it != std::sregex_iterator();
       ++it)
    f.help[(*it)[1]] = (*it)[2];
  return f;
}

TEST(MetricsText, EveryFamilyTheGuideListsIsThereWithItsType) {
  const std::string text = MetricsText(Sample());
  const Families f = FamiliesOf(text);
  const std::pair<const char*, const char*> expected[] = {
      {"brivane_health", "gauge"},
      {"brivane_build_info", "gauge"},
      {"brivane_process_start_time_seconds", "gauge"},
      {"brivane_instance_info", "gauge"},
      {"brivane_database_connected", "gauge"},
      {"brivane_database_errors_total", "counter"},
      {"brivane_links_configured", "gauge"},
      {"brivane_links_logged_in", "gauge"},
      {"brivane_login_failures_total", "counter"},
      {"brivane_reconnects_total", "counter"},
      {"brivane_submit_backlog_rows", "gauge"},
      {"brivane_submit_backlog_oldest_seconds", "gauge"},
      {"brivane_submits_in_flight", "gauge"},
      {"brivane_submits_flow_retry_waiting", "gauge"},
      {"brivane_submit_responses_total", "counter"},
      {"brivane_submit_response_seconds", "histogram"},
      {"brivane_unrecorded_backlog", "gauge"},
      {"brivane_rows_claimed_total", "counter"},
      {"brivane_rows_claimed_handed_over_total", "counter"},
      {"brivane_rows_given_back_total", "counter"},
      {"brivane_rows_abandoned_recorded_total", "counter"},
      {"brivane_mo_received_total", "counter"},
  };
  for (const auto& [name, type] : expected) {
    auto it = f.type.find(name);
    ASSERT_NE(it, f.type.end()) << name << "\n" << text;
    EXPECT_EQ(it->second, type) << name;
  }
  // Each family says what it means: a HELP of its own, none shared.
  std::set<std::string> helps;
  for (const auto& [name, help] : f.help) {
    EXPECT_GT(help.size(), 15u) << name;
    EXPECT_TRUE(helps.insert(help).second) << name << " repeats: " << help;
  }
  EXPECT_EQ(f.help.size(), f.type.size());
  // The block's flags are bookkeeping, not metrics.
  EXPECT_EQ(text.find("brivane_started"), std::string::npos);
}

// The status block's own counters, as the service exports them: each with
// a HELP text that says what it counts, none shared.
TEST(MetricsText, EveryStatusBlockCounterExplainsItself) {
  StatusPagesData s = Sample();
  s.status.clear();
  std::size_t counters = 0;
  for (const auto& field : base::kStatusFields) {
    s.status.push_back({field.name, field.offset, field.isFlag, 1, field.help});
    counters += field.isFlag ? 0 : 1;
  }
  const Families f = FamiliesOf(MetricsText(s));
  std::size_t exported = 0;
  for (const auto& field : base::kStatusFields) {
    const std::string name = std::string("brivane_") + field.name + "_total";
    if (field.isFlag) {
      EXPECT_EQ(f.type.count(name), 0u) << name;
      continue;
    }
    ++exported;
    ASSERT_EQ(f.type.count(name), 1u) << name;
    EXPECT_EQ(f.type.at(name), "counter");
    EXPECT_NE(f.help.at(name), "Status block counter.") << name;
  }
  EXPECT_EQ(exported, counters);
  std::set<std::string> helps;
  for (const auto& [name, help] : f.help)
    EXPECT_TRUE(helps.insert(help).second) << name << " repeats: " << help;
}

TEST(MetricsText, SamplesCarryTheFiguresAndSafeLabels) {
  const std::string text = MetricsText(Sample());
  for (const char* line :
       {"brivane_health{state=\"degraded\"} 1\n", "brivane_health{state=\"running\"} 0\n",
        "brivane_build_info{program=\"brivane\",version=\"7.1.0\"} 1\n",
        "brivane_instance_info{instance_id=\"host\\\"a\\\\b\",polling=\"query\"} 1\n",
        "brivane_links_configured{pool=\"mt\"} 2\n", "brivane_links_logged_in{pool=\"mt\"} 1\n",
        "brivane_submit_backlog_rows 1200\n", "brivane_submit_backlog_oldest_seconds 3725\n",
        "brivane_submit_responses_total{result=\"8\"} 3\n", "brivane_login_failures_total 4\n",
        "brivane_reconnects_total 2\n", "brivane_database_errors_total 5\n",
        "brivane_unrecorded_backlog 7\n", "brivane_mo_received_total 9\n",
        "brivane_submit_response_seconds_count 43\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST(MetricsText, WhatIsUnknownIsLeftOutNotShownAsZero) {
  StatusPagesData s = Sample();
  s.backlogRows = -1;
  s.backlogOldestSeconds = -1;
  s.statusBlockMapped = false;
  s.loggedInPerPool.clear();  // no client
  s.pools.clear();
  const std::string text = MetricsText(s);
  for (const char* absent :
       {"brivane_submit_backlog_rows", "brivane_submit_backlog_oldest", "brivane_mo_received_total",
        "brivane_links_logged_in", "brivane_links_configured"})
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  EXPECT_NE(text.find("brivane_health{state=\"degraded\"} 1"), std::string::npos);
}

TEST(MonitorText, OneNameValueLinePerFigure) {
  StatusPagesData s = Sample();
  s.uptimeSeconds = 90061;  // 1 day 01:01:01
  s.databaseOpen = {true, false, true, true};
  s.statusBlockMapped = false;
  const std::string text = MonitorText(s);
  for (const char* line : {"Health: degraded\n", "HealthReason: MT links logged in 1/2\n",
                           "UpTime: 1d 01:01:01\n", "DBConnection: 1\n", "DBConnectionMT: 0\n",
                           "status_block: (not mapped)\n", "mo_received: 9\n", "started: 1\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  s.healthReason.clear();
  EXPECT_EQ(MonitorText(s).find("HealthReason"), std::string::npos);
}

}  // namespace
}  // namespace brivane::service
