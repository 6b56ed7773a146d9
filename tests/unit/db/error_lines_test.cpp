#include <gtest/gtest.h>

#include "db/connections.h"

namespace brivane::db {
namespace {

TEST(ComErrorMeaning, KnownSqlStatesGiveTheirStandardText) {
  EXPECT_EQ(ComErrorMeaning(-1, "42S02", "[ma]Table 'b.x' doesn't exist"),
            "42S02: Base table or view not found");
  EXPECT_EQ(ComErrorMeaning(-1, "IM002", "whatever"),
            "IM002: Data source name not found and no default driver specified");
}

TEST(ComErrorMeaning, UnlistedSqlStatesFallBackToTheirClass) {
  EXPECT_EQ(ComErrorMeaning(-1, "08S99", ""), "08S99: Connection exception");
  EXPECT_EQ(ComErrorMeaning(-1, "HY999", ""), "HY999: General error");
}

TEST(ComErrorMeaning, UnknownClassUsesTheDriversFirstLine) {
  EXPECT_EQ(ComErrorMeaning(-1, "S1000", "first line\r\nsecond"), "S1000: first line");
  EXPECT_EQ(ComErrorMeaning(-1, "", "only a message\n"), "only a message");
}

TEST(ComErrorMeaning, CodesWithoutAnyTextUseTheTwoFallbackFormats) {
  EXPECT_EQ(ComErrorMeaning(static_cast<std::int32_t>(0x80040201u), "", ""), "IDispatch error #1");
  EXPECT_EQ(ComErrorMeaning(static_cast<std::int32_t>(0x8004FFFFu), "", ""),
            "IDispatch error #65023");
  EXPECT_EQ(ComErrorMeaning(static_cast<std::int32_t>(0x80040200u), "", ""),
            "Unknown error 0x80040200");
  EXPECT_EQ(ComErrorMeaning(static_cast<std::int32_t>(0x80050000u), "", ""),
            "Unknown error 0x80050000");
  EXPECT_EQ(ComErrorMeaning(-1, "", ""), "Unknown error 0xFFFFFFFF");
  EXPECT_EQ(ComErrorMeaning(-2, "", ""), "Unknown error 0xFFFFFFFE");
}

TEST(ComErrorLine, CarriesCodeMeaningSourceAndDescription) {
  DbError error;
  error.code = -1;
  error.sqlState = "42000";
  error.source = "SQLPrepare";
  error.description = "PROCEDURE b.nope does not exist";
  EXPECT_EQ(ComErrorLine(error),
            "数据库异常：CODE=-1|MEANING=42000: Syntax error or access violation"
            "|SOURCE=SQLPrepare|Description=PROCEDURE b.nope does not exist");
}

TEST(ComErrorLine, DriverTextSpanningLinesStaysOnOneLogLine) {
  DbError error;
  error.sqlState = "42883";
  error.source = "SQLExecute";
  error.description = "ERROR: function f() does not exist;\nError while preparing parameters\r\n";
  std::string line = ComErrorLine(error);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_NE(line.find("does not exist; Error while preparing parameters"), std::string::npos)
      << line;
}

TEST(LinkName, NamesTheFourConnections) {
  EXPECT_STREQ(LinkName(DbLink::kMain), "DBConnection");
  EXPECT_STREQ(LinkName(DbLink::kMT), "DBConnectionMT");
  EXPECT_STREQ(LinkName(DbLink::kMO), "DBConnectionMO");
  EXPECT_STREQ(LinkName(DbLink::kSR), "DBConnectionSR");
}

}  // namespace
}  // namespace brivane::db
