// MO messages end to end: brivane-smg sends DELIVERs, the real brivane
// merges, routes, forwards by HTTP to the application started here and
// stores through uspAddDeliver in SQLite (two cases also in MariaDB). What
// the application received and what the Deliver table holds are checked
// against what the simulator sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/status_block.h"
#include "mo_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

const char* const kFieldNames[] = {
    "DIALOG.CARRIER_ID",   "DIALOG.CARRIER_NAME",  "DIALOG.MESSAGE", "DIALOG.UMDA",
    "DIALOG.SERVICE_CODE", "DIALOG.TBL_SERVICEID", "DIALOG.LINKID",  "DIALOG.MSGID"};

// Exactly the eight form fields, in their order.
void ExpectEightFields(const AppRequest& r) {
  ASSERT_EQ(r.fields.size(), 8u) << r.body;
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(r.fields[i].first, kFieldNames[i]) << r.body;
}

const DeliverRow* RowTo(const std::vector<DeliverRow>& rows, const std::string& spNumber) {
  auto it = std::find_if(rows.begin(), rows.end(),
                         [&](const DeliverRow& r) { return r.spNumber == spNumber; });
  return it == rows.end() ? nullptr : &*it;
}

// A text long enough for three parts of at most 134 bytes.
std::string LongAsciiText() {
  std::string text;
  for (int i = 1; text.size() < 330; ++i) text += "word" + std::to_string(i) + " ";
  return text;
}

class MoEndToEndOnEachDb : public MoEndToEnd, public ::testing::WithParamInterface<DbKind> {};

TEST_P(MoEndToEndOnEachDb, LongMoInThreePartsOutOfOrderIsStoredAndForwardedOnceWhole) {
  ASSERT_TRUE(Prepare({}, GetParam())) << Diagnostics();
  AddRoute(11, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  const std::string text = LongAsciiText();
  ASSERT_EQ(SendLongMo("13800138000", "106612345", 0, false, 42, "2,3,1", text, "SVC01", "LNK1"),
            "OK parts=3");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app"));
  // A single MO sent afterwards: once it is stored and forwarded, the long
  // message has had every chance to arrive twice.
  ASSERT_TRUE(SendMo("13800138000", "106612345", 0, "marker"));
  ASSERT_TRUE(WaitDelivers(2)) << Diagnostics();
  ASSERT_TRUE(app_.WaitCount(2, kWait, "/app"));
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 4));

  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 2u);
  const auto whole =
      std::find_if(rows.begin(), rows.end(), [](const DeliverRow& r) { return r.pkTotal == 3; });
  ASSERT_NE(whole, rows.end()) << "no row with PKTotal 3";
  EXPECT_EQ(whole->msg, text);
  EXPECT_EQ(whole->mobile, "13800138000");
  EXPECT_EQ(whole->spNumber, "106612345");
  EXPECT_EQ(whole->linkId, "LNK1");
  EXPECT_EQ(whole->serviceCode, "SVC01");
  EXPECT_EQ(whole->serviceId, 11);
  EXPECT_EQ(whole->responseCode, 200);
  EXPECT_EQ(whole->responseInfo, "OK");
  EXPECT_EQ(whole->replyBody, "OK");
  EXPECT_FALSE(whole->msgId.empty());
  EXPECT_EQ(whole->msgId.find_first_not_of("0123456789"), std::string::npos) << whole->msgId;

  const auto requests = app_.Requests("/app");
  ASSERT_EQ(requests.size(), 2u);
  const auto posted = std::find_if(requests.begin(), requests.end(), [&](const AppRequest& r) {
    return r.Field("DIALOG.MESSAGE") != "marker";
  });
  ASSERT_NE(posted, requests.end());
  ExpectEightFields(*posted);
  EXPECT_EQ(posted->Field("DIALOG.MESSAGE"), text);
  EXPECT_EQ(posted->Field("DIALOG.UMDA"), "13800138000");
  EXPECT_EQ(posted->Field("DIALOG.SERVICE_CODE"), "SVC");  // the route's code
  EXPECT_EQ(posted->Field("DIALOG.TBL_SERVICEID"), "11");
  EXPECT_EQ(posted->Field("DIALOG.LINKID"), "LNK1");
  EXPECT_EQ(posted->Field("DIALOG.MSGID"), whole->msgId);
  EXPECT_EQ(posted->contentType, "application/x-www-form-urlencoded");
  EXPECT_FALSE(posted->hasUserAgent);

  EXPECT_EQ(Counter(base::kMoForwardOk), 2u);
  EXPECT_EQ(Counter(base::kMoStored), 2u);
  // No part was left behind in the store to be handed on alone later.
  ASSERT_EQ(sys_->StopBrivane(15s), 0);
  EXPECT_TRUE(sys_->Log().find("信息：网关服务停止中") != std::string::npos);
  EXPECT_EQ(sys_->Log().find("stored parts"), std::string::npos);
}

