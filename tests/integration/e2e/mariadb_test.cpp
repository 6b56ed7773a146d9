// The same flows once against MariaDB (DBType mysql, the MariaDB ODBC
// driver, the procedures of schema/mysql.sql), on the test program's one
// private server.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/odbc.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

E2eOptions MariaDbOptions() {
  E2eOptions options;
  options.db = DbKind::kMariaDb;
  return options;
}

TEST(MariaDb, MtRowsAnswersReportsAndMoMessagesFlowEndToEnd) {
  E2eSystem sys(MariaDbOptions());
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  std::vector<MtRow> rows(4);
  rows[0].mobile = "13700000001";
  rows[0].msg = "MariaDB says hello";
  rows[0].linkId = "LNKM1";
  rows[1].mobile = "13700000002";
  rows[1].msg = "数据库是玛丽亚";
  rows[1].srcId = "1066123402";
  rows[2].mobile = "13700000003";
  rows[2].wapPush = true;
  rows[2].pushUrl = "wap.example.cn/m";
  rows[2].msg = "Push";
  rows[3].mobile = "13700000004";
  rows[3].msg = std::string(300, 'm');  // two segments
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), 4u);
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 5, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 5, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitLoggedAndMarked(4, 20s));
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);

  std::map<std::string, std::vector<std::string>> by;
  for (const std::string& s : sys.SmgSubmits()) by[JsonValue(s, "Dest_terminal_Id")].push_back(s);
  ASSERT_EQ(by["13700000001"].size(), 1u);
  EXPECT_EQ(JsonValue(by["13700000001"][0], "Msg_Fmt"), "0");
  EXPECT_EQ(JsonValue(by["13700000001"][0], "Msg_Content"), Hex(rows[0].msg));
  EXPECT_EQ(JsonValue(by["13700000001"][0], "Src_Id"), "10661234");
  EXPECT_EQ(JsonValue(by["13700000001"][0], "LinkID"), "LNKM1");
  ASSERT_EQ(by["13700000002"].size(), 1u);
  EXPECT_EQ(JsonValue(by["13700000002"][0], "Msg_Fmt"), "8");
  EXPECT_EQ(JsonValue(by["13700000002"][0], "Msg_Content"), Ucs2Hex(rows[1].msg));
  EXPECT_EQ(JsonValue(by["13700000002"][0], "Src_Id"), "1066123402");
  ASSERT_EQ(by["13700000003"].size(), 1u);
  EXPECT_EQ(JsonValue(by["13700000003"][0], "Msg_Fmt"), "4") << "ISWappush BIT(1) read as true";
  EXPECT_EQ(JsonValue(by["13700000003"][0], "TP_udhi"), "1");
  ASSERT_EQ(by["13700000004"].size(), 2u);

  const std::map<std::string, std::pair<int, int>> fmtCount = {{"13700000001", {0, 1}},
                                                               {"13700000002", {8, 1}},
                                                               {"13700000003", {4, 1}},
                                                               {"13700000004", {0, 2}}};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(rows[i].mobile);
    std::set<std::string> segmentIds;
    for (const std::string& s : by[rows[i].mobile]) segmentIds.insert(JsonValue(s, "Msg_Id"));
    const auto log = sys.Query(
        "SELECT MsgId, SubmitResult, MsgFmt, SMSCount, Msg FROM SubmitLog WHERE SubmitID = " +
        std::to_string(ids[i]));
    ASSERT_GE(log.size(), 1u);
    for (const DbRow& r : log) {
      EXPECT_TRUE(segmentIds.count(r.Text("MsgId"))) << r.Text("MsgId");
      EXPECT_EQ(r.Int("SubmitResult"), 0);
      EXPECT_EQ(r.Int("MsgFmt"), fmtCount.at(rows[i].mobile).first);
      EXPECT_EQ(r.Int("SMSCount"), fmtCount.at(rows[i].mobile).second);
      EXPECT_EQ(r.Text("Msg"), rows[i].msg);
      EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM StatusReport WHERE SubmitState = 'DELIVRD' "
                           "AND MsgId = " +
                           sys.Quote(r.Text("MsgId"))),
                1);
    }
  }

  ASSERT_EQ(sys.Smg()
                .Command("mo 13900000011 10661234 0 " + Hex("maria mo") + " SVCM LNKMO")
                .rfind("OK", 0),
            0u);
  ASSERT_EQ(sys.Smg().Command("mo 13900000012 10661234 15 C4E3BAC3").rfind("OK", 0), 0u);
  ASSERT_EQ(sys.Smg().Command("mo 13900000013 10661234 8 4F60597D").rfind("OK", 0), 0u);
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM Deliver", 3, 20s)) << sys.Log();
  const auto mo = sys.Query(
      "SELECT Mobile, Msg, LinkId, ServiceCode, PKTotal, ServiceId, ResponseCode "
      "FROM Deliver ORDER BY Mobile");
  ASSERT_EQ(mo.size(), 3u);
  EXPECT_EQ(mo[0].Text("Msg"), "maria mo");
  EXPECT_EQ(mo[0].Text("LinkId"), "LNKMO");
  EXPECT_EQ(mo[0].Text("ServiceCode"), "SVCM");
  EXPECT_EQ(mo[1].Text("Msg"), "你好");
  EXPECT_EQ(mo[2].Text("Msg"), "你好");
  for (const DbRow& r : mo) {
    EXPECT_EQ(r.Int("PKTotal"), 1);
    EXPECT_EQ(r.Int("ServiceId"), -1);
    EXPECT_EQ(r.Int("ResponseCode"), 0);
  }
}

