// Forward-only recordsets against the three drivers: the rows arrive as the
// recordset moves, other statements run on the same connection meanwhile
// and are committed at once, and a connection closed under an open
// recordset ends it with an error instead of a dangling statement.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/connections.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::RaisedSqlState;
using testing::TestDatabase;

class ForwardRecordset : public testing::OwnConnectionTest {
 protected:
  void AddRows(int count) {
    if (count == 0) return;
    std::string values;
    for (int i = 0; i < count; ++i) {
      if (i > 0) values += ",";
      values += "('S" + std::to_string(i) + "', '1390000" + std::to_string(1000 + i) + "', 'm" +
                std::to_string(i) + "')";
    }
    db_.Query("INSERT INTO Submit (ServiceId, Mobile, Msg) VALUES " + values);
  }

  // SubmitState of one row, read on the fixture's own connection.
  int StateSeenElsewhere(std::int64_t id) {
    Recordset rs =
        db_.Query("SELECT SubmitState FROM Submit WHERE SubmitID = " + std::to_string(id));
    return rs.RecordCount() == 1 ? rs.GetInt("SubmitState") : -1;
  }
};

constexpr const char* kPoll = "SELECT * FROM Submit WHERE SubmitState = 0 ORDER BY SubmitID";

TEST_P(ForwardRecordset, GivesTheSameRowsAsABufferedQuery) {
  struct Case {
    int rows;
  };
  for (const Case& c : std::vector<Case>{{0}, {1}, {3}, {700}}) {
    SCOPED_TRACE(c.rows);
    db_.Query("DELETE FROM Submit");
    AddRows(c.rows);
    Recordset buffered = connection_.Execute(kPoll);
    Recordset forward = connection_.ExecuteForward(kPoll);
    // All three drivers in use allow other statements beside an open one,
    // so none falls back to reading every row at once.
    EXPECT_TRUE(forward.IsForwardOnly());
    EXPECT_EQ(forward.RecordCount(), -1);
    EXPECT_TRUE(forward.IsOpen());
    EXPECT_TRUE(forward.HasField("LinkId"));
    // On its first row as it opens; moving to it again is harmless.
    forward.MoveFirst();
    int seen = 0;
    for (; !forward.Eof(); forward.MoveNext(), buffered.MoveNext(), ++seen) {
      ASSERT_FALSE(buffered.Eof());
      EXPECT_EQ(forward.GetInt64("SubmitID"), buffered.GetInt64("SubmitID"));
      EXPECT_EQ(forward.GetText("Mobile"), buffered.GetText("Mobile"));
      EXPECT_EQ(forward.GetText("Msg"), buffered.GetText("Msg"));
    }
    EXPECT_TRUE(buffered.Eof());
    EXPECT_EQ(seen, c.rows);
    EXPECT_EQ(RaisedSqlState([&] { forward.MoveNext(); }), "24000");
    EXPECT_EQ(RaisedSqlState([&] { forward.GetInt("SubmitID"); }), "24000");
    if (c.rows > 0) {
      EXPECT_EQ(RaisedSqlState([&] { forward.MoveFirst(); }), "HY106");
    }
  }
}

TEST_P(ForwardRecordset, WritesOnTheSameConnectionAreCommittedWhileItIsOpen) {
  AddRows(50);
  Recordset rs = connection_.ExecuteForward(kPoll);
  std::vector<std::int64_t> ids;
  for (int i = 0; i < 20 && !rs.Eof(); ++i, rs.MoveNext()) {
    const std::int64_t id = rs.GetInt64("SubmitID");
    ids.push_back(id);
    // The hand-over mark, as the pass stores it between rows.
    connection_.Execute("UPDATE Submit SET SubmitState = 1 WHERE SubmitID = " + std::to_string(id));
    // Another connection sees it before the recordset ends: a mark held
    // back until the end of a pass would send the row again after a crash.
    ASSERT_EQ(StateSeenElsewhere(id), 1) << "row " << id;
  }
  // A transaction of several marks, as a batch stores them.
  connection_.SetAutoCommit(false);
  for (int i = 0; i < 10 && !rs.Eof(); ++i, rs.MoveNext()) {
    const std::int64_t id = rs.GetInt64("SubmitID");
    ids.push_back(id);
    connection_.Execute("UPDATE Submit SET SubmitState = 1 WHERE SubmitID = " + std::to_string(id));
  }
  connection_.EndTransaction(true);
  connection_.SetAutoCommit(true);
  for (std::size_t i = 20; i < ids.size(); ++i) EXPECT_EQ(StateSeenElsewhere(ids[i]), 1);
  // The rest of the rows still come, each once.
  int rest = 0;
  for (; !rs.Eof(); rs.MoveNext()) {
    EXPECT_GT(rs.GetInt64("SubmitID"), ids.back());
    ++rest;
  }
  EXPECT_EQ(ids.size() + static_cast<std::size_t>(rest), 50u);
  EXPECT_EQ(db_.Query("SELECT SubmitID FROM Submit WHERE SubmitState = 1").RecordCount(), 30);
}

TEST_P(ForwardRecordset, AConnectionClosedUnderItEndsItWithAnError) {
  AddRows(5);
  struct Case {
    const char* name;
    bool reopen;
  };
  for (const Case& c : std::vector<Case>{{"closed", false}, {"reconnected", true}}) {
    SCOPED_TRACE(c.name);
    Recordset rs = connection_.ExecuteForward(kPoll);
    ASSERT_FALSE(rs.Eof());
    const std::int64_t first = rs.GetInt64("SubmitID");
    if (c.reopen) {
      connection_.Open(db_.ConnectionString());
    } else {
      connection_.Close();
    }
    // The row in hand stays readable; the next one cannot come.
    EXPECT_EQ(rs.GetInt64("SubmitID"), first);
    EXPECT_EQ(RaisedSqlState([&] { rs.MoveNext(); }), "08003");
    rs.Close();
    if (!c.reopen) connection_.Open(db_.ConnectionString());
    // The connection works on afterwards.
    EXPECT_EQ(connection_.Execute(kPoll).RecordCount(), 5);
  }
  // A recordset that outlives its connection object is freed safely.
  auto other = std::make_unique<Connection>(connection_.Syntax());
  other->Open(db_.ConnectionString());
  Recordset orphan = other->ExecuteForward(kPoll);
  other.reset();
  EXPECT_EQ(RaisedSqlState([&] { orphan.MoveNext(); }), "08003");
}

INSTANTIATE_TEST_SUITE_P(Backends, ForwardRecordset, testing::AllBackends(),
                         testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
