// Every MT row sent once and every segment accounted for, end to end: rows
// with SubmitIDs past 32 bits, long rows whose segments get outcomes of
// their own, all of one row's segments on one link in order.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

std::string InsertWithId(E2eSystem& sys, std::uint64_t id, const std::string& mobile,
                         const std::string& msg) {
  return "INSERT INTO Submit (SubmitID, ServiceId, FeeType, FeeCode, Mobile, Msg) VALUES (" +
         std::to_string(id) + ", 'E2E', '01', '000000', " + sys.Quote(mobile) + ", " +
         sys.Quote(msg) + ")";
}

// Rows with SubmitIDs 2^31, 2^32 and 2^53 go out once each and are logged
// and marked under their own ids. A row inserted after them (its id above
// 2^53) is sent too, so later passes ran: none sent the high rows again.
void HighIdsAreSentOnce(DbKind kind) {
  E2eOptions options;
  options.db = kind;
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;

  const std::vector<std::uint64_t> ids = {1ull << 31, 1ull << 32, 1ull << 53};
  for (std::size_t i = 0; i < ids.size(); ++i)
    ASSERT_TRUE(sys.Exec(InsertWithId(sys, ids[i], "1380000030" + std::to_string(i), "high id")));
  ASSERT_TRUE(sys.WaitLoggedAndMarked(3, 20s)) << sys.Log();
  const std::uint64_t after = (1ull << 53) + 1;
  ASSERT_TRUE(sys.Exec(InsertWithId(sys, after, "13800000309", "after the high ids")));
  ASSERT_TRUE(sys.WaitLoggedAndMarked(4, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 4, 20s));

  EXPECT_EQ(sys.Smg().Stats()["submits"], 4) << "a row was sent again";
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);
  std::vector<std::uint64_t> all = ids;
  all.push_back(after);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const std::string id = std::to_string(all[i]);
    SCOPED_TRACE(id);
    EXPECT_EQ(sys.LogCount("MT消息|" + id + "|"), 1u);
    EXPECT_EQ(sys.LogCount("MT应答|" + id + "|"), 1u);
    const auto log =
        sys.Query("SELECT SubmitResult, SMSCount, MsgId FROM SubmitLog WHERE SubmitID = " + id);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].Int("SubmitResult"), 0);
    EXPECT_EQ(log[0].Int("SMSCount"), 1);
    EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM StatusReport WHERE MsgId = " +
                         sys.Quote(log[0].Text("MsgId"))),
              1);
  }
}

TEST(RowOutcome, SubmitIdsPast32BitsAreSentOnceAndLoggedUnderTheirOwnIdOnSqlite) {
  HighIdsAreSentOnce(DbKind::kSqlite);
}

TEST(RowOutcome, SubmitIdsPast32BitsAreSentOnceAndLoggedUnderTheirOwnIdOnMariaDb) {
  HighIdsAreSentOnce(DbKind::kMariaDb);
}

// A 400-character row goes out as three segments; the SMG refuses the
// second with Result 8. SubmitLog keeps one row per segment answer, the
// refused one visible, and every status report joins a row by MsgId.
// Several links: all three segments still go out on one, in order.
TEST(RowOutcome, EverySegmentHasItsOwnLogRowAndARefusedMiddleSegmentIsVisible) {
  E2eOptions options;
  options.mtAndMOConnections = 3;
  // One try: the refusal is the segment's outcome, not a reason to write it
  // again.
  options.extraIni["FlowControlTries"] = "1";
  E2eSystem sys(options);
  std::string error;
  ASSERT_TRUE(sys.Start(&error)) << error;
  ASSERT_EQ(sys.Smg().Command("set segment-result 2,8"), "OK");

  std::vector<MtRow> rows(4);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].mobile = "1380000040" + std::to_string(i);
    rows[i].msg = std::string(400, static_cast<char>('a' + i));
  }
  const auto ids = sys.InsertSubmits(rows);
  ASSERT_EQ(ids.size(), rows.size());
  ASSERT_TRUE(sys.Smg().WaitStat("submits", 12, 20s)) << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM SubmitLog WHERE SMSCount = 3", 12, 20s))
      << sys.Log();
  ASSERT_TRUE(sys.WaitScalar("SELECT COUNT(*) FROM StatusReport", 8, 20s));
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM Submit"), 0);

  for (std::uint32_t id : ids) {
    SCOPED_TRACE(id);
    const auto log = sys.Query("SELECT MsgId, SubmitResult FROM SubmitLog WHERE SubmitID = " +
                               std::to_string(id) + " ORDER BY SubmitResult");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Int("SubmitResult"), 0);
    EXPECT_EQ(log[1].Int("SubmitResult"), 0);
    EXPECT_EQ(log[2].Int("SubmitResult"), 8) << "the refused segment is visible";
    std::set<std::string> msgIds;
    for (const DbRow& r : log) msgIds.insert(r.Text("MsgId"));
    EXPECT_EQ(msgIds.size(), 3u) << "each segment under its own Msg_Id";
  }
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM StatusReport r WHERE NOT EXISTS (SELECT 1 FROM "
                       "SubmitLog l WHERE l.MsgId = r.MsgId)"),
            0)
      << "every report joins a row";
  EXPECT_EQ(sys.Scalar("SELECT COUNT(*) FROM SubmitLog l JOIN StatusReport r ON r.MsgId = "
                       "l.MsgId WHERE l.SubmitResult = 0"),
            8);

  // The SUBMITs of one row, in the order the SMG read them: one link,
  // segments 1, 2, 3.
  std::map<std::string, std::vector<std::string>> byMobile;
  for (const std::string& s : sys.SmgSubmits())
    byMobile[JsonValue(s, "Dest_terminal_Id")].push_back(s);
  ASSERT_EQ(byMobile.size(), rows.size());
  for (const auto& [mobile, list] : byMobile) {
    SCOPED_TRACE(mobile);
    ASSERT_EQ(list.size(), 3u);
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(JsonValue(list[i], "conn"), JsonValue(list[0], "conn"));
      EXPECT_EQ(JsonValue(list[i], "Pk_number"), std::to_string(i + 1));
    }
  }
}

}  // namespace
}  // namespace brivane::test
