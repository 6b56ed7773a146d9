// MT messages end to end: rows inserted into Submit become the right SUBMITs
// at the simulator, their answers land in SubmitLog under the SMG's Msg_Id
// and their status reports in StatusReport under the same Msg_Id text.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

// The simulator's SUBMITs grouped by destination number.
std::map<std::string, std::vector<std::string>> SubmitsByMobile(E2eSystem& sys) {
  std::map<std::string, std::vector<std::string>> by;
  for (const std::string& s : sys.SmgSubmits()) by[JsonValue(s, "Dest_terminal_Id")].push_back(s);
  return by;
}

std::string Repeat(const std::string& unit, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += unit;
  return out;
}

TEST(MtFlow, RowsOfEveryKindBecomeTheRightSubmitsAndEndInSubmitLogWithTheirReports) {
  E2eSystem sys;
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  const std::string longAscii = Repeat("abcdefghij", 40);  // 400 bytes: 150 + 150 + 100
  const std::string longChinese = Repeat("短信", 50);      // 100 characters, 200 bytes UCS-2
  std::vector<MtRow> rows(8);
  rows[0].mobile = "13800000001";
  rows[0].msg = "Hello from the e2e test";  // SrcId NULL: the SPID setting
  rows[0].linkId = "LNK0001";
  rows[1].mobile = "13800000002";
  rows[1].msg = "你好，世界 e2e";  // one Chinese character: all of it UCS-2
  rows[1].srcId = "1066123401";
  rows[2].mobile = "13800000003";
  rows[2].msg = "empty SrcId";
  rows[2].srcId = "";  // empty text counts as none
  rows[3].mobile = "13800000004";
  rows[3].wapPush = true;
  rows[3].pushUrl = "wap.example.cn";
  rows[3].msg = "News";
  rows[4].mobile = "13800000005";
  rows[4].msg = longAscii;
  rows[5].mobile = "13800000006";
  rows[5].msg = longChinese;
  rows[6].mobile = "13800000007";
  rows[6].msg = "it's \"quoted\" & 100% ASCII";
  rows[6].serviceId = "SVC7";
  rows[6].feeType = "02";
  rows[6].feeCode = "000100";
  rows[7].mobile = "13800000008";  // a WAP Push too long for one SMS
  rows[7].wapPush = true;
  rows[7].pushUrl = "wap.example.cn/" + Repeat("news/", 21);  // 120 bytes
  rows[7].msg = "Long push";
  const std::vector<std::uint32_t> ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), rows.size());

  // 1 + 1 + 1 + 1 + 3 + 2 + 1 + 2 segments, each answered and reported.
  constexpr long long kSegments = 12;
  ASSERT_TRUE(sys.Smg().WaitStat("submits", kSegments, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", kSegments, 20s));
  ASSERT_TRUE(sys.WaitLoggedAndMarked(8, 20s));
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0) << "every row left Submit";

  auto by = SubmitsByMobile(sys);
  for (const auto& [mobile, list] : by) {
    for (const std::string& s : list) {
      SCOPED_TRACE(s);
      EXPECT_EQ(JsonValue(s, "Registered_Delivery"), "1");
      EXPECT_EQ(JsonValue(s, "Msg_src"), "901234");
      EXPECT_EQ(JsonValue(s, "Fee_terminal_Id"), mobile);
      EXPECT_EQ(JsonValue(s, "DestUsr_tl"), "1");
    }
  }

  // Plain ASCII: Msg_Fmt 0, the bytes as they are, Src_Id from SPID, LinkID
  // from the column.
  ASSERT_EQ(by["13800000001"].size(), 1u);
  const std::string& a = by["13800000001"][0];
  EXPECT_EQ(JsonValue(a, "Msg_Fmt"), "0");
  EXPECT_EQ(JsonValue(a, "TP_udhi"), "0");
  EXPECT_EQ(JsonValue(a, "Msg_Content"), Hex(rows[0].msg));
  EXPECT_EQ(JsonValue(a, "Src_Id"), "10661234");
  EXPECT_EQ(JsonValue(a, "LinkID"), "LNK0001");
  EXPECT_EQ(JsonValue(a, "Service_Id"), "E2E");
  EXPECT_EQ(JsonValue(a, "FeeType"), "01");
  EXPECT_EQ(JsonValue(a, "FeeCode"), "000000");

  // Chinese: the whole text as big-endian UCS-2, Msg_Fmt 8, SrcId as given.
  ASSERT_EQ(by["13800000002"].size(), 1u);
  const std::string& b = by["13800000002"][0];
  EXPECT_EQ(JsonValue(b, "Msg_Fmt"), "8");
  EXPECT_EQ(JsonValue(b, "Msg_Content"), Ucs2Hex(rows[1].msg));
  EXPECT_EQ(JsonValue(b, "Src_Id"), "1066123401");
  EXPECT_EQ(JsonValue(b, "LinkID"), "");

  ASSERT_EQ(by["13800000003"].size(), 1u);
  EXPECT_EQ(JsonValue(by["13800000003"][0], "Src_Id"), "10661234");

  // WAP Push: Msg_Fmt 4, TP_udhi 1, the SI body with address and text.
  ASSERT_EQ(by["13800000004"].size(), 1u);
  const std::string& d = by["13800000004"][0];
  EXPECT_EQ(JsonValue(d, "Msg_Fmt"), "4");
  EXPECT_EQ(JsonValue(d, "TP_udhi"), "1");
  const std::string body = JsonValue(d, "Msg_Content");
  EXPECT_EQ(JsonValue(d, "Msg_Length"), std::to_string(33 + 14 + 4));
  EXPECT_EQ(body.substr(0, 14), "0605040B8423F0");
  EXPECT_NE(body.find("0C03" + Hex("wap.example.cn") + "00"), std::string::npos) << body;
  EXPECT_NE(body.find("0103" + Hex("News") + "000101"), std::string::npos) << body;

  // 400 ASCII bytes: three segments of 150, 150 and 100 bytes behind one
  // concatenation header each, sharing a reference.
  ASSERT_EQ(by["13800000005"].size(), 3u);
  std::set<std::string> parts;
  std::string reference;
  for (const std::string& s : by["13800000005"]) {
    EXPECT_EQ(JsonValue(s, "Msg_Fmt"), "0");
    EXPECT_EQ(JsonValue(s, "TP_udhi"), "1");
    EXPECT_EQ(JsonValue(s, "Pk_total"), "3");
    const std::string content = JsonValue(s, "Msg_Content");
    const int n = std::stoi(JsonValue(s, "Pk_number"));
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 3);
    EXPECT_EQ(content.substr(0, 6), "050003");
    if (reference.empty()) reference = content.substr(6, 2);
    EXPECT_EQ(content.substr(6, 2), reference) << "one reference for all segments";
    EXPECT_EQ(content.substr(8, 4), "030" + std::to_string(n));
    EXPECT_EQ(content.substr(12), Hex(longAscii.substr((n - 1) * 150, 150)));
    parts.insert(JsonValue(s, "Pk_number"));
  }
  EXPECT_EQ(parts.size(), 3u);

  // 100 Chinese characters: UCS-2 in slices of 134 and 66 bytes.
  ASSERT_EQ(by["13800000006"].size(), 2u);
  std::string joined[2];
  for (const std::string& s : by["13800000006"]) {
    EXPECT_EQ(JsonValue(s, "Msg_Fmt"), "8");
    const int n = std::stoi(JsonValue(s, "Pk_number"));
    ASSERT_TRUE(n == 1 || n == 2);
    joined[n - 1] = JsonValue(s, "Msg_Content").substr(12);
  }
  EXPECT_EQ(joined[0].size(), 134u * 2);
  EXPECT_EQ(joined[0] + joined[1], Ucs2Hex(longChinese));

  ASSERT_EQ(by["13800000007"].size(), 1u);
  const std::string& g = by["13800000007"][0];
  EXPECT_EQ(JsonValue(g, "Msg_Content"), Hex(rows[6].msg));
  EXPECT_EQ(JsonValue(g, "Service_Id"), "SVC7");
  EXPECT_EQ(JsonValue(g, "FeeType"), "02");
  EXPECT_EQ(JsonValue(g, "FeeCode"), "000100");

  // The long push (33 + 120 + 9 bytes): two segments, each with the push's
  // port addressing and the concatenation element in one header, the rest
  // of the push behind it in 128 + 27 bytes.
  ASSERT_EQ(by["13800000008"].size(), 2u);
  std::string pushParts[2];
  for (const std::string& s : by["13800000008"]) {
    EXPECT_EQ(JsonValue(s, "Msg_Fmt"), "4");
    EXPECT_EQ(JsonValue(s, "TP_udhi"), "1");
    const std::string content = JsonValue(s, "Msg_Content");
    const int n = std::stoi(JsonValue(s, "Pk_number"));
    ASSERT_TRUE(n == 1 || n == 2);
    EXPECT_EQ(content.substr(0, 18), "0B05040B8423F00003") << content;
    EXPECT_EQ(content.substr(20, 4), "020" + std::to_string(n));
    pushParts[n - 1] = content.substr(24);
  }
  EXPECT_EQ(pushParts[0].size(), 128u * 2);
  EXPECT_EQ(pushParts[1].size(), 27u * 2);
  const std::string wsp = pushParts[0] + pushParts[1];
  EXPECT_EQ(wsp.substr(0, 4), "2506") << "the push's WSP part follows the header";
  EXPECT_NE(wsp.find("0C03" + Hex(rows[7].pushUrl) + "00"), std::string::npos);

  // SubmitLog: each row once per recorded answer, under a Msg_Id the SMG
  // gave one of its segments, Result 0, with the format and segment count
  // that UpdateSubmit wrote.
  const std::map<std::string, std::pair<int, int>> expectFmtCount = {
      {"13800000001", {0, 1}}, {"13800000002", {8, 1}}, {"13800000003", {0, 1}},
      {"13800000004", {4, 1}}, {"13800000005", {0, 3}}, {"13800000006", {8, 2}},
      {"13800000007", {0, 1}}, {"13800000008", {4, 2}}};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string mobile = rows[i].mobile;
    SCOPED_TRACE("row " + std::to_string(ids[i]) + " to " + mobile);
    std::set<std::string> segmentIds;
    for (const std::string& s : by[mobile]) segmentIds.insert(JsonValue(s, "Msg_Id"));
    const auto log = sys.Query(
        "SELECT Mobile, MsgId, SubmitResult, MsgFmt, SMSCount, Msg "
        "FROM SubmitLog WHERE SubmitID = " +
        std::to_string(ids[i]));
    ASSERT_GE(log.size(), 1u);
    ASSERT_LE(log.size(), by[mobile].size()) << "at most one log row per segment";
    for (const DbRow& r : log) {
      EXPECT_EQ(r.Text("Mobile"), mobile);
      EXPECT_EQ(r.Int("SubmitResult"), 0);
      EXPECT_TRUE(segmentIds.count(r.Text("MsgId"))) << r.Text("MsgId");
      EXPECT_EQ(r.Int("MsgFmt"), expectFmtCount.at(mobile).first);
      EXPECT_EQ(r.Int("SMSCount"), expectFmtCount.at(mobile).second);
      EXPECT_EQ(r.Text("Msg"), rows[i].msg);
      // The report of that segment carries the same Msg_Id text.
      const auto reports = sys.Query("SELECT SubmitState, Mobile FROM StatusReport WHERE MsgId = " +
                                     sys.Quote(r.Text("MsgId")));
      ASSERT_EQ(reports.size(), 1u) << "report for " << r.Text("MsgId");
      EXPECT_EQ(reports[0].Text("SubmitState"), "DELIVRD");
      EXPECT_EQ(reports[0].Text("Mobile"), mobile);
    }
  }

  // The per-message lines of the log: one "MT消息|" per row with its
  // segment count.
  EXPECT_EQ(sys.LogCount("MT消息|"), rows.size());
  EXPECT_EQ(sys.LogCount("MT消息|" + std::to_string(ids[4]) + "|13800000005|E2E|3"), 1u);
  EXPECT_EQ(sys.StatusField(0x34), rows.size()) << "UpdateSubmit executed per row";
  EXPECT_EQ(sys.StatusField(0x38), static_cast<std::uint32_t>(kSegments)) << "submits written";
  EXPECT_EQ(sys.StatusField(0x50), static_cast<std::uint32_t>(kSegments)) << "reports stored";
}