TEST_F(MoEndToEnd, SixteenBitReferenceUcs2LongMoIsMergedAcrossSplitCharacters) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(12, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  // 150 characters, 300 bytes: parts of 133 bytes cut UTF-16 units in two.
  std::string text;
  for (int i = 0; i < 15; ++i) text += "长短信第" + std::to_string(i) + "段，";
  while (Ucs2BeOf(text).size() < 300) text += "好";
  const std::string ucs2 = Ucs2BeOf(text);
  ASSERT_EQ(ucs2.size(), 300u);
  ASSERT_EQ(SendLongMo("13900139000", "1066123401", 8, true, 258, "3,1,2", ucs2), "OK parts=3");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app"));
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 3));
  ASSERT_TRUE(SendMo("13900139000", "1066123401", 0, "marker"));
  ASSERT_TRUE(WaitDelivers(2)) << Diagnostics();

  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].msg, text);
  EXPECT_EQ(rows[0].pkTotal, 3);
  EXPECT_EQ(rows[0].serviceId, 12);
  ASSERT_TRUE(app_.WaitCount(2, kWait, "/app"));
  const auto requests = app_.Requests("/app");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Field("DIALOG.MESSAGE"), text);
}

// CMPP 2.0 carries no LinkID and a 21-byte source number.
TEST_F(MoEndToEnd, Cmpp20LongMoIsMergedAndForwardedWithoutLinkId) {
  ASSERT_TRUE(Prepare({}, DbKind::kSqlite, 32)) << Diagnostics();
  AddRoute(13, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  // One ASCII byte first, so that parts of 134 bytes cut a GBK character.
  std::string text = "x";
  for (int i = 0; i < 28; ++i) text += "长短信测试";
  const std::string gbk = GbkOf(text);
  ASSERT_EQ(gbk.size(), 281u);
  ASSERT_EQ(SendLongMo("8613800138000", "106612345", 15, false, 200, "3,1,2", gbk), "OK parts=3");
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app"));
  ASSERT_TRUE(WaitCounter(base::kMoReceived, 3));
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].msg, text);
  EXPECT_EQ(rows[0].pkTotal, 3);
  EXPECT_EQ(rows[0].mobile, "8613800138000");
  EXPECT_EQ(rows[0].linkId, "");
  const auto requests = app_.Requests("/app");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Field("DIALOG.MESSAGE"), text);
  EXPECT_EQ(requests[0].Field("DIALOG.LINKID"), "");
}

