// The four procedure calls against SQLite and MariaDB with the schema
// files: what each stores (Chinese text included), its log lines, counters
// and connection-state fields, and its recovery from database errors.

#include "db/procedures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "base/status_block.h"
#include "base/text.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

std::string Gbk(const char* utf8) { return base::Utf8ToGbk(utf8); }

std::uint32_t Field(std::size_t offset) { return base::StatusBlock().Get(offset); }

class Procedures : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
  }

  // Inserts a waiting Submit row and returns its SubmitID.
  int InsertSubmit(const std::string& mobile, const std::string& utf8Msg) {
    db_.Query(
        "INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES ('HELP', "
        "'01', '000000', '" +
        mobile + "', '" + utf8Msg + "')");
    Recordset rs = db_.Query("SELECT MAX(SubmitID) AS id FROM Submit");
    return rs.GetInt("id");
  }

  std::unique_ptr<DbGateway> OpenGateway(DbSettings settings) {
    auto gateway = std::make_unique<DbGateway>(std::move(settings));
    gateway->OpenAllConnections();
    EXPECT_TRUE(gateway->DatabaseConnected());
    return gateway;
  }

  TestDatabase db_;
};

TEST_P(Procedures, UpdateSubmitTakesTheRowOutOfStateZero) {
  LogCapture log;
  int id = InsertSubmit("13900001111", "hello");
  auto gateway = OpenGateway(db_.Settings());
  std::uint32_t before = Field(base::kSubmitHandedOver);

  EXPECT_TRUE(UpdateSubmit(*gateway, static_cast<std::uint32_t>(id), 8, 3));

  Recordset rs = db_.Query("SELECT * FROM Submit");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetInt("SubmitState"), 1);
  EXPECT_EQ(rs.GetInt("MsgFmt"), 8);
  EXPECT_EQ(rs.GetInt("SMSCount"), 3);
  EXPECT_FALSE(rs.IsNull("SendTime"));
  EXPECT_EQ(Field(base::kSubmitHandedOver), before + 1);
  EXPECT_EQ(Field(base::kDbConnectionOpen), 1u);
  EXPECT_EQ(log.Count("数据库异常"), 0) << log.All();
}

TEST_P(Procedures, DelSubmitMovesTheRowWithTheOutcomeAndChineseText) {
  LogCapture log;
  int id = InsertSubmit("13900001111", "你好，世界");
  auto gateway = OpenGateway(db_.Settings());
  std::uint32_t before = Field(base::kSubmitResultStored);

  EXPECT_TRUE(DelSubmit(*gateway, static_cast<std::uint32_t>(id), "18446744073709551615", 0));

  EXPECT_EQ(db_.Query("SELECT * FROM Submit").RecordCount(), 0);
  Recordset rs = db_.Query("SELECT * FROM SubmitLog");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetInt("SubmitID"), id);
  EXPECT_EQ(rs.GetText("MsgId"), "18446744073709551615");
  EXPECT_EQ(rs.GetInt("SubmitResult"), 0);
  EXPECT_EQ(rs.GetTextUtf16("Msg"), u"你好，世界");
  EXPECT_EQ(rs.GetText("Msg"), Gbk("你好，世界"));
  EXPECT_EQ(rs.GetText("Mobile"), "13900001111");
  EXPECT_EQ(Field(base::kSubmitResultStored), before + 1);
  EXPECT_EQ(Field(base::kDbConnectionMtOpen), 1u);
  EXPECT_EQ(log.Count("MT应答|" + std::to_string(id) + "|18446744073709551615|0"), 1) << log.All();
}

TEST_P(Procedures, FailedWriteStoresEmptyMsgIdAndNegativeOutcome) {
  LogCapture log;
  int id = InsertSubmit("13900001111", "x");
  auto gateway = OpenGateway(db_.Settings());

  // The write's error code arrives as an unsigned 32-bit value; -1 (peer
  // closed) must be stored as -1.
  EXPECT_TRUE(DelSubmit(*gateway, static_cast<std::uint32_t>(id), "", 0xFFFFFFFFu));

  Recordset rs = db_.Query("SELECT * FROM SubmitLog");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetInt("SubmitResult"), -1);
  EXPECT_FALSE(rs.IsNull("MsgId"));
  EXPECT_EQ(rs.GetText("MsgId"), "");
  EXPECT_EQ(log.Count("MT应答|" + std::to_string(id) + "||4294967295"), 1) << log.All();
}

