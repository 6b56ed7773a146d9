// The MT pass in claiming mode against a private MariaDB server with the
// claiming procedures: rows the pass does not hand over (refused by the
// client, cut short by a stop or by half the lease passing) go back to
// state 0 at once; rows handed over stay with the instance; rows another
// instance handed over long ago and never answered are recorded with
// the no-answer outcome (-1), once.

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "cmpp/result_codes.h"
#include "db/claims.h"
#include "sp/mt_poller.h"
#include "support/mariadb_server.h"

namespace brivane::sp {
namespace {

using std::chrono::milliseconds;

test::MariaDbServer* SharedServer(std::string* error) {
  static std::unique_ptr<test::MariaDbServer> server;
  static std::string startError;
  if (!server && startError.empty()) {
    auto s = std::make_unique<test::MariaDbServer>();
    if (s->Start(&startError)) server = std::move(s);
  }
  *error = startError;
  return server.get();
}

class ClaimingPoller : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server_ = SharedServer(&error);
    ASSERT_NE(server_, nullptr) << error;
    ASSERT_TRUE(server_->CreateDatabase("claimpoll", &error)) << error;
    std::string output;
    ASSERT_TRUE(server_->Execute("source " + test::SourcePath("schema/mysql-claim.sql"), &output,
                                 "claimpoll"))
        << output;
    db::DbSettings settings;
    settings.dataSource = server_->OdbcDataSource("claimpoll");
    settings.dbUser = "root";
    settings.dbType = "mysql";
    gateway_ = std::make_unique<db::DbGateway>(settings);
    gateway_->OpenAllConnections();
    ASSERT_TRUE(gateway_->DatabaseConnected());
  }

  std::string Query(const std::string& sql) {
    std::string output;
    EXPECT_TRUE(server_->Execute(sql, &output, "claimpoll")) << output;
    return output;
  }

  void AddRows(int n) {
    for (int i = 0; i < n; ++i)
      Query("INSERT INTO Submit (ServiceId, Mobile, Msg) VALUES ('SVC', '1380000000" +
            std::to_string(i) + "', 'm')");
  }

  std::unique_ptr<MtPoller> MakePoller(MtPoller::SubmitFn submit, MtPoller::ClockFn clock = {}) {
    MtPollerSettings s;
    s.mtSpeedLimit = 20;
    s.claimRows = true;
    s.instanceId = "me";
    s.claimLease = std::chrono::seconds(60);
    s.abandonedAfter = std::chrono::seconds(660);
    s.claimCounters = &counters_;
    return std::make_unique<MtPoller>(
        *gateway_, s, std::move(submit), stop_, idle_, [](milliseconds) {}, std::move(clock),
        &keptOut_, &inFlight_);
  }

  // What the worker does once it has written the row's first segment.
  void Written(const cmpp::CmppSubmit& r) { MarkWritten(gateway_.get(), r, inFlight_, keptOut_); }

  test::MariaDbServer* server_ = nullptr;
  std::unique_ptr<db::DbGateway> gateway_;
  std::atomic<std::int32_t> stop_{0}, idle_{1};
  ClaimCounters counters_;
  KeptOutRows keptOut_;
  RowsInFlight inFlight_;
};

