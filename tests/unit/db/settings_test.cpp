#include "db/settings.h"

#include <gtest/gtest.h>

namespace brivane::db {
namespace {

DbSettings Settings(std::string dataSource, std::string user, std::string password) {
  DbSettings s;
  s.dataSource = std::move(dataSource);
  s.dbUser = std::move(user);
  s.dbPassword = std::move(password);
  return s;
}

TEST(ConnectionString, PlainValuesFillTheDsnForm) {
  EXPECT_EQ(BuildConnectionString(Settings("brivane", "user_cmpp", "secret")),
            "DSN=brivane;Uid=user_cmpp;Pwd=secret;");
  EXPECT_EQ(BuildConnectionString(Settings("", "", "")), "DSN=;Uid=;Pwd=;");
}

TEST(ConnectionString, ValuesThatWouldBreakTheStringAreBraceQuoted) {
  // Unquoted, "a;Database=other" would end the password early and add an
  // attribute of its own.
  EXPECT_EQ(BuildConnectionString(Settings("brivane", "sa", "a;Database=other")),
            "DSN=brivane;Uid=sa;Pwd={a;Database=other};");
  EXPECT_EQ(BuildConnectionString(Settings("my;dsn", "u{1}", "p}w")),
            "DSN={my;dsn};Uid={u{1}}};Pwd={p}}w};");
  EXPECT_EQ(QuoteOdbcValue("}"), "{}}}");
  EXPECT_EQ(QuoteOdbcValue("{"), "{{}");
  EXPECT_EQ(QuoteOdbcValue("plain value=1"), "plain value=1");
}

TEST(ConnectionString, DataSourceWithEqualsSignIsAWholeConnectionString) {
  EXPECT_EQ(BuildConnectionString(Settings("Driver=SQLite3;Database=/var/lib/b.db", "u", "p")),
            "Driver=SQLite3;Database=/var/lib/b.db;Uid=u;Pwd=p;");
  EXPECT_EQ(BuildConnectionString(Settings("Driver=MariaDB;Server=db;", "u", "p;q")),
            "Driver=MariaDB;Server=db;Uid=u;Pwd={p;q};");
}

TEST(MaskPasswords, EveryPasswordValueBecomesStars) {
  EXPECT_EQ(MaskPasswords("DSN=b;Uid=u;Pwd=secret;"), "DSN=b;Uid=u;Pwd=******;");
  EXPECT_EQ(MaskPasswords("DSN=b;Uid=u;Pwd={se;cr}}et};"), "DSN=b;Uid=u;Pwd=******;");
  EXPECT_EQ(MaskPasswords("Driver=x;PASSWORD=a;pwd=b"), "Driver=x;PASSWORD=******;pwd=******");
  EXPECT_EQ(MaskPasswords("Driver={a;b};Server=s;"), "Driver={a;b};Server=s;");
  // A key merely containing "pwd" is not a password.
  EXPECT_EQ(MaskPasswords("PwdHint=x;"), "PwdHint=x;");
}

TEST(SettingsFailureLine, KeepsEverythingButThePassword) {
  EXPECT_EQ(SettingsFailureLine(Settings("brivane", "user_cmpp", "s3cret;x")),
            "数据库异常：数据库连接失败，连接=DSN=brivane;Uid=user_cmpp;Pwd=******;"
            ";数据源=brivane;用户名=user_cmpp;密码=******");
}

TEST(SettingsFailureLine, PasswordInsideADsnLessDataSourceIsMaskedToo) {
  std::string line =
      SettingsFailureLine(Settings("Driver=MariaDB;Server=db;PWD=inline;", "u", "outer"));
  EXPECT_EQ(line,
            "数据库异常：数据库连接失败，连接=Driver=MariaDB;Server=db;PWD=******;Uid=u;Pwd=******;"
            ";数据源=Driver=MariaDB;Server=db;PWD=******;;用户名=u;密码=******");
  EXPECT_EQ(line.find("inline"), std::string::npos);
  EXPECT_EQ(line.find("outer"), std::string::npos);
}

TEST(SyntaxForDbType, OnlySqliteCallsProceduresAsViews) {
  EXPECT_EQ(SyntaxForDbType("sqlite"), ProcedureSyntax::kInsertIntoView);
  for (const char* type : {"mssql", "mysql", "oracle", "postgresql", "SQLITE", ""}) {
    EXPECT_EQ(SyntaxForDbType(type), ProcedureSyntax::kOdbcCall) << type;
  }
}

TEST(ProcedureCallText, MarkersFollowTheParameterCount) {
  EXPECT_EQ(ProcedureCallText("uspMoveSubmitToLog", 3, ProcedureSyntax::kOdbcCall),
            "{CALL uspMoveSubmitToLog(?,?,?)}");
  EXPECT_EQ(ProcedureCallText("p", 0, ProcedureSyntax::kOdbcCall), "{CALL p}");
  EXPECT_EQ(ProcedureCallText("uspAddStatusReport", 5, ProcedureSyntax::kInsertIntoView),
            "INSERT INTO uspAddStatusReport VALUES (?,?,?,?,?)");
  EXPECT_EQ(ProcedureCallText("v", 0, ProcedureSyntax::kInsertIntoView),
            "INSERT INTO v DEFAULT VALUES");
}

TEST(ProcedureCallText, RowsMakeOneInsertOfSeveralCallsOnlyForViews) {
  struct Case {
    int parameters;
    ProcedureSyntax syntax;
    int rows;
    const char* text;
  };
  const Case cases[] = {
      {2, ProcedureSyntax::kInsertIntoView, 3, "INSERT INTO p VALUES (?,?),(?,?),(?,?)"},
      {1, ProcedureSyntax::kInsertIntoView, 1, "INSERT INTO p VALUES (?)"},
      {1, ProcedureSyntax::kInsertIntoView, 0, "INSERT INTO p VALUES (?)"},
      {0, ProcedureSyntax::kInsertIntoView, 4, "INSERT INTO p DEFAULT VALUES"},
      // One call per text: the caller refuses rows for this syntax.
      {2, ProcedureSyntax::kOdbcCall, 3, "{CALL p(?,?)}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ProcedureCallText("p", c.parameters, c.syntax, c.rows), c.text);
  }
}

}  // namespace
}  // namespace brivane::db

namespace brivane::db {
namespace {

// A hung MySQL/MariaDB server must not hold a call for ever: the network
// timeouts are added unless the operator's string names them already.
TEST(NetworkTimeouts, AddedForMysqlOnlyAndNeverTwice) {
  struct Case {
    std::string text, type, expected;
  };
  const Case cases[] = {
      {"DSN=brivane;Uid=u;Pwd=p;", "mysql",
       "DSN=brivane;Uid=u;Pwd=p;CONN_TIMEOUT=5;READ_TIMEOUT=5;WRITE_TIMEOUT=5;"},
      {"DSN=brivane;read_timeout=30;Uid=u", "mysql",
       "DSN=brivane;read_timeout=30;Uid=u;CONN_TIMEOUT=5;WRITE_TIMEOUT=5;"},
      {"DSN=brivane;Uid=u;Pwd=p;", "mssql", "DSN=brivane;Uid=u;Pwd=p;"},
      {"DSN=brivane;Uid=u;Pwd=p;", "sqlite", "DSN=brivane;Uid=u;Pwd=p;"},
  };
  for (const Case& c : cases) EXPECT_EQ(WithNetworkTimeouts(c.text, c.type), c.expected) << c.text;
}

}  // namespace
}  // namespace brivane::db
