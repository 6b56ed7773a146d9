// Opening, failing and closing the four connections against real data
// sources: a SQLite file behind a DSN of an odbc.ini of the test's own,
// and the shared MariaDB server with users whose limits make chosen
// connections fail.

#include "db/connections.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "base/status_block.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

TEST(Connections, OpenAllThroughADsnThenCloseAll) {
  test::TempDir dir("brivane-dsn");
  test::SqliteDatabase database(dir.File("brivane.db"));
  std::string error;
  ASSERT_TRUE(database.Create(&error)) << error;
  ASSERT_TRUE(database.WriteDsn(dir.File("odbc.ini"), "brivane_test"));
  setenv("ODBCINI", dir.File("odbc.ini").c_str(), 1);

  LogCapture log;
  DbSettings settings;
  settings.dataSource = "brivane_test";
  settings.dbType = "sqlite";
  DbGateway gateway(settings);
  EXPECT_EQ(gateway.ConnectionString(), "DSN=brivane_test;Uid=user_cmpp;Pwd=;");
  gateway.OpenAllConnections();
  unsetenv("ODBCINI");

  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();
  for (DbLink link : kAllLinks) {
    EXPECT_TRUE(gateway.OpenFlag(link)) << LinkName(link);
    EXPECT_TRUE(gateway.Get(link).IsOpen()) << LinkName(link);
  }
  Recordset rs = gateway.DBConnection().Execute("SELECT COUNT(*) AS n FROM Submit");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.GetInt("n"), 0);
  EXPECT_EQ(log.Count("数据库异常"), 0) << log.All();

  gateway.CloseAllConnections();
  EXPECT_FALSE(gateway.DatabaseConnected());
  for (DbLink link : kAllLinks) {
    EXPECT_FALSE(gateway.OpenFlag(link));
    EXPECT_FALSE(gateway.Get(link).IsOpen());
  }
  // Closing again skips connections that are already closed.
  gateway.CloseAllConnections();
}

TEST(Connections, MissingDsnCostsThreeAttemptsEachWithItsLinesAndPause) {
  LogCapture log;
  DbSettings settings;
  settings.dataSource = "brivane_no_such_dsn";
  settings.dbUser = "sa";
  settings.dbPassword = "top;secret";
  DbGateway gateway(settings);

  auto start = std::chrono::steady_clock::now();
  gateway.OpenAllConnections();
  auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_FALSE(gateway.DatabaseConnected());
  for (DbLink link : kAllLinks) EXPECT_FALSE(gateway.OpenFlag(link));
  EXPECT_GE(elapsed, std::chrono::milliseconds(3000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(8000));

  const std::string settingsLine =
      "数据库异常：数据库连接失败，连接=DSN=brivane_no_such_dsn;Uid=sa;Pwd=******;"
      ";数据源=brivane_no_such_dsn;用户名=sa;密码=******";
  const std::string retryLine = "严重：连接数据库失败，重试中......";
  // Each attempt: settings line, the driver manager's records, the error
  // line, the retry line.
  std::vector<LogCapture::Line> lines = log.Lines();
  std::vector<std::chrono::milliseconds> retries;
  int attempt = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text != settingsLine) continue;
    ++attempt;
    ASSERT_LT(i + 3, lines.size()) << log.All();
    EXPECT_EQ(lines[i + 1].text.rfind("数据库异常：ErrorNumber:0;ErrorDescripe:", 0), 0u)
        << lines[i + 1].text;
    std::size_t j = i + 1;
    while (j < lines.size() && lines[j].text.rfind("数据库异常：ErrorNumber:", 0) == 0) ++j;
    ASSERT_LT(j + 1, lines.size());
    EXPECT_EQ(
        lines[j].text.rfind("数据库异常：CODE=-1|MEANING=IM002: Data source name not found", 0), 0u)
        << lines[j].text;
    EXPECT_NE(lines[j].text.find("|SOURCE=SQLDriverConnect|Description="), std::string::npos);
    EXPECT_EQ(lines[j + 1].text, retryLine);
    retries.push_back(lines[j + 1].time);
  }
  EXPECT_EQ(attempt, 3) << log.All();
  ASSERT_EQ(retries.size(), 3u);
  EXPECT_GE(retries[1] - retries[0], std::chrono::milliseconds(990));
  EXPECT_GE(retries[2] - retries[1], std::chrono::milliseconds(990));
  EXPECT_EQ(log.All().find("secret"), std::string::npos) << "the password reached the log";
}

