// Flow control end to end: an SMG that refuses submits with Result 8 gets
// them again after a pause, and only the last answer is recorded; a
// per-link cap holds the rate the SMG sees.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/status_block.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

// 20 single rows and 2 three-segment rows; the SMG refuses every other one
// of the first 26 SUBMITs. Every segment ends with Result 0 in one SubmitLog
// row, none is written more than three times, and a refused segment goes
// out again with its own Pk_number.
TEST(FlowControl, SegmentsRefusedWithResultEightAreWrittenAgainAndEndAccepted) {
  E2eOptions options;
  options.mtSpeedLimit = 200;
  options.extraIni["FlowControlTries"] = "3";
  options.extraIni["FlowControlPause"] = "300";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  ASSERT_EQ(sys.Smg().Command("set alternate-result 8,26"), "OK");

  std::vector<MtRow> rows(22);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].mobile = "138000050" + std::to_string(10 + i);
    rows[i].msg = i < 20 ? "flow " + std::to_string(i) : std::string(400, char('a' + i - 20));
  }
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), rows.size());
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 26, 30s)) << sys.Log();
  // Nothing more is recorded once every segment has its answer.
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 26, 20s)) << sys.Log();
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog"), 26);
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult <> 0"), 0) << sys.Log();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 0 AND SubmitID = " +
                         std::to_string(ids[i])),
              i < 20 ? 1 : 3);
  }

  // Writes per segment, from the SMG's own list.
  std::map<std::pair<std::string, std::string>, int> writes;
  for (const std::string& s : sys.SmgSubmits())
    ++writes[{JsonValue(s, "Dest_terminal_Id"), JsonValue(s, "Pk_number")}];
  EXPECT_EQ(writes.size(), 26u);
  int again = 0;
  for (const auto& [key, n] : writes) {
    SCOPED_TRACE(key.first + " segment " + key.second);
    EXPECT_GE(n, 1);
    EXPECT_LE(n, 3) << "written more often than the tries allow";
    again += n - 1;
  }
  EXPECT_GE(again, 13) << "every other one of the first 26 was refused";
  EXPECT_EQ(sys.StatusField(base::kSubmitFlowRetried), static_cast<std::uint32_t>(again));
  EXPECT_EQ(sys.LogCount("FlowControl|SubmitID="), static_cast<std::size_t>(again));
}

// With one try a refusal is final: recorded as Result 8, never written again.
TEST(FlowControl, WithOneTryARefusalIsRecordedAndNotWrittenAgain) {
  E2eOptions options;
  options.extraIni["FlowControlTries"] = "1";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  ASSERT_EQ(sys.Smg().Command("set alternate-result 8,4"), "OK");
  std::vector<MtRow> rows(4);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].msg = "once " + std::to_string(i);
  ASSERT_EQ(sys.InsertSubmits(rows).size(), 4u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 4, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 2, 20s)) << sys.Log();
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 8"), 2);
  EXPECT_EQ(sys.Smg().Stats()["submits"], 4);
  EXPECT_EQ(sys.StatusField(base::kSubmitFlowRetried), 0u);
}

// A cap of 50 submits a second on the one link, with the pass itself far
// above it: the SMG sees 50 a second within 5 %, measured between the 11th
// and the last SUBMIT (the first ones leave while the pass starts up).
TEST(FlowControl, PerLinkCapOfFiftyHoldsWithinFivePercent) {
  E2eOptions options;
  options.mtSpeedLimit = 1000;
  options.logLevel = 3;
  options.extraIni["LinkSubmitsPerSecond"] = "50";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(200);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].msg = "capped " + std::to_string(i);
  ASSERT_EQ(sys.InsertSubmits(rows).size(), rows.size());
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 200, 30s)) << sys.Log();

  auto submits = sys.SmgReceived(kCmdSubmit);
  ASSERT_EQ(submits.size(), 200u);
  std::stable_sort(submits.begin(), submits.end(), [](const SmgPdu& a, const SmgPdu& b) {
    return ElapsedMs(a.msOfDay, b.msOfDay) > 0;
  });
  const std::int64_t spanMs = ElapsedMs(submits[10].msOfDay, submits.back().msOfDay);
  const double rate = (submits.size() - 11) * 1000.0 / static_cast<double>(spanMs);
  EXPECT_GE(rate, 47.5) << spanMs << " ms";
  EXPECT_LE(rate, 52.5) << spanMs << " ms";
  EXPECT_GT(sys.StatusField(base::kSubmitPaced), 0u);
}

}  // namespace
}  // namespace brivane::test
