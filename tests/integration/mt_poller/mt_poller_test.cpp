#include "sp/mt_poller.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "support/sqlite_gateway.h"

namespace brivane::sp {
namespace {

using std::chrono::milliseconds;

// What the SP client saw of one row.
struct Seen {
  std::uint64_t id;
  std::string mobile, src, serviceId, linkId;
  std::uint8_t fmt, udhi;
  std::vector<std::uint8_t> content;
};

class MtPollerTest : public test::SqliteGatewayTest {
 protected:
  int Count(const std::string& where) {
    std::lock_guard lock(gateway_->Lock(db::DbLink::kMain));
    db::Recordset rs =
        gateway_->DBConnection().Execute("SELECT COUNT(*) AS n FROM Submit WHERE " + where);
    return rs.GetInt("n");
  }

  void AddRow(const std::string& mobile, const std::string& msg, const std::string& extra = "",
              const std::string& extraValues = "") {
    Exec("INSERT INTO Submit (ServiceId, FeeType, FeeCode, Mobile, Msg" + extra +
         ") VALUES ('SVC', '01', '000000', '" + mobile + "', '" + msg + "'" + extraValues + ")");
  }

  MtPoller MakePoller(int limit, std::function<int(cmpp::CmppSubmit&)> submit = {}) {
    MtPollerSettings s;
    s.submitQuery = "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT " + std::to_string(limit);
    s.mtSpeedLimit = limit;
    s.spCorpId = "901234";
    s.spId = "10661234";
    s.terminalIdLength = 21;
    if (!submit) {
      submit = [this](cmpp::CmppSubmit& r) {
        Seen one{r.recordId, r.Dest_terminal_Id, r.Src_Id,  r.Service_Id,
                 r.LinkID,   r.Msg_Fmt,          r.TP_udhi, {}};
        one.content.assign(r.Msg_Content, r.Msg_Content + r.Msg_Length);
        seen_.push_back(one);
        // The client splits long texts; mimic its segment count.
        std::uint32_t single = r.Msg_Fmt == 0 ? 159 : 140;
        std::uint32_t slice = r.Msg_Fmt == 0 ? 150 : 134;
        r.Pk_total = r.Msg_Length > single ? (r.Msg_Length + slice - 1) / slice : 1;
        return 0;
      };
    }
    return MtPoller(
        *gateway_, s, submit, stop_, idle_,
        [this](milliseconds d) { pauses_.push_back(d.count()); }, {}, &keptOut_);
  }

  // The rows kept out, as the process holds them across in-place restarts.
  KeptOutRows keptOut_{4};

