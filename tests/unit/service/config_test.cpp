#include "service/config.h"

#include <gtest/gtest.h>

#include "support/process.h"

namespace brivane::service {
namespace {

struct Store {
  test::TempDir dir;
  std::string ini = dir.File("brivane.ini");
  ServiceConfig Read(const std::string& text, int systemLogLevel = kInitialLogLevel,
                     const std::string& previousQuery = "") {
    if (!text.empty()) test::WriteFile(ini, "[Parameters]\n" + text);
    base::ConfigSection section(ini, kSectionName, dir.File("brivane.key"));
    section.Load();
    return ReadServiceConfig(section, systemLogLevel, previousQuery);
  }
};

TEST(ServiceConfig, EmptyStoreGivesTheDefaults) {
  Store s;
  ServiceConfig c = s.Read("", 2);
  EXPECT_EQ(c.logLevel, 2);  // the system log's threshold at that moment
  EXPECT_EQ(c.adminUserName, "admin");
  EXPECT_EQ(c.adminPassword, "quillark");
  EXPECT_TRUE(c.adminPasswordIsDefault);
  EXPECT_EQ(c.httpPort, 8900);
  EXPECT_EQ(c.certificate, "server.pem");
  EXPECT_EQ(c.dataSource, "");
  EXPECT_EQ(c.dbUser, "user_cmpp");
  EXPECT_EQ(c.dbPassword, "");
  EXPECT_EQ(c.dbType, "mssql");
  EXPECT_EQ(c.spUpdateSubmit, "uspUpdateSubmitState");
  EXPECT_EQ(c.spDelSubmit, "uspMoveSubmitToLog");
  EXPECT_EQ(c.spAddDeliver, "uspAddDeliver");
  EXPECT_EQ(c.spAddStatusReport, "uspAddStatusReport");
  EXPECT_EQ(c.connectionString, "DSN=;Uid=user_cmpp;Pwd=;");
  EXPECT_EQ(c.mtSpeedLimit, 20);
  EXPECT_TRUE(c.dbTypeSupported);
  EXPECT_EQ(c.submitQuery, "SELECT TOP 20 * FROM Submit WHERE SubmitState = 0");
  EXPECT_EQ(c.smgAddress, "0.0.0.0");
  EXPECT_FALSE(c.asiaInfoSMG);
  EXPECT_EQ(c.smgVersion, 48);
  EXPECT_EQ(c.terminalIdLength, 32);
  EXPECT_EQ(c.moPort, 7890);
  EXPECT_EQ(c.mtPort, 7890);
  EXPECT_EQ(c.mtAndMOPort, 7890);
  EXPECT_EQ(c.moConnections, 0);
  EXPECT_EQ(c.mtConnections, 0);
  EXPECT_EQ(c.mtAndMOConnections, 1);
  EXPECT_EQ(c.workThreads, 500);
  EXPECT_EQ(c.moHTTPQuestTimeout, std::chrono::milliseconds(10000));
  EXPECT_FALSE(c.enableHTTPClient);
  EXPECT_TRUE(c.passwordErrors.empty());
  // Every field of the form shows a value, passwords none.
  for (const auto& field : kFormFields) {
    if (field.kind == FieldKind::kPassword)
      EXPECT_EQ(c.formShown.count(field.key), 0u) << field.key;
    else
      EXPECT_EQ(c.formShown.count(field.key), 1u) << field.key;
  }
  EXPECT_EQ(c.formShown["SMGVersion"], "48");
  EXPECT_EQ(c.formShown["HTTPPort"], "8900");
}

TEST(ServiceConfig, SmgVersionAbsentIs48HereWhileAReaderWithDefault32Sees32) {
  Store s;
  ServiceConfig c = s.Read("SPID=1065\n");
  EXPECT_EQ(c.smgVersion, 48);
  EXPECT_EQ(c.terminalIdLength, 32);
  base::ConfigSection section(s.ini, kSectionName, s.dir.File("brivane.key"));
  section.Load();
  // A reader with a default of its own gets that one: every reader of the
  // key must use 48 (checked over the sources by ConfigKeys tests).
  EXPECT_EQ(section.GetInteger("SMGVersion", 32), 32);
}

TEST(ServiceConfig, TerminalIdLengthFollowsSmgVersion) {
  Store s;
  EXPECT_EQ(s.Read("SMGVersion=32\n").terminalIdLength, 21);
  EXPECT_EQ(s.Read("SMGVersion=33\n").terminalIdLength, 32);
  EXPECT_EQ(s.Read("SMGVersion=0\n").terminalIdLength, 21);
  static_assert(TerminalIdLength(32) == 21 && TerminalIdLength(48) == 32);
}

TEST(ServiceConfig, SubmitQueryByDbType) {
  Store s;
  EXPECT_EQ(s.Read("DBType=mysql\nMTSpeedLimit=5\n").submitQuery,
            "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 5");
  EXPECT_EQ(s.Read("DBType=postgresql\n").submitQuery,
            "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20");
  EXPECT_EQ(s.Read("DBType=sqlite\n").submitQuery,
            "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20");
  EXPECT_EQ(s.Read("DBType=oracle\nMTSpeedLimit=7\n").submitQuery,
            "SELECT * FROM \"Submit\" WHERE \"SubmitState\" = 0 AND ROWNUM < 7");
}

// The chunk form must select the same rows as the polling query, in
// SubmitID order, with the limit applied after the ordering (Oracle numbers
// rows before it sorts them).
TEST(ServiceConfig, SubmitChunkQueryByDbType) {
  struct Case {
    const char* dbType;
    std::optional<std::int64_t> after;
    const char* query;
  };
  const Case cases[] = {
      {"sqlite", std::nullopt,
       "SELECT * FROM Submit WHERE SubmitState = 0 ORDER BY SubmitID LIMIT 5"},
      {"MySQL", 4294967296,
       "SELECT * FROM Submit WHERE SubmitState = 0 AND SubmitID > 4294967296 ORDER BY SubmitID "
       "LIMIT 5"},
      {"mssql", 9,
       "SELECT TOP 5 * FROM Submit WHERE SubmitState = 0 AND SubmitID > 9 ORDER BY "
       "SubmitID"},
      {"oracle", 9,
       "SELECT * FROM (SELECT * FROM \"Submit\" WHERE \"SubmitState\" = 0 AND \"SubmitID\" > 9 "
       "ORDER BY \"SubmitID\") WHERE ROWNUM <= 5"},
  };
  for (const Case& c : cases) {
    std::string query;
    EXPECT_TRUE(BuildSubmitChunkQuery(c.dbType, c.after, 5, &query)) << c.dbType;
    EXPECT_EQ(query, c.query) << c.dbType;
  }
  std::string untouched = "kept";
  EXPECT_FALSE(BuildSubmitChunkQuery("MySQLL", std::nullopt, 5, &untouched));
  EXPECT_EQ(untouched, "kept");

  // The rows a pass reads stay what the polling query of the type takes.
  EXPECT_EQ(SubmitRowsPerPass("mysql", 20), 20);
  EXPECT_EQ(SubmitRowsPerPass("Oracle", 20), 19);
  EXPECT_EQ(SubmitRowsPerPass("oracle", 0), 0);
}

TEST(ServiceConfig, SubmitQueryKeyReplacesTheBuiltQuery) {
  Store s;
  ServiceConfig claim = s.Read("DBType=mysql\nSubmitQuery=uspClaimSubmit\n");
  EXPECT_EQ(claim.submitQuery, "uspClaimSubmit");
  EXPECT_EQ(claim.customSubmitQuery, "uspClaimSubmit");
  EXPECT_TRUE(claim.dbTypeSupported);
  EXPECT_EQ(s.Read("DBType=sqlite\nSubmitQuery=SELECT * FROM Submit WHERE SubmitState = 0 AND "
                   "SubmitID % 2 = 1 LIMIT 20\n")
                .submitQuery,
            "SELECT * FROM Submit WHERE SubmitState = 0 AND SubmitID % 2 = 1 LIMIT 20");
  // Empty is the same as absent; an unknown DBType is still reported.
  EXPECT_EQ(s.Read("DBType=mysql\nSubmitQuery=\n").submitQuery,
            "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20");
  ServiceConfig unknown = s.Read("DBType=MySQLL\nSubmitQuery=uspClaimSubmit\n");
  EXPECT_FALSE(unknown.dbTypeSupported);
  EXPECT_EQ(unknown.submitQuery, "uspClaimSubmit");
}

// DBType in capitals used to be unknown (and every pass failed); it is now
// compared without regard to case and passed on in lower case.
TEST(ServiceConfig, DbTypeIgnoresCaseAndAnUnknownOneKeepsThePreviousQuery) {
  Store s;
  ServiceConfig capitals = s.Read("DBType=MySQL\nMTSpeedLimit=5\n");
  EXPECT_TRUE(capitals.dbTypeSupported);
  EXPECT_EQ(capitals.dbType, "mysql");
  EXPECT_EQ(DatabaseSettings(capitals).dbType, "mysql");
  EXPECT_EQ(capitals.submitQuery, "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 5");
  ServiceConfig first = s.Read("DBType=MSSQLX\n");
  EXPECT_FALSE(first.dbTypeSupported);
  EXPECT_EQ(first.submitQuery, "");  // empty at the first start
  ServiceConfig later =
      s.Read("DBType=MSSQLX\n", 3, "SELECT TOP 9 * FROM Submit WHERE SubmitState = 0");
  EXPECT_FALSE(later.dbTypeSupported);
  EXPECT_EQ(later.submitQuery, "SELECT TOP 9 * FROM Submit WHERE SubmitState = 0");
}

// HTTPPort=70000 used to listen on 4464 (the value cut to 16 bits). Such a
// value refuses the first start; a restart keeps the default.
TEST(ServiceConfig, HttpPortOutsideThePortRangeIsTheDefaultNotCut) {
  Store s;
  EXPECT_EQ(s.Read("HTTPPort=70000\n").httpPort, 8900);
  EXPECT_EQ(s.Read("HTTPPort=70000\n").formShown["HTTPPort"], "8900");
  EXPECT_EQ(s.Read("HTTPPort=65536\n").httpPort, 8900);
  EXPECT_EQ(s.Read("HTTPPort=0\n").httpPort, 8900);
  EXPECT_EQ(s.Read("HTTPPort=-1\n").httpPort, 8900);
  EXPECT_EQ(s.Read("HTTPPort=65535\n").httpPort, 65535);
  EXPECT_EQ(s.Read("HTTPPort=1\n").httpPort, 1);
  // Likewise an MTSpeedLimit that would never send.
  EXPECT_EQ(s.Read("MTSpeedLimit=0\n").mtSpeedLimit, 20);
  EXPECT_EQ(s.Read("MTSpeedLimit=-3\n").mtSpeedLimit, 20);
  EXPECT_EQ(s.Read("MTSpeedLimit=1\n").mtSpeedLimit, 1);
}

TEST(ServiceConfig, StoredValuesOutsideFormBoundsAreUsedUnchanged) {
  Store s;
  ServiceConfig c = s.Read("MTAndMOConnections=300\nMOHTTPQuestTimeout=500\nLogLevel=0\n");
  EXPECT_EQ(c.mtAndMOConnections, 300);
  EXPECT_EQ(c.moHTTPQuestTimeout, std::chrono::milliseconds(500));
  EXPECT_EQ(c.logLevel, 0);
}

TEST(ServiceConfig, PasswordsAreDecipheredAndFailuresReported) {
  Store s;
  base::ConfigSection section(s.ini, kSectionName, s.dir.File("brivane.key"));
  section.Load();
  ASSERT_TRUE(section.SetPassword("DBPassword", "db;pw"));
  ASSERT_TRUE(section.SetString("SPPassword", "enc:AAAA"));
  ASSERT_TRUE(section.SetString("AdminPassword", "typed"));
  ASSERT_TRUE(section.Save());
  ServiceConfig c = s.Read("");
  EXPECT_EQ(c.dbPassword, "db;pw");
  EXPECT_EQ(c.adminPassword, "typed");
  EXPECT_FALSE(c.adminPasswordIsDefault);
  EXPECT_EQ(c.spPassword, "");
  ASSERT_EQ(c.passwordErrors.size(), 1u);
  EXPECT_EQ(c.passwordErrors[0].rfind("SPPassword:", 0), 0u);
  // A password holding ';' cannot add attributes to the connection string.
  EXPECT_EQ(c.connectionString, "DSN=;Uid=user_cmpp;Pwd={db;pw};");
}

TEST(RestartMessage, FirstSevenCharactersWithoutCase) {
  EXPECT_TRUE(IsRestartMessage("Restarted"));
  EXPECT_TRUE(IsRestartMessage("Restart\tInitialisation"));
  EXPECT_TRUE(IsRestartMessage("RESTART"));
  EXPECT_TRUE(IsRestartMessage("restart anything"));
  EXPECT_FALSE(IsRestartMessage("Started"));
  EXPECT_FALSE(IsRestartMessage("Restar"));
  EXPECT_FALSE(IsRestartMessage(" Restart"));
  EXPECT_FALSE(IsRestartMessage(""));
}

}  // namespace
}  // namespace brivane::service
