// The claiming procedures of the schema's claim files on MariaDB and
// PostgreSQL: which rows an instance may claim (waiting rows, its own
// unsent claims, claims past their lease; never a handed-over row), giving
// a row back, taking over rows handed over and never answered, and two
// instances claiming at once from many connections without ever taking the
// same row.

#include "db/claims.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

class Claims : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(db_.Create(GetParam(), &error)) << error;
    ASSERT_TRUE(db_.LoadClaimProcedures(&error)) << error;
  }

  // `seconds` before the server's current time, as SQL.
  std::string Ago(int seconds) const {
    return GetParam() == Backend::kMariaDb
               ? "NOW() - INTERVAL " + std::to_string(seconds) + " SECOND"
               : "LOCALTIMESTAMP - INTERVAL '" + std::to_string(seconds) + " seconds'";
  }

  void InsertRows(int n) {
    std::string values;
    for (int i = 0; i < n; ++i)
      values += std::string(i ? "," : "") + "('C', '" + std::to_string(13900000000LL + i) + "')";
    db_.Query("INSERT INTO Submit (ServiceId, Mobile) VALUES " + values);
  }

  std::vector<int> Ids(Recordset rs, const char* column = "SubmitID") {
    std::vector<int> ids;
    if (rs.RecordCount() > 0) rs.MoveFirst();
    for (; !rs.Eof(); rs.MoveNext()) ids.push_back(rs.GetInt(column));
    return ids;
  }

  std::vector<int> Claim(Connection& c, const std::string& instance, int count, int lease = 60) {
    return Ids(ClaimSubmitRows(c, instance, count, lease));
  }

  Connection& Own() {
    if (!own_.IsOpen()) own_.Open(db_.ConnectionString());
    return own_;
  }

  std::string Column(int id, const std::string& column) {
    Recordset rs =
        db_.Query("SELECT " + column + " AS v FROM Submit WHERE SubmitID = " + std::to_string(id));
    if (rs.RecordCount() == 0) return "<gone>";
    rs.MoveFirst();
    return rs.IsNull("v") ? "<null>" : rs.GetText("v");
  }

  TestDatabase db_;
  Connection own_;
};

TEST_P(Claims, ClaimTakesAtMostCountRowsInOrderAndMarksThemForTheInstance) {
  InsertRows(5);
  std::vector<int> first = Claim(Own(), "host-a:/srv/a", 3);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
  for (int id : first) {
    EXPECT_EQ(Column(id, "SubmitState"), "2");
    EXPECT_EQ(Column(id, "ClaimedBy"), "host-a:/srv/a");
    EXPECT_NE(Column(id, "ClaimTime"), "<null>");
  }
  // The whole row comes back, as the MT pass reads it.
  Recordset rs = ClaimSubmitRows(Own(), "host-b:/srv/b", 10, 60);
  ASSERT_EQ(rs.RecordCount(), 2);
  rs.MoveFirst();
  EXPECT_EQ(rs.GetText("Mobile"), "13900000003");
  EXPECT_EQ(rs.GetText("ServiceId"), "C");
  EXPECT_TRUE(Claim(Own(), "host-c:/srv/c", 10).empty());
}

// Which rows a claim by "me" takes, one row per case.
struct ClaimCase {
  const char* name;
  int state;
  const char* claimedBy;  // null: NULL
  int claimAge;           // seconds since ClaimTime; -1: NULL
  bool taken;
};

TEST_P(Claims, WhichRowsAreClaimable) {
  const ClaimCase cases[] = {
      {"waiting row", 0, nullptr, -1, true},
      {"my own unsent claim, recent", 2, "me", 1, true},
      {"another's claim within its lease", 2, "other", 10, false},
      {"another's claim past its lease", 2, "other", 120, true},
      {"a claim without a time (older file)", 2, "12345", -1, true},
      {"handed over by another long ago", 1, "other", 100000, false},
      {"handed over by me long ago", 1, "me", 100000, false},
      {"handed over without a claim (plain query)", 1, nullptr, -1, false},
  };
  std::map<int, const ClaimCase*> byId;
  for (const auto& c : cases) {
    InsertRows(1);
    Recordset rs = db_.Query("SELECT MAX(SubmitID) AS id FROM Submit");
    rs.MoveFirst();
    const int id = rs.GetInt("id");
    byId[id] = &c;
    // Built with std::string(...) + rather than "'" + std::string(...): gcc 12
    // misreports the latter as an overlapping copy (-Wrestrict).
    const std::string claimedBy = c.claimedBy ? std::string("'") + c.claimedBy + "'" : "NULL";
    db_.Query("UPDATE Submit SET SubmitState = " + std::to_string(c.state) + ", ClaimedBy = " +
              claimedBy + ", ClaimTime = " + (c.claimAge < 0 ? "NULL" : Ago(c.claimAge)) +
              " WHERE SubmitID = " + std::to_string(id));
  }
  std::vector<int> taken = Claim(Own(), "me", 100, 60);
  std::set<int> takenSet(taken.begin(), taken.end());
  for (const auto& [id, c] : byId) {
    EXPECT_EQ(takenSet.count(id) == 1, c->taken) << c->name;
    if (c->taken) {
      EXPECT_EQ(Column(id, "ClaimedBy"), "me") << c->name;
    }
    if (c->state == 1) {
      EXPECT_EQ(Column(id, "SubmitState"), "1") << c->name;
    }
  }
}

