#include "db_fixture.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "base/log.h"
#include "base/status_block.h"

namespace brivane::db::testing {
namespace {

std::mutex gServerMutex;
std::unique_ptr<test::MariaDbServer> gServer;
std::string gServerError;
bool gServerTried = false;
std::unique_ptr<test::PostgresServer> gPostgres;
std::string gPostgresError;
bool gPostgresTried = false;
std::atomic<int> gDatabaseCounter{0};

std::string StatusBlockNameForTest() { return "/brivane-dbtest-" + std::to_string(getpid()); }

// Maps a status block of the program's own, and stops the shared server.
class DbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv(base::kStatusBlockEnv, StatusBlockNameForTest().c_str(), 1);
    ASSERT_EQ(base::StatusBlock().Create(base::StatusBlockName()), 0);
  }
  void TearDown() override {
    base::StatusBlock().Close();
    shm_unlink(StatusBlockNameForTest().c_str());
    std::lock_guard lock(gServerMutex);
    gServer.reset();
    gPostgres.reset();
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new DbEnvironment);

}  // namespace

std::string BackendName(Backend backend) {
  switch (backend) {
    case Backend::kSqlite:
      return "Sqlite";
    case Backend::kMariaDb:
      return "MariaDb";
    case Backend::kPostgreSql:
      return "PostgreSql";
  }
  return "?";
}

test::MariaDbServer* SharedMariaDb(std::string* error) {
  std::lock_guard lock(gServerMutex);
  if (!gServerTried) {
    gServerTried = true;
    auto server = std::make_unique<test::MariaDbServer>();
    if (server->Start(&gServerError)) {
      gServer = std::move(server);
    } else {
      gServerError = "cannot start a MariaDB server for the tests: " + gServerError;
    }
  }
  if (!gServer && error) *error = gServerError;
  return gServer.get();
}

test::PostgresServer* SharedPostgres(std::string* error) {
  std::lock_guard lock(gServerMutex);
  if (!gPostgresTried) {
    gPostgresTried = true;
    auto server = std::make_unique<test::PostgresServer>();
    if (server->Start(&gPostgresError)) {
      gPostgres = std::move(server);
    } else {
      gPostgresError = "cannot start a PostgreSQL server for the tests: " + gPostgresError;
    }
  }
  if (!gPostgres && error) *error = gPostgresError;
  return gPostgres.get();
}

TestDatabase::TestDatabase() = default;

TestDatabase::~TestDatabase() {
  own_.Close();
  if (server_ != nullptr && !name_.empty()) {
    server_->Execute("DROP DATABASE IF EXISTS `" + name_ + "`");
  }
  if (postgres_ != nullptr && !name_.empty()) {
    postgres_->Execute("DROP DATABASE IF EXISTS \"" + name_ + "\" WITH (FORCE)");
  }
}

bool TestDatabase::Create(Backend backend, std::string* error) {
  backend_ = backend;
  if (backend == Backend::kSqlite) {
    if (test::OdbcDriverLibrary("libsqlite3odbc.so").empty()) {
      *error = "the SQLite3 ODBC driver libsqlite3odbc.so is missing (package libsqliteodbc)";
      return false;
    }
    dir_ = std::make_unique<test::TempDir>("brivane-sqlite");
    sqlite_ = std::make_unique<test::SqliteDatabase>(dir_->File("brivane.db"));
    name_ = sqlite_->Path();
    return sqlite_->Create(error);
  }
  name_ = "brivane_t" + std::to_string(++gDatabaseCounter);
  if (backend == Backend::kPostgreSql) {
    postgres_ = SharedPostgres(error);
    return postgres_ != nullptr && postgres_->CreateDatabase(name_, error);
  }
  server_ = SharedMariaDb(error);
  return server_ != nullptr && server_->CreateDatabase(name_, error);
}

DbSettings TestDatabase::Settings() const {
  DbSettings s;
  if (backend_ == Backend::kSqlite) {
    s.dataSource = sqlite_->OdbcDataSource();
    s.dbUser = "";
    s.dbPassword = "";
    s.dbType = "sqlite";
  } else if (backend_ == Backend::kPostgreSql) {
    s.dataSource = postgres_->OdbcDataSource(name_);
    s.dbUser = "postgres";
    s.dbPassword = "";
    s.dbType = "postgresql";
  } else {
    s.dataSource = server_->OdbcDataSource(name_);
    s.dbUser = "root";
    s.dbPassword = "";
    s.dbType = "mysql";
  }
  return s;
}

std::string TestDatabase::ConnectionString() const { return BuildConnectionString(Settings()); }

Recordset TestDatabase::Query(const std::string& sql) {
  if (!own_.IsOpen()) own_.Open(ConnectionString());
  return own_.Execute(sql);
}

bool TestDatabase::CreateUser(const std::string& user, const std::string& password,
                              const std::string& options, DbSettings* settings,
                              std::string* error) {
  if (backend_ != Backend::kMariaDb) {
    *error = "users of their own are made on MariaDB only";
    return false;
  }
  const std::string who = "'" + user + "'@'127.0.0.1'";
  if (!server_->Execute("DROP USER IF EXISTS " + who + ";CREATE USER " + who + " IDENTIFIED BY '" +
                            password + "' " + options + ";GRANT ALL ON `" + name_ + "`.* TO " +
                            who + ";",
                        error))
    return false;
  *settings = Settings();
  settings->dbUser = user;
  settings->dbPassword = password;
  return true;
}

bool TestDatabase::LoadClaimProcedures(std::string* error) {
  std::string output;
  bool ok = false;
  if (backend_ == Backend::kMariaDb) {
    ok = server_->Execute("source " + test::SourcePath("schema/mysql-claim.sql"), &output, name_);
  } else if (backend_ == Backend::kPostgreSql) {
    ok = postgres_->Execute("\\i " + test::SourcePath("schema/postgresql-claim.sql"), &output,
                            name_);
  } else {
    output = "SQLite has no claiming procedures";
  }
  if (!ok) *error = output;
  return ok;
}

LogCapture::LogCapture(int level) : dir_("brivane-log"), path_(dir_.File("brivane.log")) {
  base::CloseLog();
  base::OpenLog(path_, level);
}

LogCapture::~LogCapture() { base::CloseLog(); }

std::string LogCapture::All() const {
  base::FlushLog();
  return test::ReadFile(path_);
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
  std::vector<Line> lines;
  std::istringstream in(All());
  std::string raw;
  while (std::getline(in, raw)) {
    // "yyyy/MM/dd hh:mm:ss.uuu\t<message>"
    std::size_t tab = raw.find('\t');
    if (tab == std::string::npos || tab < 23) continue;
    int h = std::stoi(raw.substr(11, 2)), m = std::stoi(raw.substr(14, 2)),
        s = std::stoi(raw.substr(17, 2)), ms = std::stoi(raw.substr(20, 3));
    lines.push_back(
        {std::chrono::milliseconds(((h * 60 + m) * 60 + s) * 1000 + ms), raw.substr(tab + 1)});
  }
  return lines;
}

std::vector<std::string> LogCapture::Texts() const {
  std::vector<std::string> texts;
  for (auto& line : Lines()) texts.push_back(line.text);
  return texts;
}

int LogCapture::Count(const std::string& prefix) const {
  int n = 0;
  for (const auto& text : Texts()) n += text.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

}  // namespace brivane::db::testing