// Ids past 32 bits bind whole: read as 32 bits they would mark and move no
// row (2^32 and 2^53 become 0) or another row (2^32 + 1 becomes 1).
TEST_P(Procedures, RowIdsPast32BitsAreMarkedAndMovedWhole) {
  const std::uint64_t ids[] = {1ull << 31, 1ull << 32, (1ull << 32) + 1, 1ull << 53};
  db_.Query("INSERT INTO Submit (SubmitID, Mobile, Msg) VALUES (1, '13900000000', 'low')");
  for (std::uint64_t id : ids)
    db_.Query("INSERT INTO Submit (SubmitID, Mobile, Msg) VALUES (" + std::to_string(id) +
              ", '13900000001', 'high')");
  auto gateway = OpenGateway(db_.Settings());
  for (std::uint64_t id : ids) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(UpdateSubmit(*gateway, id, 0, 2));
    EXPECT_TRUE(DelSubmit(*gateway, id, "7" + std::to_string(id), 0));
    EXPECT_TRUE(DelSubmit(*gateway, id, "8" + std::to_string(id), 8));
    Recordset rs = db_.Query(
        "SELECT SubmitID, MsgId, SubmitResult, SMSCount FROM SubmitLog WHERE "
        "SubmitID = " +
        std::to_string(id) + " ORDER BY MsgId");
    ASSERT_EQ(rs.RecordCount(), 2);
    rs.MoveFirst();
    EXPECT_EQ(rs.GetInt64("SubmitID"), static_cast<std::int64_t>(id));
    EXPECT_EQ(rs.GetText("MsgId"), "7" + std::to_string(id));
    EXPECT_EQ(rs.GetInt("SMSCount"), 2);
    rs.MoveNext();
    EXPECT_EQ(rs.GetInt("SubmitResult"), 8);
  }
  Recordset low = db_.Query("SELECT SubmitState FROM Submit WHERE SubmitID = 1");
  ASSERT_EQ(low.RecordCount(), 1);
  EXPECT_EQ(low.GetInt("SubmitState"), 0) << "row 1 untouched";
  EXPECT_EQ(db_.Query("SELECT SubmitID FROM Submit").RecordCount(), 1);
}

TEST_P(Procedures, EverySegmentAnswerIsLoggedAndALateUpdateReachesTheLog) {
  int id = InsertSubmit("13900001111", "long");
  auto gateway = OpenGateway(db_.Settings());
  const auto uid = static_cast<std::uint32_t>(id);

  // The SMG may answer before UpdateSubmit runs: three segments, three
  // answers, then the hand-over.
  EXPECT_TRUE(DelSubmit(*gateway, uid, "1001", 0));
  EXPECT_TRUE(DelSubmit(*gateway, uid, "1002", 0));
  EXPECT_TRUE(DelSubmit(*gateway, uid, "1003", 8));
  EXPECT_TRUE(UpdateSubmit(*gateway, uid, 8, 3));
  // An answer for an id found nowhere still keeps its outcome.
  EXPECT_TRUE(DelSubmit(*gateway, 999999, "2001", 3));

  Recordset rs = db_.Query("SELECT * FROM SubmitLog WHERE SubmitID = " + std::to_string(id) +
                           " ORDER BY MsgId");
  ASSERT_EQ(rs.RecordCount(), 3);
  const char* ids[] = {"1001", "1002", "1003"};
  const int results[] = {0, 0, 8};
  for (int i = 0; !rs.Eof(); rs.MoveNext(), ++i) {
    EXPECT_EQ(rs.GetText("MsgId"), ids[i]);
    EXPECT_EQ(rs.GetInt("SubmitResult"), results[i]);
    EXPECT_EQ(rs.GetText("Msg"), "long");
    EXPECT_EQ(rs.GetInt("MsgFmt"), 8);
    EXPECT_EQ(rs.GetInt("SMSCount"), 3);
    EXPECT_FALSE(rs.IsNull("SendTime"));
  }
  Recordset orphan = db_.Query("SELECT * FROM SubmitLog WHERE SubmitID = 999999");
  ASSERT_EQ(orphan.RecordCount(), 1);
  EXPECT_EQ(orphan.GetText("MsgId"), "2001");
  EXPECT_EQ(orphan.GetInt("SubmitResult"), 3);
}