// A Submit table without the LinkId column: the poller does not read one and
// the SUBMIT's LinkID stays empty. (The log procedure is rewritten for the
// table's shape.)
constexpr const char* kSubmitWithoutLinkId = R"sql(
DROP TRIGGER uspMoveSubmitToLog_Call;
ALTER TABLE Submit DROP COLUMN LinkId;
CREATE TRIGGER uspMoveSubmitToLog_Call INSTEAD OF INSERT ON uspMoveSubmitToLog
BEGIN
  INSERT INTO SubmitLog (SubmitID, Mobile, Msg, MsgFmt, SMSCount, MsgId, SubmitResult)
    SELECT SubmitID, Mobile, Msg, MsgFmt, SMSCount, NEW.MsgId, NEW.SubmitResult
      FROM Submit WHERE SubmitID = NEW.SubmitID;
  DELETE FROM Submit WHERE SubmitID = NEW.SubmitID;
END;
)sql";

TEST(MtFlow, LinkIdIsSentOnlyWhenTheSubmitTableHasTheColumn) {
  E2eOptions options;
  options.extraSchemaSql = kSubmitWithoutLinkId;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  ASSERT_EQ(sys.Scalar("SELECT COUNT(*) FROM pragma_table_info('Submit') WHERE name = 'LinkId'"),
            0);

  MtRow row;
  row.msg = "no LinkId column";
  const auto ids = sys.InsertSubmits({row});
  ASSERT_EQ(ids.size(), 1u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 1, 20s)) << sys.Log();
  const auto submits = sys.SmgSubmits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(JsonValue(submits[0], "LinkID"), "");
  EXPECT_EQ(JsonValue(submits[0], "Msg_Content"), Hex(row.msg));
  const auto log = sys.Query("SELECT MsgId, SubmitResult FROM SubmitLog");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Text("MsgId"), JsonValue(submits[0], "Msg_Id"));
  EXPECT_EQ(log[0].Int("SubmitResult"), 0);
}

