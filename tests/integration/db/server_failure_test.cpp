// The procedure calls when the MariaDB server or one connection goes away:
// one connection down while another works, and the server killed between
// two calls. Each call opens its connection at most twice and never waits.

#include <gtest/gtest.h>

#include "base/status_block.h"
#include "db/procedures.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

std::uint32_t Field(std::size_t offset) { return base::StatusBlock().Get(offset); }

class ServerFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server_ = testing::SharedMariaDb(&error);
    ASSERT_NE(server_, nullptr) << error;
    ASSERT_TRUE(db_.Create(Backend::kMariaDb, &error)) << error;
  }
  void TearDown() override {
    // A test that failed half-way must not leave the shared server down.
    if (server_ != nullptr && !server_->Running()) {
      std::string error;
      EXPECT_TRUE(server_->Restart(&error)) << error;
    }
  }

  DeliverRecord Mo(const std::string& msgId) {
    DeliverRecord r;
    r.mobile = "13900005555";
    r.msg = u"测试";
    r.msgId = msgId;
    return r;
  }

  test::MariaDbServer* server_ = nullptr;
  TestDatabase db_;
};

TEST_F(ServerFailure, StatusReportConnectionDownWhileMoConnectionWorks) {
  std::string error;
  // A user allowed exactly the four connections.
  DbSettings settings;
  ASSERT_TRUE(db_.CreateUser("four", "pw", "WITH MAX_USER_CONNECTIONS 4", &settings, &error))
      << error;
  LogCapture log;
  DbGateway gateway(settings);
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();

  // Cut DBConnectionSR's session and take its place, so it cannot reopen.
  std::string srSession =
      gateway.DBConnectionSR().Execute("SELECT CONNECTION_ID() AS id").GetText("id");
  ASSERT_TRUE(server_->Execute("KILL " + srSession, &error)) << error;
  Connection intruder;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        try {
          intruder.Open(BuildConnectionString(settings));
          return true;
        } catch (const DbException&) {
          return false;
        }
      },
      std::chrono::seconds(10)));

  std::uint32_t reports = Field(base::kReportStored);
  std::uint32_t mos = Field(base::kMoStored);
  EXPECT_FALSE(AddStatusReport(gateway, "1", "DELIVRD", "139", "", ""));
  EXPECT_EQ(log.Count("AddStatusReport, Reconnect..."), 1) << log.All();
  EXPECT_FALSE(gateway.OpenFlag(DbLink::kSR));
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 0u);

  EXPECT_TRUE(AddDeliver(gateway, Mo("2")));
  EXPECT_EQ(Field(base::kDbConnectionMoOpen), 1u);

  // Still down: the call tries one open, skips the procedure, no reconnect.
  int errorLines = log.Count("数据库异常：CODE=");
  EXPECT_FALSE(AddStatusReport(gateway, "3", "DELIVRD", "139", "", ""));
  EXPECT_EQ(log.Count("数据库异常：CODE="), errorLines + 1) << log.All();
  EXPECT_EQ(log.Count("AddStatusReport, Reconnect..."), 1);

  EXPECT_EQ(Field(base::kReportStored), reports);
  EXPECT_EQ(Field(base::kMoStored), mos + 1);
  EXPECT_EQ(db_.Query("SELECT * FROM StatusReport").RecordCount(), 0);
  EXPECT_EQ(db_.Query("SELECT * FROM Deliver").RecordCount(), 1);

  // Once the slot is free the next call opens at its start and stores.
  intruder.Close();
  ASSERT_TRUE(test::WaitFor([&] { return AddStatusReport(gateway, "4", "DELIVRD", "139", "", ""); },
                            std::chrono::seconds(10)));
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 1u);
  EXPECT_EQ(db_.Query("SELECT * FROM StatusReport").RecordCount(), 1);
}

TEST_F(ServerFailure, ServerRestartedBetweenTwoCallsTheSecondReopens) {
  LogCapture log;
  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();
  ASSERT_TRUE(AddDeliver(gateway, Mo("1")));
  // One statement prepared per procedure and connection, reused.
  ASSERT_TRUE(AddDeliver(gateway, Mo("1")));
  EXPECT_EQ(gateway.DBConnectionMO().PreparedCountForTest(), 1u);

  server_->Kill();
  std::string error;
  ASSERT_TRUE(server_->Restart(&error)) << error;

  // The link died with the server: the call fails, writes its lines and
  // reopens against the restarted server.
  EXPECT_FALSE(AddDeliver(gateway, Mo("2")));
  EXPECT_EQ(log.Count("AddDeliver, Reconnect..."), 1) << log.All();
  EXPECT_EQ(log.Count("数据库异常：CODE=-1|"), 1) << log.All();
  EXPECT_TRUE(gateway.OpenFlag(DbLink::kMO));
  EXPECT_EQ(Field(base::kDbConnectionMoOpen), 1u);
  // The reopen dropped the statement prepared on the dead link.
  EXPECT_EQ(gateway.DBConnectionMO().PreparedCountForTest(), 0u);

  EXPECT_TRUE(AddDeliver(gateway, Mo("3")));
  EXPECT_EQ(gateway.DBConnectionMO().PreparedCountForTest(), 1u);
  Recordset rs = db_.Query("SELECT MsgId FROM Deliver ORDER BY MsgId");
  ASSERT_EQ(rs.RecordCount(), 3);
  EXPECT_EQ(rs.GetText("MsgId"), "1");
  rs.MoveNext();
  rs.MoveNext();
  EXPECT_EQ(rs.GetText("MsgId"), "3");
  // The other connections were never used and still hold dead links; the
  // first call on one of them recovers the same way.
  EXPECT_FALSE(DelSubmit(gateway, 1, "1", 0));
  EXPECT_TRUE(DelSubmit(gateway, 1, "1", 0));
}

TEST_F(ServerFailure, ServerStaysDownThenComesBack) {
  LogCapture log;
  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();

  server_->Kill();
  // Execute fails, the reopen fails: two sets of error lines, flag down.
  EXPECT_FALSE(AddStatusReport(gateway, "1", "DELIVRD", "139", "", ""));
  EXPECT_EQ(log.Count("数据库异常：CODE="), 2) << log.All();
  EXPECT_EQ(log.Count("AddStatusReport, Reconnect..."), 1);
  EXPECT_FALSE(gateway.OpenFlag(DbLink::kSR));
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 0u);

  // Down at the start: one open attempt, its lines, nothing else.
  EXPECT_FALSE(AddStatusReport(gateway, "2", "DELIVRD", "139", "", ""));
  EXPECT_EQ(log.Count("数据库异常：CODE="), 3) << log.All();
  EXPECT_EQ(log.Count("AddStatusReport, Reconnect..."), 1);

  std::string error;
  ASSERT_TRUE(server_->Restart(&error)) << error;
  EXPECT_TRUE(AddStatusReport(gateway, "3", "DELIVRD", "139", "", ""));
  EXPECT_TRUE(gateway.OpenFlag(DbLink::kSR));
  EXPECT_EQ(Field(base::kDbConnectionSrOpen), 1u);
  EXPECT_EQ(db_.Query("SELECT * FROM StatusReport").RecordCount(), 1);
}

}  // namespace
}  // namespace brivane::db
