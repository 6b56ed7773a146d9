// Three instances claiming rows from one MariaDB or PostgreSQL database
// (ClaimSubmits=1): every row reaches an SMG exactly once with all three
// taking part, and an instance stopped in the middle of traffic gives back
// what it claimed and did not hand over, so the others send it.

#include <gtest/gtest.h>

#include "support/claim_cluster.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(90);

class Claiming : public ::testing::TestWithParam<ClusterDb> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(cluster_.Start(GetParam(), options_, &error)) << error;
  }

  ClusterOptions options_;
  ClaimCluster cluster_;
};

TEST_P(Claiming, EveryRowGoesOutOnceWithAllInstancesTakingPart) {
  constexpr int kRows = 3000;
  const auto start = std::chrono::steady_clock::now();
  cluster_.InsertRows(0, kRows);
  ASSERT_TRUE(cluster_.WaitAllDone(kRows, kWait)) << "sent " << cluster_.TotalSubmits();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  auto sent = cluster_.SentBy();
  EXPECT_EQ(sent.size(), static_cast<std::size_t>(kRows));
  int twice = 0;
  for (const auto& [mobile, by] : sent) twice += by.size() > 1 ? 1 : 0;
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(cluster_.TotalSubmits(), kRows);
  for (int i = 0; i < 3; ++i) EXPECT_GT(cluster_.SubmitsAt(i), 0) << "instance " << i;
  EXPECT_EQ(cluster_.Count("SELECT COUNT(DISTINCT SubmitID) FROM SubmitLog"), kRows);
  std::cout << kRows << " rows in " << seconds << " s; by instance: " << cluster_.SubmitsAt(0)
            << ", " << cluster_.SubmitsAt(1) << ", " << cluster_.SubmitsAt(2) << "\n";

  // The page and the metrics count what this instance did.
  auto metrics = cluster_.Instance(0).Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("brivane_instance_info{instance_id=\"inst-0\",polling=\"claim\"} 1"),
            std::string::npos);
  EXPECT_NE(metrics->body.find("brivane_rows_claimed_handed_over_total " +
                               std::to_string(cluster_.SubmitsAt(0))),
            std::string::npos)
      << metrics->body;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(cluster_.ClaimBalance(i), "");
  auto page = cluster_.Instance(0).Get("/dashboard.json");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("\"polling\":{\"mode\":\"claim\",\"instance\":\"inst-0\","),
            std::string::npos)
      << page->body;
  EXPECT_NE(page->body.find("\"handedOver\":" + std::to_string(cluster_.SubmitsAt(0)) + ","),
            std::string::npos);
  EXPECT_NE(cluster_.Instance(0).Log().find("信息：MT轮询方式：认领（uspClaimSubmitRows，"
                                            "InstanceID=inst-0，ClaimLease=60秒）"),
            std::string::npos);
}

class ClaimingSlowly : public Claiming {
 protected:
  void SetUp() override {
    options_.slowHandOver = true;
    Claiming::SetUp();
  }
};

TEST_P(ClaimingSlowly, StoppedInstanceGivesBackWhatItClaimed) {
  constexpr int kRows = 3000;
  cluster_.InsertRows(0, kRows);
  ASSERT_TRUE(WaitFor([&] { return cluster_.SubmitsAt(0) >= 100; }, kWait));
  // Its rows' marks now take 10 ms each: the stop comes while this
  // instance holds claims it has not marked yet.
  ASSERT_GT(cluster_.Count("SELECT COUNT(*) FROM Submit WHERE SubmitState = 2 AND ClaimedBy = "
                           "'inst-0'"),
            0);
  const int status = cluster_.Instance(0).Process().Stop(std::chrono::seconds(30));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Its stop is complete: nothing it claimed is still held for it.
  EXPECT_EQ(cluster_.Count("SELECT COUNT(*) FROM Submit WHERE SubmitState = 2 AND ClaimedBy = "
                           "'inst-0'"),
            0);
  ASSERT_TRUE(cluster_.WaitAllDone(kRows, kWait)) << "sent " << cluster_.TotalSubmits();
  auto sent = cluster_.SentBy();
  EXPECT_EQ(sent.size(), static_cast<std::size_t>(kRows));
  int twice = 0;
  for (const auto& [mobile, by] : sent) twice += by.size() > 1 ? 1 : 0;
  EXPECT_EQ(twice, 0);
  auto metrics = cluster_.Instance(1).Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->body.find("brivane_rows_claimed_total"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Databases, Claiming,
                         ::testing::Values(ClusterDb::kMariaDb, ClusterDb::kPostgreSql),
                         [](const auto& p) { return ClusterDbName(p.param); });
INSTANTIATE_TEST_SUITE_P(Databases, ClaimingSlowly,
                         ::testing::Values(ClusterDb::kMariaDb, ClusterDb::kPostgreSql),
                         [](const auto& p) { return ClusterDbName(p.param); });

}  // namespace
}  // namespace brivane::test