// Every SUBMIT write fails (EPIPE, through the preloaded send() fault): each
// row is recorded once with that error code and an empty Msg_Id, nothing
// reaches the SMG, and the row does not stay behind in Submit.
TEST(MtFlow, FailedWriteRecordsItsErrorCodeWithAnEmptyMsgId) {
  E2eOptions options;
  options.brivaneEnv = {{"LD_PRELOAD", E2E_SEND_FAULT_LIBRARY},
                        {"BRIVANE_FAIL_SEND_COMMAND", "4"},
                        {"BRIVANE_FAIL_SEND_ERRNO", "32"}};
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(3);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].mobile = "1380000010" + std::to_string(i);
    rows[i].msg = "write fails " + std::to_string(i);
  }
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), rows.size());
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 3, 30s)) << sys.Log();

  for (std::uint32_t id : ids) {
    SCOPED_TRACE(id);
    const auto log = sys.Query("SELECT MsgId, SubmitResult FROM SubmitLog WHERE SubmitID = " +
                               std::to_string(id));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_FALSE(log[0].IsNull("MsgId")) << "empty text, not NULL";
    EXPECT_EQ(log[0].Text("MsgId"), "");
    // Our own outcome "write failed"; the errno and its meaning are in the log.
    EXPECT_EQ(log[0].Int("SubmitResult"), -2);
    EXPECT_EQ(sys.LogCount("MT应答|" + std::to_string(id) + "||4294967294"), 1u);
    EXPECT_EQ(sys.LogCount(
                  "ERROR|Submit not sent|SubmitID=" + std::to_string(id) +
                  "|segment 1/1|SubmitResult=-2|not sent: writing to the SMG failed: Broken pipe "
                  "(32);"),
              1u)
        << sys.Log();
  }
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);
  EXPECT_EQ(sys.Smg().Stats()["submits"], 0);
  EXPECT_EQ(sys.StatusField(0x3C), 3u) << "writes failed";
  EXPECT_EQ(sys.StatusField(0x38), 0u) << "writes done";
}

