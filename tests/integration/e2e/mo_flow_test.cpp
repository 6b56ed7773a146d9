// MO messages end to end: a single DELIVER from the simulator lands in
// Deliver as Unicode text, whatever coding it came in.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

TEST(MoFlow, SingleMoLandsInDeliverAsUnicodeTextWithOnePartAndNoRoute) {
  E2eSystem sys;
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  // ASCII (Msg_Fmt 0), GBK (15: "你好，世界") and UCS-2 (8: "你好!").
  ASSERT_EQ(sys.Smg()
                .Command("mo 13900000001 10661234 0 " + Hex("Hello MO") + " SVC01 LNKMO1")
                .rfind("OK", 0),
            0u);
  ASSERT_EQ(
      sys.Smg().Command("mo 13900000002 1066123488 15 C4E3BAC3A3ACCAC0BDE7 SVC02").rfind("OK", 0),
      0u);
  ASSERT_EQ(sys.Smg().Command("mo 13900000003 10661234 8 4F60597D0021").rfind("OK", 0), 0u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM Deliver", 3, 20s)) << sys.Log();
  EXPECT_TRUE(sys.Smg().WaitStat("mo_acked", 3, 5s));

  const auto rows = sys.Query(
      "SELECT Mobile, Msg, SPNumber, LinkId, MsgId, ResponseCode, ResponseInfo, ReplyBody, "
      "ServiceId, PKTotal, ServiceCode FROM Deliver ORDER BY Mobile");
  ASSERT_EQ(rows.size(), 3u);
  const struct {
    const char* mobile;
    const char* msg;
    const char* spNumber;
    const char* linkId;
    const char* serviceCode;
  } expected[] = {{"13900000001", "Hello MO", "10661234", "LNKMO1", "SVC01"},
                  {"13900000002", "你好，世界", "1066123488", "", "SVC02"},
                  {"13900000003", "你好!", "10661234", "", ""}};
  std::set<std::string> msgIds;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const DbRow& r = rows[i];
    SCOPED_TRACE(expected[i].mobile);
    EXPECT_EQ(r.Text("Mobile"), expected[i].mobile);
    EXPECT_EQ(r.Text("Msg"), expected[i].msg);
    EXPECT_EQ(r.Text("SPNumber"), expected[i].spNumber);
    EXPECT_EQ(r.Text("LinkId"), expected[i].linkId);
    EXPECT_EQ(r.Text("ServiceCode"), expected[i].serviceCode);
    EXPECT_EQ(r.Int("PKTotal"), 1);
    EXPECT_EQ(r.Int("ServiceId"), -1) << "no route used";
    EXPECT_EQ(r.Int("ResponseCode"), 0) << "nothing posted";
    EXPECT_EQ(r.Text("ResponseInfo"), "");
    EXPECT_EQ(r.Text("ReplyBody"), "");
    const std::string msgId = r.Text("MsgId");
    EXPECT_FALSE(msgId.empty());
    EXPECT_EQ(msgId.find_first_not_of("0123456789"), std::string::npos) << msgId;
    msgIds.insert(msgId);
    EXPECT_EQ(sys.LogCount(std::string("上行消息|") + expected[i].mobile + "|" + msgId), 1u);
  }
  EXPECT_EQ(msgIds.size(), 3u) << "each message has its own Msg_Id";
  EXPECT_EQ(sys.StatusField(0x2C), 3u) << "MO received";
  EXPECT_EQ(sys.StatusField(0x30), 3u) << "MO stored";
}

}  // namespace
}  // namespace brivane::test
