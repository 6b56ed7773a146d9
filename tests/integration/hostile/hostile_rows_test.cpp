// Submit rows meant to hurt the MT pass, each followed by a normal row, on
// SQLite with the real brivane and simulator: a 100 KB Msg, NULL in every
// nullable column, a 200-character Mobile and WAP Push addresses that GBK
// cannot hold or that are not text at all. Each hostile row gets an outcome
// in SubmitLog and a level-2 line naming its SubmitID when its content was
// changed or its number is missing, and the normal row after it goes out.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

// The push body's fixed head, in hex; the address, text and
// their terminators follow.
constexpr const char* kPushHead = "0605040B8423F025060803AE81EAAF82B48402056A0045C6080C03";

class HostileRows : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sys_.Start(&error)) << error;
  }

  // Inserts with plain SQL (columns and values as given) and returns the id.
  std::uint32_t InsertRaw(const std::string& columns, const std::string& values) {
    EXPECT_TRUE(sys_.Exec("INSERT INTO Submit (" + columns + ") VALUES (" + values + ")"));
    return static_cast<std::uint32_t>(sys_.Scalar("SELECT MAX(SubmitID) FROM Submit"));
  }

  std::uint32_t InsertNormal(const std::string& mobile) {
    MtRow row;
    row.mobile = mobile;
    row.msg = "normal row after a hostile one";
    return sys_.InsertSubmits({row}).at(0);
  }

  // Waits until `id` has left Submit and has `segments` rows in SubmitLog;
  // returns those rows.
  std::vector<DbRow> Outcome(std::uint32_t id, long long segments = 1) {
    const std::string sid = std::to_string(id);
    EXPECT_TRUE(
        sys_.WaitScalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitID = " + sid, segments, 40s))
        << "row " << id << " has "
        << sys_.Scalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitID = " + sid)
        << " outcomes; Submit: "
        << sys_.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitID = " + sid) << "\n"
        << sys_.Log();
    EXPECT_EQ(sys_.Scalar("SELECT COUNT(*) FROM Submit WHERE SubmitID = " + sid), 0);
    return sys_.Query("SELECT * FROM SubmitLog WHERE SubmitID = " + sid + " ORDER BY rowid");
  }

  void ExpectNormalSent(const std::string& mobile) {
    const std::uint32_t id = InsertNormal(mobile);
    const auto rows = Outcome(id);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Int("SubmitResult"), 0);
  }

  // Level-2 lines (every line of the log is at most level 4) that name `id`.
  std::size_t LinesNaming(std::uint32_t id, const std::string& part) {
    return sys_.LogCount("SubmitID=" + std::to_string(id) + "|" + part);
  }

  // The simulator's SUBMITs to `mobile`.
  std::vector<std::string> SubmitsTo(const std::string& mobile) {
    std::vector<std::string> out;
    for (const std::string& s : sys_.SmgSubmits())
      if (JsonValue(s, "Dest_terminal_Id") == mobile) out.push_back(s);
    return out;
  }

  E2eSystem sys_;
};

TEST_F(HostileRows, HundredKilobyteMsgIsCutToTheContentFieldAndSaysSo) {
  // ASCII: cut to 8192 bytes, 54 slices of 150 and one of 92.
  const std::uint32_t ascii =
      InsertRaw("Mobile, Msg", "'13800003001', " + sys_.Quote(std::string(100 * 1024, 'a')));
  // UCS-2: 51200 characters cut to 4096, 61 slices of 67 and one of 9.
  std::string chinese;
  for (int i = 0; i < 51200 / 2; ++i) chinese += "短信";
  const std::uint32_t ucs2 = InsertRaw("Mobile, Msg", "'13800003002', " + sys_.Quote(chinese));

  // A split row's outcome is recorded at least once (the answer to the
  // segment written last always finds the row; earlier ones may).
  for (const auto& row : Outcome(ascii)) EXPECT_EQ(row.Int("SubmitResult"), 0);
  for (const auto& row : Outcome(ucs2)) EXPECT_EQ(row.Int("SubmitResult"), 0);
  EXPECT_EQ(LinesNaming(ascii, "Msg too long, cut to 8192 bytes;"), 1u) << sys_.Log();
  EXPECT_EQ(LinesNaming(ucs2, "Msg too long, cut to 8192 bytes;"), 1u);
  ASSERT_TRUE(sys_.Smg().WaitStat("submits", 55 + 62, 30s));
  EXPECT_EQ(SubmitsTo("13800003001").size(), 55u);
  EXPECT_EQ(SubmitsTo("13800003002").size(), 62u);
  ExpectNormalSent("13800003003");
}

