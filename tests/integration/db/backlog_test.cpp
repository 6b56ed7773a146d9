// The Submit backlog query on each backend: the rows waiting and the age of
// the oldest by the database's own clock, rows already handed over left out.

#include "db/backlog.h"

#include <gtest/gtest.h>

#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::TestDatabase;

class Backlog : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
  }
  // The database's "now minus seconds" in its own dialect.
  std::string SecondsAgo(int seconds) const {
    switch (GetParam()) {
      case Backend::kSqlite:
        return "datetime('now', 'localtime', '-" + std::to_string(seconds) + " seconds')";
      case Backend::kMariaDb:
        return "NOW() - INTERVAL " + std::to_string(seconds) + " SECOND";
      case Backend::kPostgreSql:
        return "LOCALTIMESTAMP(0) - INTERVAL '" + std::to_string(seconds) + " seconds'";
    }
    return "";
  }
  void Insert(int state, int secondsAgo) {
    db_.Query(
        "INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg, SubmitState, "
        "CreateTime) VALUES ('HELP', '01', '000000', '13900001111', 'hi', " +
        std::to_string(state) + ", " + SecondsAgo(secondsAgo) + ")");
  }
  TestDatabase db_;
};

TEST_P(Backlog, CountsWaitingRowsAndAgesTheOldest) {
  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected());
  const std::string query = SubmitBacklogQuery(db_.Settings().dbType);
  ASSERT_FALSE(query.empty());

  struct Step {
    int state;
    int secondsAgo;
    std::int64_t rows;
    std::int64_t oldestMin, oldestMax;
  };
  // Bounds are loose: the clock moves on between insert and read.
  const Step steps[] = {
      {-1, 0, 0, 0, 0},        // nothing yet: no rows, no age
      {0, 5, 1, 4, 60},        // one waiting row
      {0, 300, 2, 299, 360},   // an older one becomes the oldest
      {1, 5000, 2, 299, 360},  // a row handed over counts for neither
      {0, 0, 3, 299, 360},     // a new row leaves the oldest as it was
  };
  for (const Step& step : steps) {
    if (step.state >= 0) Insert(step.state, step.secondsAgo);
    SubmitBacklog backlog;
    ASSERT_TRUE(ReadSubmitBacklog(gateway, query, &backlog)) << step.secondsAgo;
    EXPECT_EQ(backlog.rows, step.rows) << step.secondsAgo;
    EXPECT_GE(backlog.oldestSeconds, step.oldestMin) << step.secondsAgo;
    EXPECT_LE(backlog.oldestSeconds, step.oldestMax) << step.secondsAgo;
  }
  EXPECT_EQ(gateway.Errors(), 0u);
}

TEST_P(Backlog, FailingQueryIsCountedAndAnsweredFalse) {
  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected());
  SubmitBacklog backlog;
  backlog.rows = 7;
  EXPECT_FALSE(ReadSubmitBacklog(gateway, "SELECT COUNT(*) AS Waiting FROM NoSuchTable", &backlog));
  EXPECT_EQ(gateway.Errors(), 1u);
  EXPECT_EQ(backlog.rows, 7);  // a failed read leaves the last figures alone
  gateway.CloseAllConnections();
  EXPECT_FALSE(ReadSubmitBacklog(gateway, SubmitBacklogQuery(db_.Settings().dbType), &backlog));
}

INSTANTIATE_TEST_SUITE_P(Backends, Backlog, testing::AllBackends(), testing::BackendParamName());

TEST(BacklogQuery, KnowsEveryDbTypeInAnyCase) {
  for (const char* type : {"sqlite", "MySQL", "postgresql", "MSSQL", "oracle"})
    EXPECT_NE(SubmitBacklogQuery(type).find("SubmitState"), std::string::npos) << type;
  EXPECT_EQ(SubmitBacklogQuery("access"), "");
}

}  // namespace
}  // namespace brivane::db
