// The recordset readers against what the SQLite3 and MariaDB drivers
// really report: NULLs, every integer width, booleans, exact and floating
// numbers, text, binary, and the failures a reader must raise.

#include <gtest/gtest.h>

#include <cctype>

#include "base/text.h"
#include "db/connections.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::RaisedSqlState;
using testing::TestDatabase;

class RecordsetReaders : public testing::OwnConnectionTest {
 protected:
  bool Sqlite() const { return GetParam() == Backend::kSqlite; }
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
};

TEST_P(RecordsetReaders, IntegerKindsNullsAndTexts) {
  switch (GetParam()) {
    case Backend::kSqlite:
      connection_.Execute(
          "CREATE TABLE Kinds (Id INTEGER, Tiny TINYINT, Small SMALLINT, Big BIGINT, "
          "Flag BOOLEAN, Whole NUMERIC(20,0), Real DOUBLE, Txt NVARCHAR(20), Bin BLOB, "
          "Stamp DATETIME)");
      connection_.Execute(
          "INSERT INTO Kinds VALUES (1, -7, -300, 4294967301, 1, 12345678901, 2.5, 'abc', "
          "x'0102', '2025-01-02 03:04:05')");
      break;
    case Backend::kMariaDb:
      connection_.Execute(
          "CREATE TABLE Kinds (Id INT, Tiny TINYINT, Small SMALLINT, Big BIGINT, "
          "Flag BIT(1), Whole DECIMAL(20,0), `Real` DOUBLE, Txt VARCHAR(20), Bin BLOB, "
          "Stamp DATETIME) CHARSET utf8mb4");
      connection_.Execute(
          "INSERT INTO Kinds VALUES (1, -7, -300, 4294967301, b'1', 12345678901, 2.5, "
          "'abc', x'0102', '2025-01-02 03:04:05')");
      break;
    case Backend::kPostgreSql:
      connection_.Execute(
          "CREATE TABLE Kinds (Id INTEGER, Tiny SMALLINT, Small SMALLINT, Big BIGINT, "
          "Flag BOOLEAN, Whole NUMERIC(20,0), \"Real\" DOUBLE PRECISION, Txt VARCHAR(20), "
          "Bin BYTEA, Stamp TIMESTAMP)");
      connection_.Execute(
          "INSERT INTO Kinds VALUES (1, -7, -300, 4294967301, TRUE, 12345678901, 2.5, 'abc', "
          "'\\x0102', '2025-01-02 03:04:05')");
      break;
  }
  connection_.Execute("INSERT INTO Kinds (Id) VALUES (2)");

  Recordset rs = connection_.Execute("SELECT * FROM Kinds ORDER BY Id");
  ASSERT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.FieldCount(), 10);
  // PostgreSQL folds unquoted names to lower case; lookups ignore case.
  EXPECT_EQ(Lower(rs.FieldName(0)), "id");
  EXPECT_EQ(Lower(rs.ColumnNames().back()), "stamp");
  EXPECT_TRUE(rs.HasField("BIG"));
  EXPECT_FALSE(rs.HasField("LinkId"));

  rs.MoveFirst();
  EXPECT_EQ(rs.GetInt("tiny"), -7);
  EXPECT_EQ(rs.GetInt("Small"), -300);
  EXPECT_EQ(rs.GetInt("Big"), 5) << "low 32 bits of 0x1_0000_0005";
  EXPECT_EQ(rs.GetText("Big"), "4294967301");
  EXPECT_EQ(rs.Kind("Flag"), FieldKind::kBool);
  EXPECT_TRUE(rs.GetBool("Flag"));
  EXPECT_EQ(rs.GetInt("Flag"), 1);
  EXPECT_EQ(rs.GetText("Flag"), "1");
  // SQLite's driver reports NUMERIC as floating point, the others an exact
  // numeric of scale 0 as a whole number.
  if (Sqlite()) {
    EXPECT_EQ(rs.Kind("Whole"), FieldKind::kReal);
  } else {
    EXPECT_EQ(rs.Kind("Whole"), FieldKind::kInt);
    EXPECT_EQ(rs.GetInt("Whole"), static_cast<std::int32_t>(12345678901LL & 0xFFFFFFFF));
  }
  EXPECT_EQ(rs.Kind("Real"), FieldKind::kReal);
  EXPECT_EQ(RaisedSqlState([&] { rs.GetInt("Real"); }), "07006");
  EXPECT_EQ(rs.GetText("Real").substr(0, 3), "2.5");
  EXPECT_EQ(rs.Kind("Txt"), FieldKind::kText);
  EXPECT_EQ(rs.GetText("Txt"), "abc");
  EXPECT_EQ(RaisedSqlState([&] { rs.GetInt("Txt"); }), "07006");
  EXPECT_EQ(RaisedSqlState([&] { rs.GetBool("Txt"); }), "07006");
  // An integer column is not a boolean: ISWappush stored as a number.
  EXPECT_EQ(RaisedSqlState([&] { rs.GetBool("Tiny"); }), "07006");
  EXPECT_EQ(rs.Kind("Bin"), FieldKind::kBinary);
  EXPECT_EQ(RaisedSqlState([&] { rs.GetText("Bin"); }), "07006");
  EXPECT_EQ(rs.GetText("Stamp").substr(0, 19), "2025-01-02 03:04:05");
  EXPECT_EQ(RaisedSqlState([&] { rs.IsNull("NoSuchColumn"); }), "42S22");

  rs.MoveNext();
  ASSERT_FALSE(rs.Eof());
  for (const std::string& column : rs.ColumnNames()) {
    if (Lower(column) == "id") continue;
    EXPECT_TRUE(rs.IsNull(column)) << column;
    EXPECT_EQ(rs.Kind(column), FieldKind::kNull) << column;
    EXPECT_EQ(rs.GetText(column), "") << column;
  }
  EXPECT_EQ(rs.GetInt("Tiny"), 0);
  EXPECT_EQ(rs.GetInt("Real"), 0);
  EXPECT_FALSE(rs.GetBool("Flag"));
  EXPECT_FALSE(rs.GetBool("Txt"));

  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(RaisedSqlState([&] { rs.MoveNext(); }), "24000");
  EXPECT_EQ(RaisedSqlState([&] { rs.GetInt("Id"); }), "24000");
  rs.MoveFirst();
  EXPECT_EQ(rs.GetInt("Id"), 1);
  rs.Close();
  EXPECT_EQ(RaisedSqlState([&] { rs.GetInt("Id"); }), "HY010");
}