TEST_P(MoEndToEndOnEachDb, RouteIsTheLongestEnabledSpNumberPrefixFromService) {
  ASSERT_TRUE(Prepare({}, GetParam())) << Diagnostics();
  AddRoute(21, "1066", "/short");
  AddRoute(22, "10661234", "/long");
  AddRoute(23, "1066123", "/mid");
  AddRoute(24, "106612345", "/disabled", 0);
  AddRoute(25, "", "/empty");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  ASSERT_TRUE(SendMo("13800000001", "106612345", 0, "to long"));
  ASSERT_TRUE(SendMo("13800000002", "10661239", 0, "to mid"));
  ASSERT_TRUE(SendMo("13800000003", "10669", 0, "to short"));
  ASSERT_TRUE(SendMo("13800000004", "9558", 0, "to nobody"));
  ASSERT_TRUE(SendMo("13800000005", "106", 0, "shorter than every prefix"));
  ASSERT_TRUE(WaitDelivers(5)) << Diagnostics();

  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 5u);
  const struct {
    const char* dest;
    long serviceId;
    const char* path;
  } expected[] = {{"106612345", 22, "/long"},
                  {"10661239", 23, "/mid"},
                  {"10669", 21, "/short"},
                  {"9558", -1, nullptr},
                  {"106", -1, nullptr}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.dest);
    const DeliverRow* row = RowTo(rows, e.dest);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->serviceId, e.serviceId);
    if (e.path) {
      EXPECT_EQ(row->responseCode, 200);
      const auto requests = app_.Requests(e.path);
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].Field("DIALOG.MESSAGE"), row->msg);
      EXPECT_EQ(requests[0].Field("DIALOG.TBL_SERVICEID"), std::to_string(e.serviceId));
    } else {
      EXPECT_EQ(row->responseCode, 0);
      EXPECT_EQ(row->responseInfo, "");
      EXPECT_EQ(row->replyBody, "");
    }
  }
  EXPECT_EQ(app_.Count(), 3u) << "posted to /disabled or /empty";
  EXPECT_EQ(Counter(base::kMoForwardOk), 3u);
  EXPECT_EQ(Counter(base::kMoForwardFail), 0u);
}

TEST_F(MoEndToEnd, HttpClientOffPostsNothingAndStoresWithoutRoute) {
  ASSERT_TRUE(Prepare({{"EnableHTTPClient", "0"}})) << Diagnostics();
  AddRoute(31, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  ASSERT_TRUE(SendMo("13800138000", "106612345", 0, "not forwarded"));
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].msg, "not forwarded");
  EXPECT_EQ(rows[0].serviceId, -1);
  EXPECT_EQ(rows[0].responseCode, 0);
  EXPECT_EQ(rows[0].responseInfo, "");
  EXPECT_EQ(rows[0].replyBody, "");
  // The forward comes before the store, so nothing can still be on its way.
  EXPECT_EQ(app_.Count(), 0u);
  EXPECT_EQ(Counter(base::kMoForwardOk) + Counter(base::kMoForwardFail), 0u);
  EXPECT_EQ(sys_->Log().find("MORequest|"), std::string::npos);
}

TEST_F(MoEndToEnd, ApplicationAnswering500IsStoredWithItsTextsAndCountedAsFailed) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(41, "10661234", "/fail");
  app_.AnswerOn("/fail", 500, "应用故障: application is down");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  ASSERT_TRUE(SendMo("13800138000", "106612345", 0, "hello"));
  ASSERT_TRUE(WaitDelivers(1)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].responseCode, 500);
  EXPECT_EQ(rows[0].responseInfo, "Internal Server Error");
  EXPECT_EQ(rows[0].replyBody, "应用故障: application is down");
  EXPECT_EQ(rows[0].serviceId, 41);
  EXPECT_EQ(rows[0].msg, "hello");
  EXPECT_EQ(Counter(base::kMoForwardFail), 1u);
  EXPECT_EQ(Counter(base::kMoForwardOk), 0u);
  // One immediate retry, then the outcome is stored.
  EXPECT_EQ(app_.Count("/fail"), 2u);
  EXPECT_EQ(sys_->LogCount("MORequest|Fail HTTP POST failed: 500"), 2u);
}

TEST_F(MoEndToEnd, RestartUsesTheRoutesOfServiceAsTheyAreNow) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(51, "10661234", "/removed");
  AddRoute(52, "1066", "/fallback");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();
  ASSERT_TRUE(SendMo("13800000001", "106612345", 0, "before"));
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/removed")) << Diagnostics();
  ASSERT_TRUE(WaitDelivers(1));

  ASSERT_TRUE(sys_->Exec("DELETE FROM Service WHERE ServiceID = 51"));
  AddRoute(53, "10669", "/added");
  ASSERT_TRUE(sys_->RestartBrivane(&error_)) << Diagnostics();

  ASSERT_TRUE(SendMo("13800000002", "106612345", 0, "after"));
  ASSERT_TRUE(SendMo("13800000003", "106690", 0, "new route"));
  ASSERT_TRUE(WaitDelivers(3)) << Diagnostics();
  const auto rows = Delivers();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].serviceId, 51);
  std::vector<long> later = {rows[1].serviceId, rows[2].serviceId};
  std::sort(later.begin(), later.end());
  EXPECT_EQ(later, (std::vector<long>{52, 53}));
  EXPECT_EQ(app_.Count("/removed"), 1u);
  ASSERT_EQ(app_.Count("/fallback"), 1u);
  EXPECT_EQ(app_.Requests("/fallback")[0].Field("DIALOG.MESSAGE"), "after");
  EXPECT_EQ(app_.Count("/added"), 1u);
}

