// Calls committed together: a batch of DelSubmit calls in one transaction,
// and a batch one of whose calls the database refuses (a trigger), where
// every other call is still recorded, once, and the refused one fails alone.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/status_block.h"
#include "db/procedures.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using namespace std::chrono_literals;
using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class GroupCommitDb : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
  }

  std::vector<std::int64_t> InsertSubmits(int n) {
    std::vector<std::int64_t> ids;
    for (int i = 0; i < n; ++i) {
      db_.Query(
          "INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES ('G', '01', "
          "'000000', '1390000" +
          std::to_string(i) + "', 'm')");
      ids.push_back(db_.Query("SELECT MAX(SubmitID) AS id FROM Submit").GetInt64("id"));
    }
    return ids;
  }

  // Runs DelSubmit for every id at once so that all but the first go in one
  // batch: the first caller is held at the connection's lock while the
  // others queue. Gives each call's outcome.
  std::vector<int> DelSubmitTogether(DbGateway& gateway, const std::vector<std::int64_t>& ids,
                                     const std::vector<std::string>& msgIds) {
    std::vector<int> results(ids.size(), -1);
    std::vector<std::thread> threads;
    {
      std::unique_lock hold(gateway.Lock(DbLink::kMT));
      for (std::size_t i = 0; i < ids.size(); ++i) {
        threads.emplace_back([&, i] {
          results[i] = DelSubmit(gateway, static_cast<std::uint64_t>(ids[i]), msgIds[i], 0);
        });
        // The first takes its batch of one and waits for the lock; each
        // later one queues behind it.
        GroupCommit& batches = gateway.Batches(DbLink::kMT);
        EXPECT_TRUE(WaitFor([&] { return batches.Running() == 1 && batches.Queued() == i; }));
      }
    }
    for (auto& t : threads) t.join();
    return results;
  }

  long long Count(const std::string& sql) { return db_.Query(sql).GetInt64("n"); }

  // A trigger `name` that makes the database refuse `event` (as "INSERT ON
  // SubmitLog") for rows that meet `condition`.
  void Refuse(const std::string& name, const std::string& event, const std::string& condition) {
    db_.Query(GetParam() == Backend::kSqlite
                  ? "CREATE TRIGGER " + name + " BEFORE " + event + " WHEN " + condition +
                        " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"
                  : "CREATE TRIGGER " + name + " BEFORE " + event + " FOR EACH ROW BEGIN IF " +
                        condition +
                        " THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused by the "
                        "test'; END IF; END");
  }

  // A gateway on the test's database with all four connections opened.
  std::unique_ptr<DbGateway> OpenGateway(const DbSettings& settings) {
    auto gateway = std::make_unique<DbGateway>(settings);
    gateway->OpenAllConnections();
    return gateway;
  }

  // One Msg_Id text per row: its id plus `offset`.
  static std::vector<std::string> MsgIds(const std::vector<std::int64_t>& ids, int offset) {
    std::vector<std::string> msgIds;
    for (std::int64_t id : ids) msgIds.push_back(std::to_string(offset + id));
    return msgIds;
  }

  TestDatabase db_;
};

TEST_P(GroupCommitDb, ABatchIsCommittedOnceAndEveryCallIsRecordedAndCounted) {
  LogCapture log(3);
  const auto ids = InsertSubmits(12);
  auto gateway = OpenGateway(db_.Settings());
  ASSERT_TRUE(gateway->DatabaseConnected());
  const std::uint32_t before = base::StatusBlock().Get(base::kSubmitResultStored);

  std::vector<std::string> msgIds = MsgIds(ids, 1000);
  const auto results = DelSubmitTogether(*gateway, ids, msgIds);
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(results[i], 1) << "call " << i;

  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM Submit"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), 12);
  EXPECT_EQ(Count("SELECT COUNT(DISTINCT MsgId) AS n FROM SubmitLog"), 12);
  EXPECT_EQ(base::StatusBlock().Get(base::kSubmitResultStored), before + 12);
  EXPECT_EQ(log.Count("MT应答|"), 12) << "one log line per call";
  EXPECT_EQ(log.Count("a transaction of"), 0) << log.All();
}

