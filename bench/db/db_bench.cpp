// Procedure calls per second on one connection: the gateway's calls
// (AddStatusReport with five texts, UpdateSubmit with three integers)
// beside a raw ODBC loop making the same calls with the same statement
// text in the same run. The raw loop binds its UTF-16 buffers once and
// re-executes a statement prepared once, the best a hand-written caller
// can do; a second raw loop prepares anew for every call, to show what the
// gateway's per-connection statement cache saves.
//
//   bench_db [--calls N] [--rounds R] [--sqlite] [--mariadb]
//
// Prints calls/s for each and the ratio gateway / raw (goal: >= 0.90).

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "db/connections.h"
#include "db/procedures.h"
#include "support/mariadb_server.h"
#include "support/odbc_support.h"
#include "support/process.h"

namespace {

using namespace brivane;
using Clock = std::chrono::steady_clock;

// A minimal ODBC caller: one connection, one statement.
class RawCaller {
 public:
  RawCaller(const std::string& connectionString, const std::string& sql, bool prepareOnce)
      : sql_(base::Utf8ToUtf16(sql)), prepareOnce_(prepareOnce) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    std::u16string cs = base::Utf8ToUtf16(connectionString);
    ok_ = SQL_SUCCEEDED(SQLDriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()),
                                          static_cast<SQLSMALLINT>(cs.size()), nullptr, 0, nullptr,
                                          SQL_DRIVER_NOPROMPT));
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    if (prepareOnce_) Prepare();
  }
  ~RawCaller() {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  void BindText(std::u16string value) {
    texts_.push_back(std::move(value));
    kinds_.push_back(true);
  }
  void BindInt(SQLINTEGER value) {
    ints_.push_back(value);
    kinds_.push_back(false);
  }
  bool Call() {
    if (!prepareOnce_) Prepare();
    if (!bound_) Bind();
    SQLRETURN rc = SQLExecute(stmt_);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return false;
    while (SQL_SUCCEEDED(SQLMoreResults(stmt_))) {
    }
    SQLFreeStmt(stmt_, SQL_CLOSE);
    return true;
  }
  bool Ok() const { return ok_; }

 private:
  void Prepare() {
    SQLPrepareW(stmt_, reinterpret_cast<SQLWCHAR*>(sql_.data()),
                static_cast<SQLINTEGER>(sql_.size()));
  }
  void Bind() {
    texts_.reserve(texts_.size());
    indicators_.assign(kinds_.size(), 0);
    std::size_t t = 0, i = 0;
    for (std::size_t n = 0; n < kinds_.size(); ++n) {
      auto position = static_cast<SQLUSMALLINT>(n + 1);
      if (kinds_[n]) {
        std::u16string& s = texts_[t++];
        indicators_[n] = static_cast<SQLLEN>(s.size() * 2);
        SQLBindParameter(stmt_, position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                         std::max<SQLULEN>(s.size(), 1), 0, s.data(), indicators_[n],
                         &indicators_[n]);
      } else {
        SQLBindParameter(stmt_, position, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                         &ints_[i++], 0, &indicators_[n]);
      }
    }
    // Re-prepared statements keep their bindings in ODBC, so bind once.
    bound_ = true;
  }

  std::u16string sql_;
  bool prepareOnce_;
  bool ok_ = false;
  bool bound_ = false;
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  SQLHSTMT stmt_ = nullptr;
  std::vector<std::u16string> texts_;
  std::vector<SQLINTEGER> ints_;
  std::vector<bool> kinds_;
  std::vector<SQLLEN> indicators_;
};

double Rate(int calls, const std::function<bool()>& call, int* failures) {
  auto start = Clock::now();
  for (int i = 0; i < calls; ++i) *failures += call() ? 0 : 1;
  std::chrono::duration<double> elapsed = Clock::now() - start;
  return calls / elapsed.count();
}

struct Case {
  const char* name;
  std::string procedure;
  std::function<void(RawCaller&)> bind;
  std::function<bool(db::DbGateway&)> layer;
};