TEST_F(MoEndToEnd, Ucs2AndGbkTextsArriveAsUtf8AndAreStoredAsUnicode) {
  ASSERT_TRUE(Prepare()) << Diagnostics();
  AddRoute(61, "10661234", "/app");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  const std::string ucs2Text = "hi, 你好 © ½";
  const std::string gbkText = "中文短信，测试！ABC";
  ASSERT_TRUE(SendMo("13800000008", "106612341", 8, Ucs2BeOf(ucs2Text)));
  ASSERT_TRUE(SendMo("13800000015", "106612342", 15, GbkOf(gbkText)));
  ASSERT_TRUE(WaitDelivers(2)) << Diagnostics();
  ASSERT_TRUE(app_.WaitCount(2, kWait, "/app"));

  const auto rows = Delivers();
  const DeliverRow* ucs2Row = RowTo(rows, "106612341");
  const DeliverRow* gbkRow = RowTo(rows, "106612342");
  ASSERT_NE(ucs2Row, nullptr);
  ASSERT_NE(gbkRow, nullptr);
  EXPECT_EQ(ucs2Row->msg, ucs2Text);
  EXPECT_EQ(gbkRow->msg, gbkText);
  for (const AppRequest& r : app_.Requests("/app")) {
    const std::string umda = r.Field("DIALOG.UMDA");
    EXPECT_EQ(r.Field("DIALOG.MESSAGE"), umda == "13800000008" ? ucs2Text : gbkText) << umda;
    // Every byte of a multi-byte character goes out escaped.
    EXPECT_EQ(r.body.find_first_of("\x80\xFF"), std::string::npos);
  }
}

TEST_F(MoEndToEnd, ValuesHoldingAmpersandEqualsAndPlusArriveWhole) {
  ASSERT_TRUE(Prepare({{"DialogCarrierID", "id=1+2"}})) << Diagnostics();
  AddRoute(71, "10661234", "/app", 1, "S&C=+");
  ASSERT_TRUE(StartBrivane()) << Diagnostics();

  const std::string text = "1+1=2 & a=b, 100% sure";
  ASSERT_TRUE(SendMo("13800138000", "106612345", 0, text, "", "L&K=1"));
  ASSERT_TRUE(app_.WaitCount(1, kWait, "/app")) << Diagnostics();
  const auto requests = app_.Requests("/app");
  ASSERT_EQ(requests.size(), 1u);
  ExpectEightFields(requests[0]);
  EXPECT_EQ(requests[0].Field("DIALOG.CARRIER_ID"), "id=1+2");
  EXPECT_EQ(requests[0].Field("DIALOG.CARRIER_NAME"), "A&B");
  EXPECT_EQ(requests[0].Field("DIALOG.MESSAGE"), text);
  EXPECT_EQ(requests[0].Field("DIALOG.SERVICE_CODE"), "S&C=+");
  EXPECT_EQ(requests[0].Field("DIALOG.LINKID"), "L&K=1");
  ASSERT_TRUE(WaitDelivers(1));
  EXPECT_EQ(Delivers()[0].msg, text);
}

INSTANTIATE_TEST_SUITE_P(Db, MoEndToEndOnEachDb,
                         ::testing::Values(DbKind::kSqlite, DbKind::kMariaDb),
                         [](const ::testing::TestParamInfo<DbKind>& param) {
                           return param.param == DbKind::kSqlite ? "Sqlite" : "MariaDb";
                         });

}  // namespace
}  // namespace brivane::test
