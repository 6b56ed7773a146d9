// Long MO parts end to end: a part the SMG sends twice, parts stored across
// an in-place restart and at a stop, and a part handed on alone when the
// store is full. Nothing the SMG was told we received is lost.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/status_block.h"
#include "mo_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

std::string LongAscii() {
  std::string text;
  for (int i = 0; text.size() < 300; ++i) text += "part text " + std::to_string(i) + ". ";
  return text.substr(0, 300);  // three parts of 134, 134 and 32 bytes
}

TEST_F(MoEndToEnd, RepeatedPartIsDroppedAndTheMessageMergesAtOnce) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(21, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();
  const std::string text = LongAscii();
  ASSERT_EQ(SendLongMo("13800000501", "1066123401", 0, false, 77, "1,1,2,3", text),
            "OK parts=3 sent=4");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 4));
  ASSERT_TRUE(SendMo("13800000501", "1066123401", 0, "marker"));
  ASSERT_TRUE(WaitDelivers(2)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].msg, text);
  EXPECT_EQ(rows[0].pkTotal, 3);
  EXPECT_EQ(sys_->LogCount("came again, dropped"), 1u);
  ASSERT_TRUE(app_.WaitCount(2, kWait, "/app"));
}

TEST_F(MoEndToEnd, PartsStoredBeforeAnInPlaceRestartMergeWithTheLastPartAfterIt) {
  ASSERT_TRUE(Start()) << Diagnostics();
  const std::string text = LongAscii();
  ASSERT_EQ(SendLongMo("13800000502", "1066123401", 0, false, 78, "1,2", text),
            "OK parts=3 sent=2");
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 2));
  ASSERT_TRUE(sys_->RestartBrivane(&error_)) << Diagnostics();
  ASSERT_EQ(SendLongMo("13800000502", "1066123401", 0, false, 78, "3", text), "OK parts=3 sent=1");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].msg, text);
  EXPECT_EQ(rows[0].pkTotal, 3);
}

// At a stop every stored part is stored (and forwarded) alone, as its own
// text with the message's parts count.
TEST_F(MoEndToEnd, PartsStoredAtAStopAreStoredAndForwardedAlone) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(22, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();
  const std::string text = LongAscii();
  ASSERT_EQ(SendLongMo("13800000503", "1066123401", 0, false, 79, "2,1", text),
            "OK parts=3 sent=2");
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 2));
  ASSERT_EQ(sys_->StopBrivane(20s), 0);
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 2u) << Diagnostics();
  EXPECT_EQ(rows[0].msg, text.substr(134, 134)) << "part 2 arrived first";
  EXPECT_EQ(rows[1].msg, text.substr(0, 134));
  for (const DeliverRow& r : rows) {
    EXPECT_EQ(r.pkTotal, 3);
    EXPECT_EQ(r.serviceId, 22);
  }
  EXPECT_EQ(app_.Requests("/app").size(), 2u);
  EXPECT_EQ(sys_->LogCount("stopping, 2 stored parts handed on alone"), 1u);
}

// LongSMSMaxParts 1: a second stored part hands the first on alone at once.
// That one is UCS-2 behind a 7-byte header (16-bit reference): its text
// must start at its first character, not one byte off.
TEST_F(MoEndToEnd, FullStoreHandsAUcs2PartWithASixteenBitReferenceOnAsItsOwnText) {
  ASSERT_TRUE(Start({{"LongSMSMaxParts", "1"}})) << Diagnostics();
  std::string text;
  while (Ucs2BeOf(text).size() < 300) text += "长短信";
  const std::string ucs2 = Ucs2BeOf(text).substr(0, 300);
  ASSERT_EQ(SendLongMo("13800000504", "1066123401", 8, true, 0x0405, "1", ucs2),
            "OK parts=3 sent=1");
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 1));
  ASSERT_EQ(SendLongMo("13800000505", "1066123401", 0, false, 80, "1", LongAscii()),
            "OK parts=3 sent=1");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].mobile, "13800000504");
  // The first part carries 132 bytes: 66 characters.
  EXPECT_EQ(Ucs2BeOf(rows[0].msg), ucs2.substr(0, 132));
  EXPECT_EQ(rows[0].pkTotal, 3);
  EXPECT_EQ(sys_->LogCount("store full (1 parts), 1 oldest handed on alone"), 1u);
}

}  // namespace
}  // namespace brivane::test