// The SMG reads the SUBMITs and never answers: after SubmitRespTimeout (2 s
// here) each row is recorded with outcome -1 (no answer) and an empty Msg_Id.
TEST(MtFlow, ResponseThatNeverComesIsRecordedAfterItsDeadline) {
  E2eOptions options;
  options.extraIni["SubmitRespTimeout"] = "2";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  ASSERT_EQ(sys.Smg().Command("set silent 1"), "OK");

  std::vector<MtRow> rows(2);
  rows[0].mobile = "13800000201";
  rows[0].msg = "never answered 1";
  rows[1].mobile = "13800000202";
  rows[1].msg = "never answered 2";
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 2, 20s));
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 2, 15s)) << sys.Log();

  const auto written = sys.SmgReceived(kCmdSubmit);
  ASSERT_EQ(written.size(), 2u);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    const auto log = sys.Query("SELECT MsgId, SubmitResult FROM SubmitLog WHERE SubmitID = " +
                               std::to_string(ids[i]));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Text("MsgId"), "");
    EXPECT_EQ(log[0].Int("SubmitResult"), -1);  // no answer in time
    const auto lines = sys.LogLines("SubmitResp timeout|SubmitID=" + std::to_string(ids[i]) + "|");
    ASSERT_EQ(lines.size(), 1u);
    // Not before its deadline: 2 s after the SUBMIT reached the SMG (the
    // expiry runs once a second, so within about 3 s, plus load).
    const std::int64_t waited = ElapsedMs(written[i].msOfDay, lines[0].msOfDay);
    EXPECT_GE(waited, 1900) << lines[0].text;
    EXPECT_LT(waited, 8000) << lines[0].text;
  }
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);
  EXPECT_EQ(sys.Smg().Command("set silent 0"), "OK");
}