// Four rows; the client's answer to the n-th call (1-based) decides.
TEST_F(ClaimingPoller, RowsNotHandedOverGoBackAtOnce) {
  struct Case {
    const char* name;
    int refuseCall;  // this call answers "no link"; 0: none
    int stopAtCall;  // the stop comes during this call; 0: never
    const char* states;
    std::uint64_t handedOver, givenBack;
  };
  const Case cases[] = {
      {"all handed over", 0, 0, "1\t4\n", 4, 0},
      {"second refused", 2, 0, "0\t1\n1\t3\n", 3, 1},
      {"stop during the second", 0, 2, "0\t2\n1\t2\n", 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Query("DELETE FROM Submit");
    counters_.handedOver = counters_.givenBack = counters_.claimed = 0;
    stop_ = 0;
    AddRows(4);
    int calls = 0;
    auto poller = MakePoller([&](cmpp::CmppSubmit& r) {
      ++calls;
      r.Pk_total = 1;
      if (calls == c.stopAtCall) stop_ = 1;
      if (calls == c.refuseCall) return 16005;
      Written(r);
      return 0;
    });
    poller->SendMTMsg();
    EXPECT_EQ(Query("SELECT SubmitState, COUNT(*) FROM Submit GROUP BY SubmitState ORDER BY 1"),
              c.states);
    EXPECT_EQ(Query("SELECT COUNT(*) FROM Submit WHERE SubmitState = 0 AND ClaimedBy IS NOT NULL"),
              "0\n");
    EXPECT_EQ(counters_.claimed.load(), 4u);
    EXPECT_EQ(counters_.handedOver.load(), c.handedOver);
    EXPECT_EQ(counters_.givenBack.load(), c.givenBack);
  }
}

// A pass that has taken half the lease stops sending: another instance may
// soon claim what is left.
TEST_F(ClaimingPoller, PassPastHalfTheLeaseGivesTheRestBack) {
  AddRows(4);
  auto now = std::chrono::steady_clock::now();
  int calls = 0;
  auto poller = MakePoller(
      [&](cmpp::CmppSubmit& r) {
        ++calls;
        r.Pk_total = 1;
        now += std::chrono::seconds(31);  // this hand-over took 31 s
        Written(r);
        return 0;
      },
      [&] { return now; });
  poller->SendMTMsg();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Query("SELECT SubmitState, COUNT(*) FROM Submit GROUP BY SubmitState ORDER BY 1"),
            "0\t3\n1\t1\n");
  EXPECT_EQ(counters_.givenBack.load(), 3u);
}

// Written but not marked (the database refused the mark): giving such a
// row back would let any instance send it a second time.
TEST_F(ClaimingPoller, SentRowWhoseMarkFailedStaysClaimedAndIsNotSentAgain) {
  db::DbSettings settings = gateway_->Settings();
  settings.spUpdateSubmit = "uspNoSuchProcedure";
  gateway_->CloseAllConnections();
  gateway_->SetSettings(settings);
  gateway_->OpenAllConnections();
  AddRows(2);
  int calls = 0;
  auto poller = MakePoller([&](cmpp::CmppSubmit& r) {
    ++calls;
    r.Pk_total = 1;
    Written(r);
    return 0;
  });
  poller->SendMTMsg();
  poller->SendMTMsg();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Query("SELECT SubmitState, ClaimedBy, COUNT(*) FROM Submit GROUP BY 1, 2"),
            "2\tme\t2\n");
  EXPECT_EQ(counters_.givenBack.load(), 0u);
  EXPECT_EQ(keptOut_.Size(), 2u);
}

// A row is marked when its first segment is written, not when it is queued:
// an instance that dies with rows queued leaves them claimed (sent by
// another instance after the lease), never handed over and unsent. Until
// the write its own passes leave it alone.
TEST_F(ClaimingPoller, QueuedRowIsMarkedAtItsWriteAndNotSentAgainMeanwhile) {
  AddRows(2);
  std::vector<std::unique_ptr<cmpp::CmppSubmit>> queued;
  auto poller = MakePoller([&](cmpp::CmppSubmit& r) {
    r.Pk_total = 2;  // a long message: the mark comes with the first segment
    queued.push_back(std::make_unique<cmpp::CmppSubmit>(r));
    return 0;
  });
  poller->SendMTMsg();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(Query("SELECT SubmitState, ClaimedBy, COUNT(*) FROM Submit GROUP BY 1, 2"),
            "2\tme\t2\n");
  poller->SendMTMsg();
  EXPECT_EQ(queued.size(), 2u) << "a queued row was sent again before its write";
  EXPECT_EQ(counters_.givenBack.load(), 0u);
  EXPECT_EQ(counters_.claimed.load(), 2u) << "a row in flight counted as claimed at every pass";

  queued[0]->Pk_number = 1;
  Written(*queued[0]);
  queued[0]->Pk_number = 2;
  Written(*queued[0]);  // the second segment marks nothing more
  EXPECT_EQ(Query("SELECT Mobile, SubmitState, SMSCount FROM Submit ORDER BY 1"),
            "13800000000\t1\t2\n13800000001\t2\tNULL\n");
  EXPECT_EQ(inFlight_.Size(), 1u);
  EXPECT_EQ(counters_.handedOver.load(), 2u);
}

