// The operator's guide's first run, as written: its SQL for MariaDB and
// PostgreSQL (database, users, schema, outcome view, least grants) runs on
// the program's own servers, and with exactly those grants the service's
// user can do everything the service does, and the application's user can
// insert a row and read its outcome.

#include <gtest/gtest.h>

#include <sstream>

#include "db/connections.h"
#include "db/procedures.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;

// One step of a first-run section: SQL to run as the administrator in a
// database ("" for the server's default), or a schema file to load.
struct Step {
  std::string database;
  std::string sql;
  std::string file;  // below schema/, when the step loads a file
};

struct Section {
  std::vector<Step> steps;
  std::string dataSource;
  std::string dbType;
};

// The guide's section whose heading starts with the given text, read as an
// operator would type it: commands indented by four blanks, heredocs ending
// in a line "SQL", and the DataSource= and DBType= lines it gives.
Section ReadSection(const std::string& heading) {
  std::istringstream in(test::ReadFile(test::SourcePath("docs/OPERATOR.md")));
  std::string line;
  bool inside = false;
  Section section;
  const std::string shareSchema = "/usr/share/brivane/schema/";
  while (std::getline(in, line)) {
    if (line.rfind("### ", 0) == 0) {
      if (inside) break;
      inside = line.rfind(heading, 0) == 0;
      continue;
    }
    if (!inside || line.rfind("    ", 0) != 0) continue;
    const std::string command = line.substr(4);
    if (command.rfind("DataSource=", 0) == 0) section.dataSource = command.substr(11);
    if (command.rfind("DBType=", 0) == 0) section.dbType = command.substr(7);
    const bool admin = command.rfind("mariadb", 0) == 0 || command.rfind("su postgres", 0) == 0;
    if (!admin) continue;
    Step step;
    if (command.find(" brivane") != std::string::npos &&
        (command.find("-d brivane") != std::string::npos || command.rfind("mariadb", 0) == 0))
      step.database = "brivane";
    if (auto at = command.find(shareSchema); at != std::string::npos) {
      step.file = command.substr(at + shareSchema.size());
      step.file = step.file.substr(0, step.file.find_first_of("' "));
    } else if (command.find("<<'SQL'") != std::string::npos) {
      while (std::getline(in, line) && line != "    SQL") step.sql += line.substr(4) + "\n";
    } else {
      continue;
    }
    section.steps.push_back(step);
  }
  return section;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// With the grants the guide gave: everything the service does as its user,
// and an application's row read back as delivered.
void ServiceAndApplicationWork(const Section& section, DbSettings settings) {
  settings.dbUser = "brivane";
  settings.dbPassword = "service-password";
  settings.dbType = section.dbType;
  DbSettings appSettings = settings;
  appSettings.dbUser = "app";
  appSettings.dbPassword = "application-password";
  testing::LogCapture log;
  DbGateway gateway(settings);
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected()) << log.All();

  Connection app;
  ASSERT_NO_THROW(app.Open(BuildConnectionString(appSettings)));
  app.Execute(
      "INSERT INTO Submit (ServiceId, FeeType, FeeCode, SrcId, Mobile, Msg) VALUES ('HELP', "
      "'01', '000000', '', '13900001111', 'first run')");
  EXPECT_THROW(app.Execute("DELETE FROM Submit"), DbException) << "the application may not delete";

  // What the service does: poll, read the routes, call the four procedures.
  Recordset rows =
      gateway.DBConnection().Execute("SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20");
  ASSERT_EQ(rows.RecordCount(), 1);
  rows.MoveFirst();
  const auto id = static_cast<std::uint32_t>(rows.GetInt("SubmitID"));
  EXPECT_NO_THROW(gateway.DBConnection().Execute("SELECT * FROM Service"));
  EXPECT_TRUE(UpdateSubmit(gateway, id, 0, 1)) << log.All();
  EXPECT_TRUE(DelSubmit(gateway, id, "4242", 0)) << log.All();
  EXPECT_TRUE(
      AddStatusReport(gateway, "4242", "DELIVRD", "13900001111", "2612081200", "2612081201"))
      << log.All();
  DeliverRecord mo;
  mo.mobile = "13900001111";
  mo.msg = u"reply";
  mo.spNumber = "10661234";
  mo.msgId = "77";
  EXPECT_TRUE(AddDeliver(gateway, mo)) << log.All();

  Recordset outcome =
      app.Execute("SELECT FinalState FROM SubmitOutcome WHERE SubmitID = " + std::to_string(id));
  ASSERT_EQ(outcome.RecordCount(), 1);
  outcome.MoveFirst();
  EXPECT_EQ(outcome.GetText("FinalState"), "delivered");
}