  std::atomic<std::int32_t> stop_{0}, idle_{1};
  std::vector<Seen> seen_;
  std::vector<long> pauses_;
};

TEST_F(MtPollerTest, RowsBecomeRecordsAndLeaveStateZero) {
  AddRow("13800000001", "Hello");
  AddRow("13800000002", "你好");
  Exec(
      "INSERT INTO Submit (Mobile, Msg, SrcId, LinkId) VALUES ('13800000003', 'x', '106699', "
      "'LNK1')");
  Exec(
      "INSERT INTO Submit (Mobile, Msg, ISWappush, PushURL) VALUES ('13800000004', 'News', 1, "
      "'wap.test.com')");
  MtPoller poller = MakePoller(20);
  EXPECT_TRUE(poller.SendMTMsg());
  ASSERT_EQ(seen_.size(), 4u);
  EXPECT_EQ(seen_[0].fmt, 0);
  EXPECT_EQ(std::string(seen_[0].content.begin(), seen_[0].content.end()), "Hello");
  EXPECT_EQ(seen_[0].src, "10661234") << "SrcId NULL takes the SPID setting";
  EXPECT_EQ(seen_[0].serviceId, "SVC");
  EXPECT_EQ(seen_[1].fmt, 8);
  EXPECT_EQ(seen_[1].content, (std::vector<std::uint8_t>{0x4F, 0x60, 0x59, 0x7D}));
  EXPECT_EQ(seen_[2].src, "106699");
  EXPECT_EQ(seen_[2].linkId, "LNK1");
  EXPECT_EQ(seen_[3].fmt, 4);
  EXPECT_EQ(seen_[3].udhi, 1);
  EXPECT_EQ(seen_[3].content.size(), 49u);
  EXPECT_EQ(Count("SubmitState = 0"), 0);
  EXPECT_EQ(Count("SubmitState = 1 AND SMSCount = 1"), 4);
  EXPECT_EQ(pauses_, (std::vector<long>{1000}));
  EXPECT_TRUE(idle_);
}

TEST_F(MtPollerTest, PacingPausesAfterTheLimitAndProportionallyAtTheEnd) {
  // 25 single-segment rows, limit 20: the query takes 20; then the next pass 5.
  for (int i = 0; i < 25; ++i) AddRow("1380000" + std::to_string(1000 + i), "m");
  MtPoller poller = MakePoller(20);
  poller.SendMTMsg();
  EXPECT_EQ(seen_.size(), 20u);
  EXPECT_EQ(pauses_, (std::vector<long>{1000})) << "a pause after the 20th, no end pause";
  pauses_.clear();
  poller.SendMTMsg();
  EXPECT_EQ(seen_.size(), 25u);
  EXPECT_EQ(pauses_, (std::vector<long>{1000}));

  // A 3-segment row lifting the count from 18 to 21 pauses and restarts at 0,
  // so the one row after it gives an end pause of 1 * 1000 / 20 + 1 ms.
  seen_.clear();
  pauses_.clear();
  for (int i = 0; i < 18; ++i) AddRow("1390000" + std::to_string(1000 + i), "m");
  AddRow("13911112222", std::string(400, 'L'));
  AddRow("13911112223", "m");
  AddRow("13911112224", "m");
  poller.SendMTMsg();
  EXPECT_EQ(seen_.size(), 20u);
  EXPECT_EQ(pauses_, (std::vector<long>{1000, 1 * 1000 / 20 + 1}));
  EXPECT_EQ(Count("SMSCount = 3"), 1);
  poller.SendMTMsg();
  EXPECT_EQ(seen_.size(), 21u);
}

// The time spent sending comes off the pause that ends a window, so the
// rate stays at the limit: at 500 per second a flat one-second pause after
// 300 ms of sending gave 385 segments per second.
TEST_F(MtPollerTest, PacingTakesTheSendingTimeOffThePauseSoTheRateStaysAtTheLimit) {
  for (int i = 0; i < 25; ++i) AddRow("1380000" + std::to_string(2000 + i), "m");
  MtPollerSettings s;
  s.submitQuery = "SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20";
  s.mtSpeedLimit = 20;
  auto now = std::chrono::steady_clock::time_point{};
  int perRowMs = 30;  // each hand-over costs this much of the window
  MtPoller poller(
      *gateway_, s,
      [&](cmpp::CmppSubmit& r) {
        now += milliseconds(perRowMs);
        r.Pk_total = 1;
        return 0;
      },
      stop_, idle_,
      [&](milliseconds d) {
        pauses_.push_back(d.count());
        now += d;
      },
      [&] { return now; });
  poller.SendMTMsg();
  EXPECT_EQ(pauses_, (std::vector<long>{1000 - 20 * 30})) << "what is left of the second";
  pauses_.clear();
  poller.SendMTMsg();  // 5 rows, no limit reached: the pass still lasts a second
  EXPECT_EQ(pauses_, (std::vector<long>{1000 - 5 * 30}));

  // Sending slower than the limit allows: no pause at all.
  pauses_.clear();
  for (int i = 0; i < 20; ++i) AddRow("1380000" + std::to_string(3000 + i), "m");
  perRowMs = 60;
  poller.SendMTMsg();
  EXPECT_TRUE(pauses_.empty());
  EXPECT_EQ(Count("SubmitState = 0"), 0);
}

TEST_F(MtPollerTest, RefusedRowStaysWaitingAndStopEndsTheBatchAfterTheCurrentRow) {
  AddRow("13800000001", "a");
  AddRow("13800000002", "b");
  AddRow("13800000003", "c");
  int calls = 0;
  MtPoller poller = MakePoller(20, [&](cmpp::CmppSubmit& r) {
    ++calls;
    r.Pk_total = 1;
    if (calls == 1) return 16005;  // no link
    stop_ = true;                  // the service stops while this row is handled
    return 0;
  });
  poller.SendMTMsg();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(Count("SubmitState = 0"), 2) << "the refused row and the untouched row wait";
  EXPECT_EQ(Count("SubmitState = 1"), 1);
  calls = 0;
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(calls, 0) << "a pass that sees the stop returns at once";
}

// A row sent while the database refuses UpdateSubmit (the server going
// away) is still waiting in the table; sending it again on the next pass
// would reach the subscriber twice and record it twice.
TEST_F(MtPollerTest, SentRowWhoseMarkFailedIsNotSentAgainAndIsMarkedOnceTheDatabaseTakesIt) {
  AddRow("13800000001", "a");
  AddRow("13800000002", "b");
  Exec(
      "CREATE TRIGGER refuse_mark BEFORE UPDATE OF SubmitState ON Submit "
      "BEGIN SELECT RAISE(ABORT, 'the server went away'); END");
  MtPoller poller = MakePoller(20);
  poller.SendMTMsg();
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(Count("SubmitState = 0"), 2);

  // Still refused: the two rows stay skipped, a new one goes out.
  AddRow("13800000003", "c");
  poller.SendMTMsg();
  ASSERT_EQ(seen_.size(), 3u) << "a row was sent a second time";
  EXPECT_EQ(seen_[2].mobile, "13800000003");

  // Taken again: every row is marked, nothing more is sent.
  Exec("DROP TRIGGER refuse_mark");
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(seen_.size(), 3u);
  EXPECT_EQ(Count("SubmitState = 1"), 3);
  EXPECT_EQ(Count("SubmitState = 0"), 0);
}

// The pass reads its rows as it goes, so a failed mark that reopens the
// connection in the middle of a pass takes the rest of the rows with it: the
// pass must end there, and the next one send each remaining row once.
TEST_F(MtPollerTest, AReconnectInTheMiddleOfAPassEndsItAndTheNextSendsTheRestOnce) {
  for (int i = 1; i <= 6; ++i) AddRow("1380000000" + std::to_string(i), "m");
  Exec(
      "CREATE TRIGGER refuse_mark BEFORE UPDATE OF SubmitState ON Submit WHEN OLD.SubmitID = 1 "
      "BEGIN SELECT RAISE(ABORT, 'the server went away'); END");
  // Every waiting row in one query; the pass stores its marks at each pause.
  MtPollerSettings settings;
  settings.submitQuery = "SELECT * FROM Submit WHERE SubmitState = 0 ORDER BY SubmitID";
  settings.mtSpeedLimit = 2;
  settings.spCorpId = "901234";
  settings.spId = "10661234";
  settings.terminalIdLength = 21;
  std::vector<std::uint64_t> sent;
  MtPoller whole(
      *gateway_, settings,
      [&](cmpp::CmppSubmit& r) {
        sent.push_back(r.recordId);
        return 0;
      },
      stop_, idle_, [this](milliseconds d) { pauses_.push_back(d.count()); }, {}, &keptOut_);
  EXPECT_FALSE(whole.SendMTMsg());
  EXPECT_EQ(sent, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(Count("SubmitState = 1"), 1);

  Exec("DROP TRIGGER refuse_mark");
  EXPECT_TRUE(whole.SendMTMsg());
  EXPECT_EQ(sent, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6})) << "a row was sent twice";
  EXPECT_EQ(Count("SubmitState = 1"), 6);
}

// The poller is built anew at an in-place restart; the rows whose mark
// failed must stay out all the same, and a full set stops the sending
// rather than risk a row it could not keep out.
TEST_F(MtPollerTest, KeptOutRowsSurviveANewPollerAndAFullSetSendsNothingNew) {
  Exec(
      "CREATE TRIGGER refuse_mark BEFORE UPDATE OF SubmitState ON Submit "
      "BEGIN SELECT RAISE(ABORT, 'the server went away'); END");
  for (int i = 0; i < 3; ++i) AddRow("1380000000" + std::to_string(i), "a");
  {
    MtPoller before = MakePoller(20);
    before.SendMTMsg();
  }
  ASSERT_EQ(seen_.size(), 3u);
  EXPECT_EQ(keptOut_.Size(), 3u);

  MtPoller after = MakePoller(20);
  AddRow("13800000003", "d");
  AddRow("13800000004", "e");
  after.SendMTMsg();
  // The fourth row fills the set (capacity 4); the fifth is not sent.
  ASSERT_EQ(seen_.size(), 4u) << "a kept-out row was sent again or the full set sent on";
  EXPECT_EQ(seen_[3].mobile, "13800000003");
  EXPECT_TRUE(keptOut_.Full());

  Exec("DROP TRIGGER refuse_mark");
  after.SendMTMsg();
  EXPECT_EQ(keptOut_.Size(), 0u);
  ASSERT_EQ(seen_.size(), 5u);
  EXPECT_EQ(seen_[4].mobile, "13800000004");
  EXPECT_EQ(Count("SubmitState = 1"), 5);
}

// SubmitIDs past 32 bits reach the record and the mark whole; read as 32
// bits they would mark no row (or another row) and be sent every pass.
TEST_F(MtPollerTest, SubmitIdsPast32BitsAreSentOnceAndMarkedUnderTheirOwnId) {
  const std::vector<std::uint64_t> ids = {1ull << 31, 1ull << 32, 1ull << 53};
  for (std::uint64_t id : ids)
    Exec("INSERT INTO Submit (SubmitID, Mobile, Msg) VALUES (" + std::to_string(id) +
         ", '13800000001', 'x')");
  Exec("INSERT INTO Submit (SubmitID, Mobile, Msg) VALUES (1, '13800000002', 'low')");
  MtPoller poller = MakePoller(20);
  poller.SendMTMsg();
  poller.SendMTMsg();
  ASSERT_EQ(seen_.size(), 4u) << "a row was sent twice";
  std::vector<std::uint64_t> got;
  for (const Seen& one : seen_) got.push_back(one.id);
  EXPECT_EQ(got, (std::vector<std::uint64_t>{1, 1ull << 31, 1ull << 32, 1ull << 53}));
  for (std::uint64_t id : ids)
    EXPECT_EQ(Count("SubmitState = 1 AND SubmitID = " + std::to_string(id)), 1) << id;
  EXPECT_EQ(Count("SubmitState = 1 AND SubmitID = 1"), 1);
}

TEST_F(MtPollerTest, BadQueryEndsThePassAndReopensTheConnection) {
  MtPollerSettings s;
  s.submitQuery = "SELECT * FROM NoSuchTable";
  s.mtSpeedLimit = 20;
  MtPoller poller(
      *gateway_, s, [](cmpp::CmppSubmit&) { return 0; }, stop_, idle_,
      [this](milliseconds d) { pauses_.push_back(d.count()); });
  EXPECT_FALSE(poller.SendMTMsg());
  EXPECT_TRUE(gateway_->OpenFlag(db::DbLink::kMain));
  EXPECT_EQ(pauses_, (std::vector<long>{1000}));
  EXPECT_TRUE(idle_);
}

TEST_F(MtPollerTest, OverlongMobileIsCutToTheTerminalWidth) {
  // Mobile longer than the CMPP 2.0 width is cut to 21 bytes.
  AddRow(std::string(40, '1'), "x");
  MtPoller poller = MakePoller(20);
  poller.SendMTMsg();
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].mobile, std::string(21, '1'));
}

}  // namespace
}  // namespace brivane::sp
