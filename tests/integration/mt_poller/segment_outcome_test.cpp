// The SP client's record of a long row's segments against the shipped
// SQLite procedures: each SUBMIT_RESP, in whatever order the workers run
// them, gives its own SubmitLog row with its own Msg_Id and Result; a
// response that comes twice, or for nothing pending, records nothing more.

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "sp/sp_client.h"
#include "support/sqlite_gateway.h"

namespace brivane::sp {
namespace {

class Host : public SpHost {
 public:
  explicit Host(db::DbGateway& gateway) : gateway_(gateway) {}
  db::DbGateway* Database() override { return &gateway_; }
  const RouteTable& Routes() const override { return routes_; }
  ForwardSettings Forwarding() const override { return {}; }

 private:
  db::DbGateway& gateway_;
  RouteTable routes_;
};

class SegmentOutcomeTest : public test::SqliteGatewayTest {
 protected:
  std::int64_t NewRow() {
    Exec("INSERT INTO Submit (Mobile, Msg, MsgFmt, SMSCount) VALUES ('13800000001', 'long', 0, 3)");
    std::lock_guard lock(gateway_->Lock(db::DbLink::kMain));
    db::Recordset rs = gateway_->DBConnection().Execute("SELECT MAX(SubmitID) AS id FROM Submit");
    return rs.GetInt64("id");
  }

  // SubmitLog rows of one row as (Msg_Id text, SubmitResult), sorted.
  using Rows = std::vector<std::pair<std::string, int>>;
  Rows Logged(std::int64_t id) {
    std::lock_guard lock(gateway_->Lock(db::DbLink::kMain));
    db::Recordset rs = gateway_->DBConnection().Execute(
        "SELECT MsgId, SubmitResult FROM SubmitLog WHERE SubmitID = " + std::to_string(id));
    Rows out;
    if (rs.RecordCount() > 0) rs.MoveFirst();
    for (; !rs.Eof(); rs.MoveNext())
      out.emplace_back(rs.GetText("MsgId"), rs.GetInt("SubmitResult"));
    std::sort(out.begin(), out.end());
    return out;
  }

  static cmpp::CmppSubmit Segment(std::int64_t id, std::uint32_t sequence, std::uint8_t n) {
    cmpp::CmppSubmit s{};
    s.recordId = static_cast<std::uint64_t>(id);
    s.sequenceId = sequence;
    s.Pk_number = n;
    s.Pk_total = 3;
    return s;
  }

  static cmpp::CmppSubmitResp Resp(std::uint32_t sequence, std::uint8_t msgIdLow, int result) {
    cmpp::CmppSubmitResp r{};
    r.Msg_Id[7] = msgIdLow;
    r.Result = result;
    r.Sequence_Id = sequence;
    return r;
  }

  cmpp::CMPPConnection link_{nullptr, "T", "127.0.0.1",     1, 48, "",
                             "",      "",  cmpp::kConnMtMo, 0, 10, 60};
};

TEST_F(SegmentOutcomeTest, EveryOrderOfAnswersGivesOneLogRowPerSegment) {
  Host host(*gateway_);
  MyCMPPClient client(host);
  std::vector<int> order = {0, 1, 2};
  std::uint32_t sequence = 1000;
  do {
    SCOPED_TRACE(::testing::PrintToString(order));
    const std::int64_t id = NewRow();
    const std::uint32_t first = sequence;
    for (std::uint8_t n = 1; n <= 3; ++n) client.OnSubmitting(link_, Segment(id, sequence++, n));
    // Segment 2 is refused (Result 8); its Msg_Id low byte is 12.
    for (int k : order)
      client.OnSubmitResp(link_,
                          Resp(first + k, static_cast<std::uint8_t>(11 + k), k == 1 ? 8 : 0));
    client.OnSubmitResp(link_, Resp(first + 1, 99, 0));  // a repeated answer finds nothing
    EXPECT_EQ(client.PendingCount(), 0u);
    EXPECT_EQ(Logged(id), (Rows{{"11", 0}, {"12", 8}, {"13", 0}}));
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(SegmentOutcomeTest, AnUnwrittenSegmentIsRecordedAsAFailedWriteBesideTheAnsweredOnes) {
  Host host(*gateway_);
  MyCMPPClient client(host);
  const std::int64_t id = NewRow();
  client.OnSubmitting(link_, Segment(id, 2000, 1));
  cmpp::CmppSubmit second = Segment(id, 2001, 2);
  client.OnSubmitting(link_, second);
  second.lastError = 32;  // EPIPE
  client.OnSubmitFail(link_, second);
  cmpp::CmppSubmit third = Segment(id, 2002, 3);
  third.lastError = 32;  // not tried after the failed write
  client.OnSubmitFail(link_, third);
  client.OnSubmitResp(link_, Resp(2000, 21, 0));
  client.OnSubmitResp(link_, Resp(2001, 22, 0));  // its entry went with the failure
  EXPECT_EQ(client.PendingCount(), 0u);
  // A failed write is recorded as our own outcome "write failed" (-2).
  EXPECT_EQ(Logged(id), (Rows{{"", -2}, {"", -2}, {"21", 0}}));
}

}  // namespace
}  // namespace brivane::sp