// CMPP 2.0 (SMGVersion 32): the same row and MO flow in the short layout,
// where destination numbers have 21 bytes, a SUBMIT carries only the first
// 8 bytes of LinkId (in its Reserve field) and a DELIVER no LinkID.
TEST(MtFlow, Cmpp20RowsAndMoFlowInTheShortLayout) {
  E2eOptions options;
  options.smg.version = 32;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(2);
  rows[0].mobile = "8613800000301";
  rows[0].msg = "CMPP 2.0 text";
  rows[0].linkId = "LNK20ABCDEF";
  rows[1].mobile = "8613800000302" + std::string(12, '9');  // 25 bytes: cut to 21
  rows[1].msg = "二点零";
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 2, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog", 2, 20s));
  const auto submits = sys.SmgSubmits();
  ASSERT_EQ(submits.size(), 2u);
  std::map<std::string, std::string> by;
  for (const std::string& s : submits) by[JsonValue(s, "Dest_terminal_Id")] = s;
  ASSERT_TRUE(by.count(rows[0].mobile));
  EXPECT_EQ(JsonValue(by[rows[0].mobile], "LinkID"), "LNK20ABC") << "the 2.0 Reserve field";
  EXPECT_EQ(JsonValue(by[rows[0].mobile], "Msg_Content"), Hex(rows[0].msg));
  const std::string cut = rows[1].mobile.substr(0, 21);
  ASSERT_TRUE(by.count(cut)) << submits[0] << "\n" << submits[1];
  EXPECT_EQ(JsonValue(by[cut], "Msg_Content"), Ucs2Hex(rows[1].msg));
  for (const DbRow& r : sys.Query("SELECT l.MsgId AS MsgId, r.Mobile AS Mobile FROM SubmitLog l "
                                  "JOIN StatusReport r ON r.MsgId = l.MsgId")) {
    EXPECT_TRUE(r.Text("Mobile") == rows[0].mobile || r.Text("Mobile") == cut) << r.Text("Mobile");
  }
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog l JOIN StatusReport r ON r.MsgId = l.MsgId"),
            2);

  ASSERT_EQ(sys.Smg().Command("mo 13900000301 10661234 8 4F60597D SVC20").rfind("OK", 0), 0u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM Deliver", 1, 20s)) << sys.Log();
  const auto mo = sys.Query("SELECT Mobile, Msg, LinkId, ServiceCode FROM Deliver");
  ASSERT_EQ(mo.size(), 1u);
  EXPECT_EQ(mo[0].Text("Mobile"), "13900000301");
  EXPECT_EQ(mo[0].Text("Msg"), "你好");
  EXPECT_EQ(mo[0].Text("LinkId"), "");
  EXPECT_EQ(mo[0].Text("ServiceCode"), "SVC20");
}

}  // namespace
}  // namespace brivane::test