TEST_F(HostileRows, NullInEveryNullableColumnStillGetsAnOutcome) {
  const std::string nulls = "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL";
  const std::string columns =
      "ServiceId, FeeType, FeeCode, SrcId, Mobile, PushURL, Msg, LinkId, MsgFmt, SMSCount, "
      "SendTime";
  const std::uint32_t text = InsertRaw(columns, nulls);
  const std::uint32_t push = InsertRaw(columns + ", ISWappush", nulls + ", 1");
  for (std::uint32_t id : {text, push}) {
    SCOPED_TRACE(id);
    const auto rows = Outcome(id);
    ASSERT_EQ(rows.size(), 1u);
    // The simulator takes an empty destination; a real SMG answers with its
    // own error code, which is recorded the same way.
    EXPECT_EQ(rows[0].Int("SubmitResult"), 0);
    EXPECT_EQ(LinesNaming(id, "Mobile is empty;"), 1u) << sys_.Log();
  }
  // NULL texts go out empty: no number, no content, the SPID as Src_Id,
  // and for the push an empty address and text inside a whole body.
  ASSERT_TRUE(sys_.Smg().WaitStat("submits", 2, 10s));
  const auto sent = SubmitsTo("");
  ASSERT_EQ(sent.size(), 2u);
  // The two rows may go out on different links, so the simulator may see
  // them in either order: tell them apart by the push's format.
  const bool pushFirst = JsonValue(sent[0], "Msg_Fmt") == "4";
  const std::string& plain = sent[pushFirst ? 1 : 0];
  const std::string& pushed = sent[pushFirst ? 0 : 1];
  EXPECT_EQ(JsonValue(plain, "Msg_Length"), "0");
  EXPECT_EQ(JsonValue(plain, "Src_Id"), "10661234");
  EXPECT_EQ(JsonValue(pushed, "Msg_Fmt"), "4");
  EXPECT_EQ(JsonValue(pushed, "Msg_Content"), std::string(kPushHead) + "000103000101");
  ExpectNormalSent("13800003101");
}

TEST_F(HostileRows, MobileOfTwoHundredCharactersIsCutToTheTerminalWidthAndSaysSo) {
  std::string mobile;
  for (int i = 0; i < 20; ++i) mobile += "1380000310";
  const std::uint32_t id = InsertRaw("Mobile, Msg", sys_.Quote(mobile) + ", 'long number'");
  const auto rows = Outcome(id);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(LinesNaming(id, "Mobile longer than 32 bytes, cut;"), 1u) << sys_.Log();
  EXPECT_EQ(SubmitsTo(mobile.substr(0, 32)).size(), 1u);
  ExpectNormalSent("13800003201");
}

TEST_F(HostileRows, WapPushAddressesThatAreNotGbkGoOutWellFormedAndTheLossIsLogged) {
  // An emoji has no GBK form: the address is sent with '?' in its place,
  // which points elsewhere, so the row's line says so.
  const std::uint32_t emoji = InsertRaw("Mobile, ISWappush, PushURL, Msg",
                                        "'13800003301', 1, 'wap.example.cn/' || char(128512), 'e'");
  // Bytes that are not UTF-8, stored as text, and a BLOB in the text
  // column: what the driver hands over for them is text already (it drops
  // the invalid bytes, and renders the BLOB as its X'..' literal), so
  // these go out as that text, well-formed, without a line.
  const std::uint32_t bytes = InsertRaw("Mobile, ISWappush, PushURL, Msg",
                                        "'13800003302', 1, CAST(X'77FF80FE2E636E' AS TEXT), 'b'");
  const std::uint32_t blob =
      InsertRaw("Mobile, ISWappush, PushURL, Msg", "'13800003303', 1, X'00FF0102', 'c'");
  for (std::uint32_t id : {emoji, bytes, blob}) {
    SCOPED_TRACE(id);
    const auto rows = Outcome(id);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Int("SubmitResult"), 0);
  }
  ASSERT_TRUE(sys_.Smg().WaitStat("submits", 3, 10s));
  const auto sent = [&](const char* mobile) {
    const auto list = SubmitsTo(mobile);
    EXPECT_EQ(list.size(), 1u) << mobile;
    return list.empty() ? std::string() : JsonValue(list[0], "Msg_Content");
  };
  const auto body = [](const std::string& address, const std::string& text) {
    return kPushHead + Hex(address) + "000103" + Hex(text) + "000101";
  };
  EXPECT_EQ(sent("13800003301"), body("wap.example.cn/?", "e"));
  EXPECT_EQ(LinesNaming(emoji, "WAP Push address or text holds characters GBK lacks"), 1u)
      << sys_.Log();
  const std::string fromBytes = sent("13800003302");
  EXPECT_EQ(fromBytes.rfind(kPushHead, 0), 0u) << fromBytes;
  EXPECT_EQ(fromBytes.substr(fromBytes.size() - 10), "0362000101") << fromBytes;
  EXPECT_EQ(sent("13800003303"), body("X'00FF0102'", "c"));
  ExpectNormalSent("13800003304");
}

}  // namespace
}  // namespace brivane::test
