// The shipped SubmitOutcome view of each database: the final state of
// every SubmitID from SubmitLog (one row per segment's answer) joined with
// StatusReport, and of the rows still waiting in Submit.

#include <gtest/gtest.h>

#include <sstream>

#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::TestDatabase;

std::string OutcomeFile(Backend backend) {
  switch (backend) {
    case Backend::kSqlite:
      return "schema/sqlite-outcome.sql";
    case Backend::kMariaDb:
      return "schema/mysql-outcome.sql";
    case Backend::kPostgreSql:
      return "schema/postgresql-outcome.sql";
  }
  return "";
}

// Runs the file's statements one by one, comments left out.
void LoadFile(TestDatabase& db, const std::string& path) {
  std::istringstream in(test::ReadFile(test::SourcePath(path)));
  std::string line, statement;
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    if (!line.empty() && line.back() == ';') {
      statement.pop_back();
      statement.pop_back();
      db.Query(statement);
      statement.clear();
    }
  }
}

class OutcomeView : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
    LoadFile(db_, OutcomeFile(GetParam()));
  }
  void Answer(int id, int smsCount, const std::string& msgId, int result) {
    db_.Query("INSERT INTO SubmitLog (SubmitID, Mobile, SMSCount, MsgId, SubmitResult) VALUES (" +
              std::to_string(id) + ", '13900001111', " + std::to_string(smsCount) + ", '" + msgId +
              "', " + std::to_string(result) + ")");
  }
  void Report(const std::string& msgId, const std::string& stat) {
    db_.Query("INSERT INTO StatusReport (MsgId, SubmitState, Mobile) VALUES ('" + msgId + "', '" +
              stat + "', '13900001111')");
  }
  TestDatabase db_;
};

TEST_P(OutcomeView, EachSubmitIdGetsItsFinalState) {
  // Three segments, each delivered.
  for (const char* m : {"11", "12", "13"}) {
    Answer(101, 3, m, 0);
    Report(m, "DELIVRD");
  }
  // Two of three answered so far.
  Answer(102, 3, "21", 0);
  Answer(102, 3, "22", 0);
  // One segment refused by the SMG (flow control).
  Answer(103, 2, "31", 0);
  Answer(103, 2, "32", 8);
  // No answer in time: our own outcome, no MsgId. A report with an empty
  // MsgId must not join to it.
  Answer(104, 1, "", -1);
  Report("", "DELIVRD");
  // Accepted, one segment expired.
  Answer(105, 2, "51", 0);
  Answer(105, 2, "52", 0);
  Report("51", "DELIVRD");
  Report("52", "EXPIRED");
  // Accepted, no report yet.
  Answer(106, 1, "61", 0);
  // The SMG sent the report twice: still one segment delivered.
  Answer(107, 1, "71", 0);
  Report("71", "DELIVRD");
  Report("71", "DELIVRD");
  // Still in Submit.
  db_.Query("INSERT INTO Submit (SubmitID, Mobile, Msg, SubmitState) VALUES (201, '1', 'a', 0)");
  db_.Query("INSERT INTO Submit (SubmitID, Mobile, Msg, SubmitState) VALUES (202, '1', 'b', 1)");

  struct Expected {
    int id;
    int segments, answered, accepted, refused, notSent, delivered, undelivered;
    const char* state;
  };
  const Expected expected[] = {
      {101, 3, 3, 3, 0, 0, 3, 0, "delivered"},   {102, 3, 2, 2, 0, 0, 0, 0, "sending"},
      {103, 2, 2, 1, 1, 0, 0, 0, "refused"},     {104, 1, 1, 0, 0, 1, 0, 0, "not sent"},
      {105, 2, 2, 2, 0, 0, 1, 1, "undelivered"}, {106, 1, 1, 1, 0, 0, 0, 0, "sent"},
      {107, 1, 1, 1, 0, 0, 1, 0, "delivered"},   {201, 0, 0, 0, 0, 0, 0, 0, "waiting"},
      {202, 0, 0, 0, 0, 0, 0, 0, "handed over"},
  };
  Recordset rs = db_.Query("SELECT * FROM SubmitOutcome ORDER BY SubmitID");
  ASSERT_EQ(rs.RecordCount(), static_cast<int>(std::size(expected)));
  rs.MoveFirst();
  for (const auto& e : expected) {
    ASSERT_FALSE(rs.Eof());
    SCOPED_TRACE(e.id);
    EXPECT_EQ(rs.GetInt("SubmitID"), e.id);
    EXPECT_EQ(rs.GetInt("Segments"), e.segments);
    EXPECT_EQ(rs.GetInt("Answered"), e.answered);
    EXPECT_EQ(rs.GetInt("Accepted"), e.accepted);
    EXPECT_EQ(rs.GetInt("Refused"), e.refused);
    EXPECT_EQ(rs.GetInt("NotSent"), e.notSent);
    EXPECT_EQ(rs.GetInt("Delivered"), e.delivered);
    EXPECT_EQ(rs.GetInt("Undelivered"), e.undelivered);
    EXPECT_EQ(rs.GetText("FinalState"), e.state);
    rs.MoveNext();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, OutcomeView, testing::AllBackends(),
                         testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
