#pragma once
// Shared pieces of the gateway's integration tests: the program's one
// MariaDB server and one PostgreSQL server (each started on first use,
// stopped at the end), a fresh
// database with the schema loaded for each test on either backend, a log
// file per test, and the process status block under a private name.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "db/odbc.h"
#include "db/settings.h"
#include "support/mariadb_server.h"
#include "support/odbc_support.h"
#include "support/postgres_server.h"
#include "support/process.h"

namespace brivane::db::testing {

enum class Backend { kSqlite, kMariaDb, kPostgreSql };
std::string BackendName(Backend backend);

// Every backend, for INSTANTIATE_TEST_SUITE_P, with the backend's name as
// the test's suffix (BackendParamName).
inline auto AllBackends() {
  return ::testing::Values(Backend::kSqlite, Backend::kMariaDb, Backend::kPostgreSql);
}
struct BackendParamName {
  std::string operator()(const ::testing::TestParamInfo<Backend>& info) const {
    return BackendName(info.param);
  }
};

// The program's MariaDB server, started on first call. Null with the reason
// in *error when it cannot start; callers fail their test with it.
test::MariaDbServer* SharedMariaDb(std::string* error);
test::PostgresServer* SharedPostgres(std::string* error);

// A database of its own for one test, with the schema of its backend.
class TestDatabase {
 public:
  TestDatabase();
  ~TestDatabase();
  bool Create(Backend backend, std::string* error);

  Backend GetBackend() const { return backend_; }
  // Settings for a gateway on this database (DSN-less DataSource).
  DbSettings Settings() const;
  // A complete connection string for connections of the test's own.
  std::string ConnectionString() const;
  // Runs a statement or query on a connection of the test's own (opened on
  // first use), so the gateway's connections are not disturbed.
  Recordset Query(const std::string& sql);
  // Loads the backend's claiming procedures (schema/<backend>-claim.sql);
  // MariaDB and PostgreSQL only.
  bool LoadClaimProcedures(std::string* error);
  // Creates a MariaDB user 'user'@'127.0.0.1' anew, with every right on
  // this database and nothing else; `options` follows the password (as
  // "WITH MAX_USER_CONNECTIONS 1"). *settings: Settings() as that user.
  bool CreateUser(const std::string& user, const std::string& password, const std::string& options,
                  DbSettings* settings, std::string* error);
  const std::string& Name() const { return name_; }

 private:
  Backend backend_ = Backend::kSqlite;
  std::unique_ptr<test::TempDir> dir_;
  std::unique_ptr<test::SqliteDatabase> sqlite_;
  test::MariaDbServer* server_ = nullptr;
  test::PostgresServer* postgres_ = nullptr;
  std::string name_;
  Connection own_;
};

// A log file of its own for one test, at the given level.
class LogCapture {
 public:
  explicit LogCapture(int level = 4);
  ~LogCapture();
  struct Line {
    std::chrono::milliseconds time;  // since midnight, from the line's stamp
    std::string text;                // the message after the tab
  };
  std::vector<Line> Lines() const;
  std::vector<std::string> Texts() const;
  // How many lines start with the prefix.
  int Count(const std::string& prefix) const;
  std::string All() const;

 private:
  test::TempDir dir_;
  std::string path_;
};

// The sqlstate f raised as a DbException, or "" when it raised nothing.
template <typename F>
std::string RaisedSqlState(F&& f) {
  try {
    f();
  } catch (const DbException& e) {
    return e.Error().sqlState;
  }
  return "";
}

// A test on each backend with a fresh database and a connection of its own
// on it, opened with the backend's procedure syntax.
class OwnConnectionTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
    connection_.SetProcedureSyntax(SyntaxForDbType(db_.Settings().dbType));
    connection_.Open(db_.ConnectionString());
  }

  TestDatabase db_;
  Connection connection_;
};

}  // namespace brivane::db::testing