TEST_P(Procedures, AddDeliverStoresTheMoMessageWithChineseText) {
  LogCapture log;
  auto gateway = OpenGateway(db_.Settings());
  std::uint32_t before = Field(base::kMoStored);

  DeliverRecord r;
  r.mobile = "13900002222";
  r.msg = u"上行短信：查询余额";
  r.spNumber = "106571234";
  r.linkId = "L1";
  r.msgId = "9223372036854775808";
  r.responseCode = 200;
  r.responseInfo = Gbk("成功");
  r.replyBody = std::string(600, 'r');  // more than the column keeps
  r.serviceId = 7;
  r.pkTotal = 3;
  r.serviceCode = "CX";
  EXPECT_TRUE(AddDeliver(*gateway, r));

  Recordset rs = db_.Query("SELECT * FROM Deliver");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetText("Mobile"), "13900002222");
  EXPECT_EQ(rs.GetTextUtf16("Msg"), u"上行短信：查询余额");
  EXPECT_EQ(rs.GetText("SPNumber"), "106571234");
  EXPECT_EQ(rs.GetText("LinkId"), "L1");
  EXPECT_EQ(rs.GetText("MsgId"), "9223372036854775808");
  EXPECT_EQ(rs.GetInt("ResponseCode"), 200);
  EXPECT_EQ(rs.GetText("ResponseInfo"), Gbk("成功"));
  EXPECT_EQ(rs.GetText("ReplyBody"), std::string(500, 'r'));
  EXPECT_EQ(rs.GetInt("ServiceId"), 7);
  EXPECT_EQ(rs.GetInt("PKTotal"), 3);
  EXPECT_EQ(rs.GetText("ServiceCode"), "CX");
  EXPECT_FALSE(rs.IsNull("RecvTime"));
  EXPECT_EQ(Field(base::kMoStored), before + 1);
  EXPECT_EQ(Field(base::kDbConnectionMoOpen), 1u);
  EXPECT_EQ(log.Count("上行消息|13900002222|9223372036854775808"), 1) << log.All();
}

TEST_P(Procedures, AddDeliverWithoutRouteAndWithALongMessage) {
  auto gateway = OpenGateway(db_.Settings());
  DeliverRecord r;
  r.mobile = "13900002222";
  // Longer than one read buffer and than the short-text binding.
  for (int i = 0; i < 1500; ++i) r.msg += u"长短信";
  r.msgId = "1";
  EXPECT_TRUE(AddDeliver(*gateway, r));

  Recordset rs = db_.Query("SELECT * FROM Deliver");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetTextUtf16("Msg"), r.msg);
  EXPECT_EQ(rs.GetInt("ResponseCode"), 0);
  EXPECT_EQ(rs.GetText("ResponseInfo"), "");
  EXPECT_EQ(rs.GetInt("ServiceId"), -1);
  EXPECT_EQ(rs.GetInt("PKTotal"), 1);
}

TEST_P(Procedures, AddStatusReportStoresTheReportUnderTheSameMsgId) {
  LogCapture log;
  int id = InsertSubmit("13900003333", "x");
  auto gateway = OpenGateway(db_.Settings());
  std::uint32_t before = Field(base::kReportStored);
  ASSERT_TRUE(DelSubmit(*gateway, static_cast<std::uint32_t>(id), "5764607523034234881", 0));

  EXPECT_TRUE(AddStatusReport(*gateway, "5764607523034234881", "DELIVRD", "13900003333",
                              "2501011200", "2501011201"));

  Recordset rs = db_.Query(
      "SELECT r.SubmitState AS Stat, r.Mobile, r.SubmitTime, r.DoneTime, l.SubmitID "
      "FROM StatusReport r JOIN SubmitLog l ON l.MsgId = r.MsgId");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetText("Stat"), "DELIVRD");
  EXPECT_EQ(rs.GetText("Mobile"), "13900003333");
  EXPECT_EQ(rs.GetText("SubmitTime"), "2501011200");
  EXPECT_EQ(rs.GetText("DoneTime"), "2501011201");
  EXPECT_EQ(rs.GetInt("SubmitID"), id);
  EXPECT_EQ(Field(base::kReportStored), before + 1);
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 1u);
  EXPECT_EQ(log.Count("状态报告|13900003333|5764607523034234881|DELIVRD"), 1) << log.All();
}