TEST_F(ClaimingPoller, AbandonedHandedOverRowIsRecordedUnansweredOnce) {
  AddRows(2);
  Query(
      "UPDATE Submit SET SubmitState = 1, ClaimedBy = 'dead', ClaimTime = NOW() - INTERVAL "
      "700 SECOND WHERE Mobile = '13800000000'");
  Query(
      "UPDATE Submit SET SubmitState = 1, ClaimedBy = 'alive', ClaimTime = NOW() "
      "WHERE Mobile = '13800000001'");
  int calls = 0;
  auto poller = MakePoller([&](cmpp::CmppSubmit&) { return ++calls, 0; });
  poller->SendMTMsg();
  EXPECT_EQ(calls, 0) << "a handed-over row was sent again";
  EXPECT_EQ(Query("SELECT Mobile, SubmitResult FROM SubmitLog"), "13800000000\t-1\n");
  EXPECT_EQ(Query("SELECT Mobile FROM Submit"), "13800000001\n");
  EXPECT_EQ(counters_.recovered.load(), 1u);
}

// A queued row whose first segment could not be written for want of a
// logged-in link (the links stop before the queue is run at a stop) goes
// back for any instance; any other write failure is recorded as before,
// and so is a row of which a segment was written.
TEST_F(ClaimingPoller, RowNeverWrittenForWantOfALinkGoesBack) {
  struct Case {
    const char* name;
    int error;          // the write's code for the first segment
    bool firstWritten;  // the first segment went out, the second failed
    bool givenBack;
  };
  const Case cases[] = {
      {"no logged-in link", cmpp::kErrNotLoggedIn, false, true},
      {"socket error", ECONNRESET, false, false},
      {"second segment without a link", cmpp::kErrNotLoggedIn, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Query("DELETE FROM Submit");
    AddRows(1);
    std::unique_ptr<cmpp::CmppSubmit> queued;
    auto poller = MakePoller([&](cmpp::CmppSubmit& r) {
      r.Pk_total = 2;
      queued = std::make_unique<cmpp::CmppSubmit>(r);
      return 0;
    });
    poller->SendMTMsg();
    ASSERT_TRUE(queued);
    cmpp::CmppSubmit first = *queued;
    first.Pk_number = 1;
    cmpp::CmppSubmit second = *queued;
    second.Pk_number = 2;
    bool firstBack = false;
    if (c.firstWritten) {
      Written(first);
      second.lastError = c.error;
    } else {
      first.lastError = second.lastError = c.error;
      firstBack = GiveBackUnwritten(gateway_.get(), first, inFlight_);
    }
    const bool secondBack = GiveBackUnwritten(gateway_.get(), second, inFlight_);
    EXPECT_EQ(firstBack, c.givenBack);
    EXPECT_EQ(secondBack, c.givenBack) << "the later segment must follow the first";
    EXPECT_EQ(Query("SELECT SubmitState, COALESCE(ClaimedBy, '-') FROM Submit"),
              c.givenBack ? "0\t-\n" : (c.firstWritten ? "1\tme\n" : "2\tme\n"));
    EXPECT_EQ(inFlight_.Size(), 0u);
  }
}

// An id past 32 bits is taken over and recorded as itself, not as its low
// half (which would record the outcome of another row, or of none).
TEST_F(ClaimingPoller, AbandonedRowWithIdPast32BitsIsRecordedUnderItsOwnId) {
  Query(
      "INSERT INTO Submit (SubmitID, ServiceId, Mobile, Msg, SubmitState, ClaimedBy, ClaimTime) "
      "VALUES (4294967301, 'SVC', '13800000009', 'm', 1, 'dead', NOW() - INTERVAL 700 SECOND)");
  auto poller = MakePoller([](cmpp::CmppSubmit&) { return 0; });
  poller->SendMTMsg();
  EXPECT_EQ(Query("SELECT SubmitID, SubmitResult FROM SubmitLog"), "4294967301\t-1\n");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM Submit"), "0\n");
}

}  // namespace
}  // namespace brivane::sp