TEST_P(Claims, ReleaseGivesBackOnlyTheOwnersUnsentClaim) {
  LogCapture log;
  InsertRows(3);
  std::vector<int> ids = Claim(Own(), "me", 3);
  ASSERT_EQ(ids.size(), 3u);
  db_.Query("UPDATE Submit SET SubmitState = 1 WHERE SubmitID = " + std::to_string(ids[2]));

  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected());
  EXPECT_TRUE(ReleaseSubmitRow(gateway, "other", ids[0]));  // runs, changes nothing
  EXPECT_EQ(Column(ids[0], "SubmitState"), "2");
  EXPECT_TRUE(ReleaseSubmitRow(gateway, "me", ids[1]));
  EXPECT_EQ(Column(ids[1], "SubmitState"), "0");
  EXPECT_EQ(Column(ids[1], "ClaimedBy"), "<null>");
  EXPECT_TRUE(ReleaseSubmitRow(gateway, "me", ids[2]));  // handed over: stays
  EXPECT_EQ(Column(ids[2], "SubmitState"), "1");
  // The released row is claimable at once by anyone.
  EXPECT_EQ(Claim(Own(), "other", 10), std::vector<int>{ids[1]});
}

TEST_P(Claims, AbandonedRowsAreTakenOnceAndOnlyWhenOld) {
  LogCapture log;
  InsertRows(3);
  std::vector<int> ids = Claim(Own(), "dead", 3);
  ASSERT_EQ(ids.size(), 3u);
  db_.Query("UPDATE Submit SET SubmitState = 1 WHERE SubmitID IN (" + std::to_string(ids[0]) + "," +
            std::to_string(ids[1]) + ")");
  db_.Query("UPDATE Submit SET ClaimTime = " + Ago(700) + " WHERE SubmitID IN (" +
            std::to_string(ids[0]) + "," + std::to_string(ids[2]) + ")");

  DbGateway gateway(db_.Settings());
  gateway.OpenAllConnections();
  ASSERT_TRUE(gateway.DatabaseConnected());
  std::vector<std::int64_t> taken;
  // Only the old handed-over row: the recent one may still be answered, the
  // claimed one was never handed over.
  ASSERT_TRUE(TakeAbandonedSubmits(gateway, "alive-1", 10, 660, &taken));
  EXPECT_EQ(taken, std::vector<std::int64_t>{ids[0]});
  EXPECT_EQ(Column(ids[0], "ClaimedBy"), "alive-1");
  // A second live instance does not take it again.
  ASSERT_TRUE(TakeAbandonedSubmits(gateway, "alive-2", 10, 660, &taken));
  EXPECT_TRUE(taken.empty());
}

// Several connections per instance claim at once, each marking its rows
// handed over as a pass would: no row is ever returned twice, and every
// row is taken.
TEST_P(Claims, ConcurrentClaimsNeverTakeARowTwice) {
  constexpr int kRows = 600;
  constexpr int kThreads = 4;
  InsertRows(kRows);
  std::mutex mutex;
  std::map<int, int> seen;
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        Connection c;
        c.Open(db_.ConnectionString());
        const std::string instance = "instance-" + std::to_string(t);
        for (;;) {
          std::vector<int> ids = Claim(c, instance, 7);
          if (ids.empty()) break;
          for (int id : ids) {
            c.Execute("UPDATE Submit SET SubmitState = 1 WHERE SubmitID = " + std::to_string(id));
            std::lock_guard lock(mutex);
            ++seen[id];
          }
        }
      } catch (const DbException& e) {
        ++errors;
        ADD_FAILURE() << e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kRows));
  for (const auto& [id, count] : seen) EXPECT_EQ(count, 1) << "SubmitID " << id;
}

INSTANTIATE_TEST_SUITE_P(Backends, Claims,
                         ::testing::Values(Backend::kMariaDb, Backend::kPostgreSql),
                         testing::BackendParamName());

}  // namespace
}  // namespace brivane::db
