// MTSpeedLimit end to end, timed by the simulator's log of every SUBMIT it
// received. A pass paces in one-second windows: after MTSpeedLimit segments
// (or at its end) it pauses for what is left of the second. The bounds say
// that the pause is there and that the next window starts about a second
// after the previous one; they leave room for a loaded machine (a burst
// within 500 ms, a gap of at least 500 ms, the next window at least 900 ms
// after the first SUBMIT of the previous one).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

std::string Times(const std::vector<SmgPdu>& pdus) {
  std::string text;
  for (const SmgPdu& p : pdus) text += std::to_string(p.msOfDay % 100000) + " ";
  return text;
}

std::vector<SmgPdu> SortedSubmits(const E2eSystem& sys) {
  auto submits = sys.SmgReceived(kCmdSubmit);
  std::stable_sort(submits.begin(), submits.end(), [](const SmgPdu& a, const SmgPdu& b) {
    return ElapsedMs(a.msOfDay, b.msOfDay) > 0;
  });
  return submits;
}

// The first window ends with submits[last]: sent within 500 ms of the
// first SUBMIT, then a pause of 500 ms to 5 s, and the next SUBMIT at least
// 900 ms after the first.
void ExpectFirstWindowThenPause(const std::vector<SmgPdu>& submits, std::size_t last) {
  ASSERT_LT(last + 1, submits.size()) << Times(submits);
  EXPECT_LE(ElapsedMs(submits[0].msOfDay, submits[last].msOfDay), 500) << Times(submits);
  const std::int64_t pause = ElapsedMs(submits[last].msOfDay, submits[last + 1].msOfDay);
  EXPECT_GE(pause, 500) << Times(submits);
  EXPECT_LE(pause, 5000) << Times(submits);
  EXPECT_GE(ElapsedMs(submits[0].msOfDay, submits[last + 1].msOfDay), 900) << Times(submits);
}

// Five single-segment rows with a limit of 20: one pass sends all five at
// once, then pauses for the rest of its second before the next pass can
// pick up a sixth.
TEST(Pacing, FiveRowsGoOutTogetherThenThePassPausesToTheEndOfItsSecond) {
  E2eSystem sys;
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(5);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].msg = "paced " + std::to_string(i);
  ASSERT_EQ(sys.InsertSubmits(rows).size(), 5u);  // one statement: one pass sees all five
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 5, 20s));
  MtRow sixth;
  sixth.msg = "after the pause";
  ASSERT_EQ(sys.InsertSubmits({sixth}).size(), 1u);
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 6, 20s));

  const auto submits = SortedSubmits(sys);
  ASSERT_EQ(submits.size(), 6u);
  ExpectFirstWindowThenPause(submits, 4);
  EXPECT_EQ(sys.LogCount("MT消息|"), 6u);
}

// Ten two-segment rows and five single ones, limit 20, in one pass: twenty
// segments, a pause to the end of the second, the last five. Three links,
// so that the segments of a row do not wait for each other's link.
TEST(Pacing, TwentyFiveSegmentsWithLimitTwentyPauseAfterTheTwentiethUntilTheNextSecond) {
  E2eOptions options;
  options.mtAndMOConnections = 3;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(15);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].mobile = "138000003" + std::to_string(10 + i);
    rows[i].msg =
        i < 10 ? std::string(200, static_cast<char>('a' + i)) : "single " + std::to_string(i);
  }
  ASSERT_EQ(sys.InsertSubmits(rows).size(), 15u);
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 25, 20s));

  const auto submits = SortedSubmits(sys);
  ASSERT_EQ(submits.size(), 25u);
  ExpectFirstWindowThenPause(submits, 19);
  EXPECT_LE(ElapsedMs(submits[20].msOfDay, submits[24].msOfDay), 500) << Times(submits);

  // The twenty before the pause are the ten long rows; the five after it
  // the single ones.
  const auto list = sys.SmgSubmits();
  ASSERT_EQ(list.size(), 25u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const int mobileTail = std::stoi(JsonValue(list[i], "Dest_terminal_Id").substr(9));
    EXPECT_EQ(mobileTail < 20, i < 20) << list[i];
  }
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(DISTINCT SubmitID) FROM SubmitLog", 15, 10s));
}

}  // namespace
}  // namespace brivane::test