TEST(Connections, LaterConnectionFailingClosesTheEarlierOneBeforeItsLine) {
  std::string error;
  test::MariaDbServer* server = testing::SharedMariaDb(&error);
  ASSERT_NE(server, nullptr) << error;
  TestDatabase db;
  ASSERT_TRUE(db.Create(Backend::kMariaDb, &error)) << error;
  // A user allowed one connection at a time: DBConnection opens, then
  // DBConnectionMT is refused. Were DBConnection left open, the next
  // attempt would already fail at DBConnection with the settings line.
  DbSettings settings;
  ASSERT_TRUE(db.CreateUser("one", "pw", "WITH MAX_USER_CONNECTIONS 1", &settings, &error))
      << error;
  settings.retryPause = std::chrono::milliseconds(50);

  {
    LogCapture log;
    DbGateway gateway(settings);
    gateway.OpenAllConnections();
    EXPECT_FALSE(gateway.DatabaseConnected());
    EXPECT_EQ(log.Count("数据库异常：DBConnectionMT Failed"), 3) << log.All();
    EXPECT_EQ(log.Count("数据库异常：数据库连接失败"), 0) << log.All();
    EXPECT_EQ(log.Count("严重：连接数据库失败，重试中......"), 3);
    for (DbLink link : kAllLinks) EXPECT_FALSE(gateway.Get(link).IsOpen()) << LinkName(link);
    // The refusal came from the server, with its own number.
    EXPECT_NE(log.All().find("max_user_connections"), std::string::npos) << log.All();
  }

  ASSERT_TRUE(server->Execute("ALTER USER 'one'@'127.0.0.1' WITH MAX_USER_CONNECTIONS 4", &error))
      << error;
  LogCapture log;
  DbGateway gateway(settings);
  gateway.OpenAllConnections();
  EXPECT_TRUE(gateway.DatabaseConnected()) << log.All();
  EXPECT_EQ(log.Count("数据库异常"), 0) << log.All();
}

TEST(Connections, PasswordWithSeparatorsReachesTheServerWhole) {
  std::string error;
  TestDatabase db;
  ASSERT_TRUE(db.Create(Backend::kMariaDb, &error)) << error;
  // Unquoted, this password would end at its first ';' and add an
  // attribute of its own.
  DbSettings settings;
  ASSERT_TRUE(db.CreateUser("brace", "a;b}c{d=e", "", &settings, &error)) << error;
  settings.openAttempts = 1;
  settings.retryPause = std::chrono::milliseconds(0);
  LogCapture log;
  DbGateway gateway(settings);
  gateway.OpenAllConnections();
  EXPECT_TRUE(gateway.DatabaseConnected()) << log.All();
  Recordset rs = gateway.DBConnectionSR().Execute("SELECT CURRENT_USER() AS who");
  EXPECT_EQ(rs.GetText("who"), "brace@127.0.0.1");
}

TEST(Connections, RestartWithNewSettingsReopensOnTheNewDatabase) {
  TestDatabase first, second;
  std::string error;
  ASSERT_TRUE(first.Create(Backend::kSqlite, &error)) << error;
  ASSERT_TRUE(second.Create(Backend::kSqlite, &error)) << error;
  LogCapture log;
  DbGateway gateway(first.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();
  gateway.DBConnection().Execute("INSERT INTO Service (ServiceID) VALUES (1)");

  gateway.CloseAllConnections();
  gateway.SetSettings(second.Settings());
  EXPECT_EQ(gateway.ConnectionString(), second.ConnectionString());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();
  EXPECT_EQ(gateway.DBConnection().Execute("SELECT * FROM Service").RecordCount(), 0);
  EXPECT_EQ(first.Query("SELECT * FROM Service").RecordCount(), 1);
}

TEST(Connections, OpenConnectionReopensOneAndStoresTheOutcome) {
  TestDatabase db;
  std::string error;
  ASSERT_TRUE(db.Create(Backend::kSqlite, &error)) << error;
  LogCapture log;
  DbGateway gateway(db.Settings());
  EXPECT_TRUE(gateway.OpenConnection(DbLink::kMO));
  EXPECT_TRUE(gateway.OpenFlag(DbLink::kMO));
  EXPECT_FALSE(gateway.OpenFlag(DbLink::kMain));
  EXPECT_FALSE(gateway.DBConnection().IsOpen());

  // A data source that cannot open leaves the flag down, with the lines.
  DbSettings bad = db.Settings();
  bad.dataSource =
      "Driver=" + test::OdbcDriverLibrary("libsqlite3odbc.so") + ";Database=/nonexistent-dir/x.db;";
  DbGateway broken(bad);
  EXPECT_FALSE(broken.OpenConnection(DbLink::kSR));
  EXPECT_FALSE(broken.OpenFlag(DbLink::kSR));
  EXPECT_EQ(log.Count("数据库异常：CODE=-1|"), 1) << log.All();
  EXPECT_GE(log.Count("数据库异常：ErrorNumber:"), 1) << log.All();
  broken.CloseAllConnections();
}

}  // namespace
}  // namespace brivane::db