TEST_P(Procedures, MissingProcedureWritesTheErrorLinesAndReopens) {
  LogCapture log;
  DbSettings settings = db_.Settings();
  settings.spAddDeliver = "uspNoSuchProcedure";
  auto gateway = OpenGateway(settings);
  std::uint32_t before = Field(base::kMoStored);
  // The server's id of the session, to see that the link was replaced.
  const std::string sessionQuery = GetParam() == Backend::kMariaDb ? "SELECT CONNECTION_ID() AS id"
                                   : GetParam() == Backend::kSqlite
                                       ? ""
                                       : "SELECT pg_backend_pid() AS id";
  std::string firstSession;
  if (!sessionQuery.empty()) {
    firstSession = gateway->DBConnectionMO().Execute(sessionQuery).GetText("id");
  }

  DeliverRecord r;
  r.mobile = "13900004444";
  r.msg.assign(1, u'x');
  r.msgId = "42";
  EXPECT_FALSE(AddDeliver(*gateway, r));

  EXPECT_GE(log.Count("数据库异常：ErrorNumber:"), 1) << log.All();
  EXPECT_EQ(log.Count("数据库异常：CODE=-1|"), 1) << log.All();
  EXPECT_EQ(log.Count("AddDeliver, Reconnect..."), 1) << log.All();
  EXPECT_EQ(log.Count("上行消息|13900004444|42"), 1) << log.All();
  // The driver names the missing procedure (PostgreSQL in lower case).
  std::string all = log.All();
  std::transform(all.begin(), all.end(), all.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_NE(all.find("uspnosuchprocedure"), std::string::npos) << log.All();
  // Multi-line driver texts do not break the log's one-line records.
  EXPECT_EQ(static_cast<std::size_t>(std::count(all.begin(), all.end(), '\n')), log.Lines().size());
  // Reconnect line before the exit line.
  std::vector<std::string> texts = log.Texts();
  auto reconnect = std::find(texts.begin(), texts.end(), "AddDeliver, Reconnect...");
  auto exit = std::find(texts.begin(), texts.end(), "上行消息|13900004444|42");
  EXPECT_LT(reconnect, exit);
  EXPECT_EQ(Field(base::kMoStored), before);
  EXPECT_TRUE(gateway->OpenFlag(DbLink::kMO));
  EXPECT_EQ(Field(base::kDbConnectionMoOpen), 1u);
  if (!sessionQuery.empty()) {
    std::string secondSession = gateway->DBConnectionMO().Execute(sessionQuery).GetText("id");
    EXPECT_NE(firstSession, secondSession) << "the connection was not reopened";
  }
  EXPECT_EQ(db_.Query("SELECT * FROM Deliver").RecordCount(), 0);
}

TEST_P(Procedures, ConnectionThatCannotOpenSkipsTheCall) {
  LogCapture log;
  DbSettings settings = db_.Settings();
  if (GetParam() == Backend::kSqlite) {
    settings.dataSource = "Driver=" + test::OdbcDriverLibrary("libsqlite3odbc.so") +
                          ";Database=/nonexistent-dir/x.db;";
  } else if (GetParam() == Backend::kMariaDb) {
    settings.dbPassword = "wrong";
  } else {
    // The test server trusts every password; a missing database fails.
    std::string error;
    settings.dataSource = testing::SharedPostgres(&error)->OdbcDataSource("no_such_database");
  }
  DbGateway gateway(settings);  // never opened: every flag is down
  std::uint32_t before = Field(base::kReportStored);

  EXPECT_FALSE(AddStatusReport(gateway, "1", "DELIVRD", "139", "", ""));

  EXPECT_EQ(log.Count("状态报告|139|1|DELIVRD"), 1);
  EXPECT_EQ(log.Count("数据库异常：CODE="), 1) << log.All();
  EXPECT_EQ(log.Count("AddStatusReport, Reconnect..."), 0) << log.All();
  EXPECT_EQ(Field(base::kReportStored), before);
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 0u);
}

TEST_P(Procedures, FourConnectionsWriteAtOnce) {
  LogCapture log(2);
  const int rows = 40;
  std::vector<int> ids;
  for (int i = 0; i < rows; ++i) ids.push_back(InsertSubmit("1390000" + std::to_string(i), "m"));
  auto gateway = OpenGateway(db_.Settings());

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int id : ids) failures += !UpdateSubmit(*gateway, static_cast<std::uint32_t>(id), 0, 1);
  });
  threads.emplace_back([&] {
    for (int id : ids) {
      failures += !DelSubmit(*gateway, static_cast<std::uint32_t>(id), std::to_string(id), 0);
    }
  });
  threads.emplace_back([&] {
    DeliverRecord r;
    r.mobile = "139";
    r.msg = u"并发";
    for (int i = 0; i < rows; ++i) failures += !AddDeliver(*gateway, r);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < rows; ++i) {
      failures += !AddStatusReport(*gateway, std::to_string(i), "DELIVRD", "139", "", "");
    }
  });
  for (auto& t : threads) t.join();

  EXPECT_EQ(failures.load(), 0) << log.All();
  EXPECT_EQ(db_.Query("SELECT * FROM Submit").RecordCount(), 0);
  EXPECT_EQ(db_.Query("SELECT * FROM SubmitLog").RecordCount(), rows);
  EXPECT_EQ(db_.Query("SELECT * FROM Deliver").RecordCount(), rows);
  EXPECT_EQ(db_.Query("SELECT * FROM StatusReport").RecordCount(), rows);
  // Whichever ran first, every log row got its hand-over.
  EXPECT_EQ(db_.Query("SELECT * FROM SubmitLog WHERE SMSCount = 1").RecordCount(), rows);
}

INSTANTIATE_TEST_SUITE_P(Backends, Procedures, testing::AllBackends(), testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