void RunBackend(const char* backend, const db::DbSettings& settings, int calls, int rounds) {
  db::DbGateway gateway(settings);
  gateway.OpenAllConnections();
  if (!gateway.DatabaseConnected()) {
    std::printf("%s: cannot open the database\n", backend);
    return;
  }
  const auto syntax = db::SyntaxForDbType(settings.dbType);
  const std::string connectionString = db::BuildConnectionString(settings);

  std::vector<Case> cases = {
      {"AddStatusReport(5 texts)", settings.spAddStatusReport,
       [](RawCaller& raw) {
         raw.BindText(u"5764607523034234881");
         raw.BindText(u"DELIVRD");
         raw.BindText(u"13900001111");
         raw.BindText(u"2501011200");
         raw.BindText(u"2501011201");
       },
       [](db::DbGateway& g) {
         return db::AddStatusReport(g, "5764607523034234881", "DELIVRD", "13900001111",
                                    "2501011200", "2501011201");
       }},
      {"UpdateSubmit(3 integers)", settings.spUpdateSubmit,
       [](RawCaller& raw) {
         raw.BindInt(123456);
         raw.BindInt(8);
         raw.BindInt(2);
       },
       [](db::DbGateway& g) { return db::UpdateSubmit(g, 123456, 8, 2); }},
  };

  for (const Case& c : cases) {
    int parameters = c.name[0] == 'A' ? 5 : 3;
    const std::string sql = db::ProcedureCallText(c.procedure, parameters, syntax);
    RawCaller raw(connectionString, sql, true);
    RawCaller rawUnprepared(connectionString, sql, false);
    c.bind(raw);
    c.bind(rawUnprepared);
    if (!raw.Ok() || !rawUnprepared.Ok()) {
      std::printf("%s: raw connection failed\n", backend);
      return;
    }
    int failures = 0;
    // Warm up both paths (driver caches, server plan caches).
    Rate(
        calls / 10 + 1, [&] { return raw.Call(); }, &failures);
    Rate(
        calls / 10 + 1, [&] { return c.layer(gateway); }, &failures);
    std::vector<double> rawRates, layerRates, unpreparedRates;
    // Alternate which runs first: the tables grow as the run goes on.
    for (int r = 0; r < rounds; ++r) {
      if (r % 2 == 0)
        rawRates.push_back(Rate(
            calls, [&] { return raw.Call(); }, &failures));
      layerRates.push_back(Rate(
          calls, [&] { return c.layer(gateway); }, &failures));
      if (r % 2 == 1)
        rawRates.push_back(Rate(
            calls, [&] { return raw.Call(); }, &failures));
      unpreparedRates.push_back(Rate(
          calls / 4 + 1, [&] { return rawUnprepared.Call(); }, &failures));
    }
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    double rawRate = median(rawRates), layerRate = median(layerRates),
           unpreparedRate = median(unpreparedRates);
    std::printf(
        "%-8s %-26s raw %9.0f calls/s | gateway %9.0f calls/s | ratio %.3f | "
        "raw preparing each call %9.0f calls/s%s\n",
        backend, c.name, rawRate, layerRate, layerRate / rawRate, unpreparedRate,
        failures ? "  (FAILED CALLS)" : "");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 0, rounds = 5;
  bool sqlite = false, mariadb = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--calls") && i + 1 < argc)
      calls = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--sqlite"))
      sqlite = true;
    else if (!std::strcmp(argv[i], "--mariadb"))
      mariadb = true;
  }
  if (!sqlite && !mariadb) sqlite = mariadb = true;
  // Entry lines are level 3; the figures are for a service logging at 2.
  base::SetLogLevel(2);

  if (sqlite) {
    test::TempDir dir("brivane-bench");
    test::SqliteDatabase database(dir.File("brivane.db"));
    std::string error;
    if (!database.Create(&error)) {
      std::printf("SQLite: %s\n", error.c_str());
      return 1;
    }
    db::DbSettings settings;
    settings.dataSource = database.OdbcDataSource();
    settings.dbType = "sqlite";
    RunBackend("SQLite", settings, calls ? calls : 20000, rounds);
  }
  if (mariadb) {
    test::MariaDbServer server;
    std::string error;
    if (!server.Start(&error) || !server.CreateDatabase("brivane_bench", &error)) {
      std::printf("MariaDB: %s\n", error.c_str());
      return 1;
    }
    db::DbSettings settings;
    settings.dataSource = server.OdbcDataSource("brivane_bench");
    settings.dbUser = "root";
    settings.dbType = "mysql";
    RunBackend("MariaDB", settings, calls ? calls : 4000, rounds);
  }
  return 0;
}