// A submit queued for a link that is logged out and cannot log in again
// before a worker gets to it: the row, already marked as handed over, must
// still get an outcome. (It used to stay in Submit with SubmitState 1 for
// good.) The workers are held up by MO messages waiting on a lock of the
// Deliver table, the link is dropped and refused while the submit waits in
// the queue, then the table is let go.
TEST(MariaDb, RowQueuedForALinkThatCannotLogInAgainIsRecordedNotLeftHandedOver) {
  E2eOptions options = MariaDbOptions();
  options.mtSpeedLimit = 3;
  options.workThreads = 1;  // the pool's smallest size then
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  // One pass takes all three: 2 + 2 segments reach the limit of 3, the pass
  // pauses a second, then the third row follows.
  std::vector<MtRow> rows(3);
  rows[0].msg = std::string(200, 'a');
  rows[1].msg = std::string(200, 'b');
  rows[2].msg = "third";
  rows[2].mobile = "13700000099";
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), 3u);
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 4, 20s));

  // Every worker blocks in AddDeliver behind the table lock.
  db::Connection locker;
  locker.Open(sys.ConnectionString());
  locker.Execute("LOCK TABLES Deliver WRITE");
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const unsigned workers = 2 * processors + 2;
  for (unsigned i = 0; i < workers + 2; ++i) {
    ASSERT_EQ(sys.Smg()
                  .Command("mo 1390000" + std::to_string(4000 + i) + " 10661234 0 " + Hex("hold"))
                  .rfind("OK", 0),
              0u);
  }
  ASSERT_TRUE(WaitFor([&] { return sys.StatusField(0x2C) >= workers; }, 20s))
      << "MO received " << sys.StatusField(0x2C);

  // After its pause the pass queues the third row behind them.
  ASSERT_TRUE(sys.WaitLog("MT消息|" + std::to_string(ids[2]) + "|", 1, 20s));
  EXPECT_EQ(sys.Smg().Stats()["submits"], 4);

  // The link loses its connection and is refused when it logs in again.
  ASSERT_EQ(sys.Smg().Command("set connect-status 3"), "OK");
  ASSERT_EQ(sys.Smg().Command("drop").rfind("OK", 0), 0u);
  ASSERT_TRUE(sys.WaitLog("ERROR|Login failed", 1, 20s));
  // The line after it says what the status means and which keys to check.
  EXPECT_TRUE(sys.WaitLog(
      "ERROR|Login refused|status 3: authentication failed (check SPLoginName and SPPassword);", 1,
      5s))
      << sys.Log();

  locker.Execute("UNLOCK TABLES");
  locker.Close();
  ASSERT_TRUE(sys.WaitScalar(
      "SELECT COUNT(*) FROM SubmitLog WHERE SubmitID = " + std::to_string(ids[2]), 1, 20s))
      << "SubmitState of the row: "
      << sys.Scalar("SELECT SubmitState FROM Submit WHERE SubmitID = " + std::to_string(ids[2]));
  const auto log = sys.Query("SELECT MsgId, SubmitResult FROM SubmitLog WHERE SubmitID = " +
                             std::to_string(ids[2]));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Text("MsgId"), "");
  EXPECT_EQ(log[0].Int("SubmitResult"), -3);  // not sent: the link could not log in
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);
  EXPECT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM Deliver", workers + 2, 20s));

  ASSERT_EQ(sys.Smg().Command("set connect-status 0"), "OK");
}

}  // namespace
}  // namespace brivane::test