TEST(GuideFirstRun, MariaDbStepsGiveTheServiceAndTheApplicationWhatTheyNeed) {
  std::string error;
  test::MariaDbServer* server = testing::SharedMariaDb(&error);
  ASSERT_NE(server, nullptr) << error;
  const Section section = ReadSection("### 1. The database: MariaDB");
  ASSERT_GE(section.steps.size(), 4u) << "the guide's MariaDB steps were not found";
  ASSERT_EQ(section.dbType, "mysql");
  // Left by an earlier test of this program? The server lives as long as it.
  ASSERT_TRUE(
      server->Execute("DROP DATABASE IF EXISTS brivane; DROP USER IF EXISTS "
                      "'brivane'@'localhost', 'app'@'localhost';",
                      &error))
      << error;
  for (const auto& step : section.steps) {
    std::string output;
    const std::string sql =
        step.file.empty() ? step.sql : "source " + test::SourcePath("schema/" + step.file);
    ASSERT_TRUE(server->Execute(sql, &output, step.database)) << sql << "\n" << output;
  }
  // The server resolves no names, so the guide's users at localhost are
  // reached through the socket, as the guide's data source does.
  DbSettings settings;
  settings.dataSource =
      Replace(section.dataSource, "/run/mysqld/mysqld.sock", server->SocketPath());
  ServiceAndApplicationWork(section, settings);
}

TEST(GuideFirstRun, PostgreSqlStepsGiveTheServiceAndTheApplicationWhatTheyNeed) {
  std::string error;
  test::PostgresServer* server = testing::SharedPostgres(&error);
  ASSERT_NE(server, nullptr) << error;
  const Section section = ReadSection("### 1. The database: PostgreSQL");
  ASSERT_GE(section.steps.size(), 4u) << "the guide's PostgreSQL steps were not found";
  ASSERT_EQ(section.dbType, "postgresql");
  ASSERT_TRUE(server->Execute("DROP DATABASE IF EXISTS brivane", &error)) << error;
  ASSERT_TRUE(server->Execute("DROP ROLE IF EXISTS brivane, app", &error)) << error;
  for (const auto& step : section.steps) {
    const std::string database = step.database.empty() ? "postgres" : step.database;
    std::string output;
    if (!step.file.empty()) {
      const std::string sql = "\\i " + test::SourcePath("schema/" + step.file);
      ASSERT_TRUE(server->Execute(sql, &output, database)) << sql << "\n" << output;
      continue;
    }
    // psql reading a heredoc runs each statement on its own (CREATE
    // DATABASE cannot run inside the transaction of one -c).
    std::istringstream statements(step.sql);
    std::string statement;
    while (std::getline(statements, statement, ';')) {
      if (statement.find_first_not_of(" \n") == std::string::npos) continue;
      ASSERT_TRUE(server->Execute(statement, &output, database)) << statement << "\n" << output;
    }
  }
  DbSettings settings;
  settings.dataSource =
      Replace(section.dataSource, "Port=5432", "Port=" + std::to_string(server->Port()));
  ServiceAndApplicationWork(section, settings);
}

}  // namespace
}  // namespace brivane::db