TEST_P(GroupCommitDb, ACallTheDatabaseRefusesFailsAloneAndTheOthersAreRecordedOnce) {
  Refuse("RefuseOne", "INSERT ON SubmitLog", "NEW.MsgId = 'refused'");
  LogCapture log(3);
  const auto ids = InsertSubmits(10);
  auto gateway = OpenGateway(db_.Settings());
  ASSERT_TRUE(gateway->DatabaseConnected());
  const std::uint32_t before = base::StatusBlock().Get(base::kSubmitResultStored);

  std::vector<std::string> msgIds = MsgIds(ids, 1000);
  msgIds[6] = "refused";  // inside the batch of calls 1..9
  const auto results = DelSubmitTogether(*gateway, ids, msgIds);
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(results[i], i == 6 ? 0 : 1) << i;

  EXPECT_EQ(log.Count("DelSubmit|a transaction of 9 calls failed"), 1) << log.All();
  EXPECT_EQ(log.Count("DelSubmit, Reconnect..."), 1) << "the refused call fails as one alone";
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), 9);
  EXPECT_EQ(Count("SELECT COUNT(DISTINCT SubmitID) AS n FROM SubmitLog"), 9) << "none twice";
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM Submit WHERE SubmitID = " + std::to_string(ids[6])), 1)
      << "the refused row is still waiting for its outcome";
  EXPECT_EQ(base::StatusBlock().Get(base::kSubmitResultStored), before + 9);

  // Once the database takes it, it is recorded like any other.
  db_.Query("DROP TRIGGER RefuseOne");
  EXPECT_TRUE(DelSubmit(*gateway, static_cast<std::uint64_t>(ids[6]), "refused", 0));
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), 10);
}

// The MT thread's marks: stored together, and when one of them is refused
// (a trigger) the others are still stored and only that one is reported.
TEST_P(GroupCommitDb, MarksOfAPassAreStoredTogetherAndARefusedOneIsReportedAlone) {
  Refuse("RefuseMark", "UPDATE ON Submit", "NEW.SMSCount = 99");
  LogCapture log(3);
  const auto ids = InsertSubmits(7);
  DbSettings settings = db_.Settings();
  settings.commitBatch.maxCalls = 4;  // two transactions: 4 marks and 3
  auto gateway = OpenGateway(settings);
  ASSERT_TRUE(gateway->DatabaseConnected());
  const std::uint32_t before = base::StatusBlock().Get(base::kSubmitHandedOver);

  std::vector<SubmitMark> marks;
  for (std::int64_t id : ids) marks.push_back({static_cast<std::uint64_t>(id), 8, 1});
  marks[5].smsCount = 99;  // in the second transaction
  const std::vector<bool> stored = UpdateSubmits(*gateway, marks);
  ASSERT_EQ(stored.size(), marks.size());
  for (std::size_t i = 0; i < marks.size(); ++i) EXPECT_EQ(stored[i], i != 5) << i;
  EXPECT_EQ(log.Count("UpdateSubmit|a transaction of 3 calls failed"), 1) << log.All();
  EXPECT_EQ(log.Count("a transaction of 4"), 0) << log.All();
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM Submit WHERE SubmitState = 1 AND SMSCount = 1"), 6);
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM Submit WHERE SubmitState = 0"), 1);
  EXPECT_EQ(base::StatusBlock().Get(base::kSubmitHandedOver), before + 6);
  EXPECT_TRUE(UpdateSubmits(*gateway, {}).empty());
}

// Both segments of each row in one batch, more calls than one multi-row
// insert takes (SQLite): the calls still run in order, so each row's first
// segment moves it to SubmitLog and its second copies it from there.
TEST_P(GroupCommitDb, SegmentsOfOneRowInOneBatchAreRecordedInOrderWithTheirRow) {
  LogCapture log(3);
  const auto rows = InsertSubmits(25);
  auto gateway = std::make_unique<DbGateway>(db_.Settings());
  gateway->OpenAllConnections();
  ASSERT_TRUE(gateway->DatabaseConnected());
  std::vector<std::int64_t> ids;
  std::vector<std::string> msgIds;
  for (std::int64_t id : rows) {
    for (const char* segment : {"a", "b"}) {
      ids.push_back(id);
      msgIds.push_back(segment + std::to_string(id));
    }
  }
  const auto results = DelSubmitTogether(*gateway, ids, msgIds);
  for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(results[i], 1) << "call " << i;

  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM Submit"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), 50);
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog WHERE Mobile LIKE '1390000%' AND "
                  "ServiceId = 'G'"),
            50)
      << "every segment's log row carries its row";
  EXPECT_EQ(Count("SELECT COUNT(DISTINCT MsgId) AS n FROM SubmitLog"), 50);
  EXPECT_EQ(log.Count("a transaction of"), 0) << log.All();
}

// Several calls in one statement are only for inserts into views, and every
// row must have the same parameters; a wrong command fails before it runs.
TEST_P(GroupCommitDb, RowsOfOneInsertNeedTheViewSyntaxAndOneWidth) {
  const auto ids = InsertSubmits(2);
  Connection connection(SyntaxForDbType(db_.Settings().dbType));
  connection.Open(db_.ConnectionString());
  auto refused = [&](const std::function<void(Command&)>& fill) {
    Command command(connection, "uspMoveSubmitToLog");
    fill(command);
    try {
      command.Execute();
    } catch (const DbException& e) {
      return e.Error().sqlState;
    }
    return std::string("ran");
  };
  auto row = [&](Command& c, std::int64_t id, bool withResult) {
    c.AppendInt64(id);
    c.AppendText(u"x" + std::u16string(1, static_cast<char16_t>(u'0' + id % 10)));
    if (withResult) c.AppendInt(0);
    c.EndRow();
  };
  EXPECT_EQ(refused([&](Command& c) {
              row(c, ids[0], true);
              row(c, ids[1], false);
            }),
            "HY000");
  const bool views = connection.Syntax() == ProcedureSyntax::kInsertIntoView;
  EXPECT_EQ(refused([&](Command& c) {
              row(c, ids[0], true);
              row(c, ids[1], true);
            }),
            views ? "ran" : "HY000");
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), views ? 2 : 0);
}

