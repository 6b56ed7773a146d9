// /metrics of a service sending to the simulator: the SMG's Results and the
// answer latency follow the submits, the links are counted per pool, the
// Submit backlog is read (its counting is tested per database in db), and a simulator restart shows
// as reconnects.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

std::string Metrics(E2eSystem& sys) {
  httplib::SSLClient client("127.0.0.1", sys.HttpPort());
  client.enable_server_certificate_verification(false);
  client.set_connection_timeout(2, 0);
  client.set_read_timeout(10, 0);
  client.set_basic_auth("admin", "quillark");
  auto res = client.Get("/metrics");
  return res && res->status == 200 ? res->body : "";
}

// The value of one sample ("name" or "name{labels}"); -1 when absent.
double Sample(const std::string& text, const std::string& series) {
  const std::string key = "\n" + series + " ";
  const auto at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + key.size(), nullptr);
}

// Polls /metrics until the sample reaches `atLeast`; the last text read.
std::string WaitSample(E2eSystem& sys, const std::string& series, double atLeast,
                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  do {
    text = Metrics(sys);
    if (Sample(text, series) >= atLeast) break;
    std::this_thread::sleep_for(200ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return text;
}

TEST(Metrics, FollowTheSubmitsTheLinksAndTheBacklog) {
  E2eOptions options;
  options.mtAndMOConnections = 2;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  sys.InsertSubmits({MtRow{}, MtRow{}, MtRow{}});
  ASSERT_TRUE(sys.WaitLoggedAndMarked(3, 20s)) << sys.Log();
  std::string text = WaitSample(sys, "brivane_submit_response_seconds_count", 3, 10s);
  EXPECT_EQ(Sample(text, "brivane_submit_responses_total{result=\"0\"}"), 3) << text;
  EXPECT_EQ(Sample(text, "brivane_submit_response_seconds_count"), 3) << text;
  EXPECT_EQ(Sample(text, "brivane_submit_response_seconds_bucket{le=\"+Inf\"}"), 3) << text;
  // Loose: the simulator answers at once; only a very slow machine takes 10 s.
  EXPECT_EQ(Sample(text, "brivane_submit_response_seconds_bucket{le=\"10\"}"), 3) << text;
  EXPECT_EQ(Sample(text, "brivane_links_configured{pool=\"mtmo\"}"), 2) << text;
  EXPECT_EQ(Sample(text, "brivane_links_logged_in{pool=\"mtmo\"}"), 2) << text;
  EXPECT_EQ(Sample(text, "brivane_submits_in_flight"), 0) << text;
  EXPECT_EQ(Sample(text, "brivane_unrecorded_backlog"), 0) << text;
  EXPECT_EQ(Sample(text, "brivane_database_errors_total"), 0) << text;
  EXPECT_EQ(Sample(text, "brivane_reconnects_total"), 0) << text;

  // Every row was taken: the MT thread reads an empty backlog.
  text = WaitSample(sys, "brivane_submit_backlog_rows", 0, 15s);
  EXPECT_EQ(Sample(text, "brivane_submit_backlog_rows"), 0) << text;
  EXPECT_EQ(Sample(text, "brivane_submit_backlog_oldest_seconds"), 0) << text;

  // The simulator goes and comes back: each link logs in again.
  ASSERT_TRUE(sys.Smg().Restart());
  text = WaitSample(sys, "brivane_reconnects_total", 2, 60s);
  EXPECT_GE(Sample(text, "brivane_reconnects_total"), 2) << text;
}

}  // namespace
}  // namespace brivane::test