TEST_P(RecordsetReaders, SubmitRowsReadAsThePollerNeedsThem) {
  db_.Query(
      "INSERT INTO Submit (ServiceId, Mobile, ISWappush, PushURL, Msg) VALUES "
      "('S1', '13900000001', TRUE, 'wap.example.com/a', '推送'), "
      "('S2', '13900000002', FALSE, NULL, 'plain')");
  db_.Query("INSERT INTO Submit (ServiceId, Mobile, SrcId, Msg) VALUES ('S3', '139', '', NULL)");

  // The polling query of the LIMIT form (mysql, sqlite).
  Recordset rs = connection_.Execute("SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20");
  ASSERT_EQ(rs.RecordCount(), 3);
  EXPECT_TRUE(rs.HasField("linkid"));
  rs.MoveFirst();
  std::vector<bool> pushes;
  std::vector<std::string> msgs;
  for (; !rs.Eof(); rs.MoveNext()) {
    EXPECT_GT(rs.GetInt("SubmitID"), 0);
    EXPECT_EQ(rs.Kind("ISWappush"), FieldKind::kBool);
    pushes.push_back(rs.GetBool("ISWappush"));
    msgs.push_back(rs.GetText("Msg"));
    EXPECT_EQ(rs.GetInt("SubmitState"), 0);
  }
  EXPECT_EQ(pushes, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(msgs, (std::vector<std::string>{base::Utf8ToGbk("推送"), "plain", ""}));
}

TEST(PostgresBooleans, WithoutBoolsAsCharOffTheDriverReportsText) {
  // Why the PostgreSQL DSN needs BoolsAsChar=0: the driver's default
  // reports booleans as characters, which GetBool refuses.
  TestDatabase db;
  std::string error;
  ASSERT_TRUE(db.Create(Backend::kPostgreSql, &error)) << error;
  db.Query("INSERT INTO Submit (Mobile, ISWappush) VALUES ('139', TRUE)");
  std::string withDefault = db.ConnectionString();
  withDefault.erase(withDefault.find("BoolsAsChar=0;"), 14);
  Connection connection;
  connection.Open(withDefault);
  Recordset rs = connection.Execute("SELECT * FROM Submit");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_NE(rs.Kind("ISWappush"), FieldKind::kBool);
  EXPECT_THROW(rs.GetBool("ISWappush"), DbException);
}

TEST_P(RecordsetReaders, ProcedureReturningRowsAndServiceTable) {
  db_.Query(
      "INSERT INTO Service (ServiceID, ServiceCode, SPNumber, PostInterface, EnableRoute) VALUES "
      "(1, 'A', '1066', 'http://a/', 1), (2, 'B', '10661', 'http://b/', 1), "
      "(3, 'C', '1067', 'http://c/', 0)");
  switch (GetParam()) {
    case Backend::kSqlite:
      db_.Query("CREATE VIEW uspRoutes AS SELECT * FROM Service WHERE EnableRoute > 0");
      break;
    case Backend::kMariaDb:
      db_.Query("CREATE PROCEDURE uspRoutes() SELECT * FROM Service WHERE EnableRoute > 0");
      break;
    case Backend::kPostgreSql:
      db_.Query(
          "CREATE FUNCTION uspRoutes() RETURNS SETOF Service AS "
          "'SELECT * FROM Service WHERE EnableRoute > 0' LANGUAGE sql");
      break;
  }
  Recordset rs = connection_.Execute("uspRoutes", CommandType::kStoredProc);
  EXPECT_EQ(rs.RecordCount(), 2);
  EXPECT_TRUE(rs.HasField("PostInterface"));

  // The routing query with len(), which mysql.sql and postgresql.sql define.
  if (!Sqlite()) {
    Recordset routes = connection_.Execute(
        "SELECT * FROM Service WHERE EnableRoute > 0 ORDER BY len(spnumber) DESC");
    ASSERT_EQ(routes.RecordCount(), 2);
    EXPECT_EQ(routes.GetText("SPNumber"), "10661");
    EXPECT_EQ(routes.GetInt("ServiceID"), 2);
  }
}

TEST_P(RecordsetReaders, FailedQueryLeavesTheProviderRecordsOnTheConnection) {
  LogCapture log;
  std::string state = RaisedSqlState([&] { connection_.Execute("SELECT * FROM NoSuchTable"); });
  EXPECT_FALSE(state.empty());
  ASSERT_FALSE(connection_.Errors().empty());
  EXPECT_NE(Lower(connection_.Errors().front().description).find("nosuchtable"), std::string::npos)
      << connection_.Errors().front().description;
  if (GetParam() == Backend::kMariaDb) {
    EXPECT_EQ(connection_.Errors().front().number, 1146);
  }
  LogProviderErrors(connection_);
  EXPECT_EQ(log.Count("数据库异常：ErrorNumber:"), static_cast<int>(connection_.Errors().size()));

  // The next good statement clears them.
  connection_.Execute("SELECT 1 AS one");
  EXPECT_TRUE(connection_.Errors().empty());

  connection_.Close();
  EXPECT_EQ(RaisedSqlState([&] { connection_.Execute("SELECT 1"); }), "08003");
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordsetReaders, testing::AllBackends(),
                         testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