// Batches of one: every call commits alone, as a database whose procedures
// manage their own transactions needs.
TEST_P(GroupCommitDb, WithBatchesOfOneEveryCallRunsAlone) {
  LogCapture log(3);
  const auto ids = InsertSubmits(5);
  DbSettings settings = db_.Settings();
  settings.commitBatch.maxCalls = 1;
  auto gateway = OpenGateway(settings);
  ASSERT_TRUE(gateway->DatabaseConnected());
  std::vector<std::string> msgIds = MsgIds(ids, 0);
  msgIds[2] = "x";
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < ids.size(); ++i)
    threads.emplace_back(
        [&, i] { ok += DelSubmit(*gateway, static_cast<std::uint64_t>(ids[i]), msgIds[i], 0); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 5);
  EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM SubmitLog"), 5);
  EXPECT_EQ(log.Count("a transaction of"), 0);
}

// A batch of hand-over marks is one transaction that stays open while its
// calls run. Marking a row still in Submit must not lock SubmitLog, or
// every outcome recorded meanwhile waits for the whole batch. The
// recording side gives up after 3 s instead of the server's 50.
TEST(GroupCommitMariaDb, AnOpenBatchOfMarksDoesNotHoldBackRecordingAnOutcome) {
  TestDatabase db;
  std::string error;
  ASSERT_TRUE(db.Create(Backend::kMariaDb, &error)) << error;
  for (const char* mobile : {"13900000001", "13900000002", "13900000003"})
    db.Query(std::string("INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES "
                         "('G', '01', '000000', '") +
             mobile + "', 'm')");
  const std::int64_t last = db.Query("SELECT MAX(SubmitID) AS id FROM Submit").GetInt64("id");
  const std::int64_t logged = last - 2, answered = last - 1, marked = last;
  // One row already in SubmitLog, below the rows still waiting.
  db.Query("CALL uspMoveSubmitToLog(" + std::to_string(logged) + ", 'a', 0)");

  Connection marks;
  marks.Open(db.ConnectionString());
  marks.SetAutoCommit(false);
  marks.Execute("CALL uspUpdateSubmitState(" + std::to_string(marked) + ", 8, 1)");

  Connection outcomes;
  outcomes.Open(db.ConnectionString());
  outcomes.Execute("SET SESSION innodb_lock_wait_timeout = 3");
  EXPECT_NO_THROW(
      outcomes.Execute("CALL uspMoveSubmitToLog(" + std::to_string(answered) + ", 'b', 0)"));
  // Its mark, later in the same batch, still reaches the row moved since the
  // batch began.
  marks.Execute("CALL uspUpdateSubmitState(" + std::to_string(answered) + ", 8, 3)");

  marks.EndTransaction(true);
  marks.SetAutoCommit(true);
  // The mark of a row that has left Submit goes to its log row.
  marks.Execute("CALL uspUpdateSubmitState(" + std::to_string(logged) + ", 8, 2)");
  EXPECT_EQ(
      db.Query("SELECT COUNT(*) AS n FROM SubmitLog WHERE SubmitID = " + std::to_string(answered))
          .GetInt64("n"),
      1);
  const Recordset markedRow =
      db.Query("SELECT SubmitState, MsgFmt FROM Submit WHERE SubmitID = " + std::to_string(marked));
  ASSERT_FALSE(markedRow.Eof());
  EXPECT_EQ(markedRow.GetInt64("SubmitState"), 1);
  EXPECT_EQ(markedRow.GetInt64("MsgFmt"), 8);
  for (const auto& [id, smsCount] : {std::pair{logged, 2}, std::pair{answered, 3}}) {
    const Recordset logRow =
        db.Query("SELECT MsgFmt, SMSCount FROM SubmitLog WHERE SubmitID = " + std::to_string(id));
    ASSERT_FALSE(logRow.Eof()) << id;
    EXPECT_EQ(logRow.GetInt64("MsgFmt"), 8) << id;
    EXPECT_EQ(logRow.GetInt64("SMSCount"), smsCount) << id;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, GroupCommitDb,
                         ::testing::Values(Backend::kSqlite, Backend::kMariaDb),
                         testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
