// The pure parts of the control commands: hex, the order list, the split of a
// concatenated MO, the kept SUBMIT list with its JSON, and the report Stat.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "cmpp/pdu.h"
#include "control.h"
#include "smg_server.h"
#include "submit_log.h"

namespace brivane::smg {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ParseHex, AcceptsEitherCaseAndDashForEmpty) {
  EXPECT_EQ(ParseHex("00aBfF"), (Bytes{0x00, 0xAB, 0xFF}));
  EXPECT_EQ(ParseHex("-"), Bytes{});
  EXPECT_EQ(ParseHex(""), Bytes{});
  EXPECT_FALSE(ParseHex("abc"));
  EXPECT_FALSE(ParseHex("0g"));
  EXPECT_FALSE(ParseHex("0 "));
}

TEST(ParseOrder, NumbersWithinTheParts) {
  std::vector<std::size_t> order;
  EXPECT_EQ(ParseOrder("2,3,1", 3, order), "");
  EXPECT_EQ(order, (std::vector<std::size_t>{2, 3, 1}));
  EXPECT_EQ(ParseOrder("-", 3, order), "");
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(ParseOrder("1,1", 2, order), "");
  EXPECT_EQ(order.size(), 2u);
  for (const char* bad : {"0", "4", "1,,2", "1,", ",1", "x", "2 3", "-1"}) {
    EXPECT_NE(ParseOrder(bad, 3, order), "") << bad;
  }
}

TEST(SplitLongMo, EightBitReferenceCarries134BytesAPart) {
  Bytes text(300);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i);
  std::vector<Bytes> parts;
  ASSERT_EQ(SplitLongMo(text, 15, false, 0xAB, parts), "");
  ASSERT_EQ(parts.size(), 3u);  // 134 + 134 + 32
  Bytes joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(Bytes(parts[i].begin(), parts[i].begin() + 6),
              (Bytes{0x05, 0x00, 0x03, 0xAB, 3, static_cast<std::uint8_t>(i + 1)}));
    EXPECT_LE(parts[i].size(), 140u);
    joined.insert(joined.end(), parts[i].begin() + 6, parts[i].end());
  }
  EXPECT_EQ(parts[0].size(), 140u);
  EXPECT_EQ(joined, text);
}

TEST(SplitLongMo, SixteenBitReferenceCarries133OrForUcs2132) {
  std::vector<Bytes> parts;
  ASSERT_EQ(SplitLongMo(Bytes(266, 'x'), 0, true, 0x1234, parts), "");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].size(), 140u);
  EXPECT_EQ(Bytes(parts[1].begin(), parts[1].begin() + 7),
            (Bytes{0x06, 0x08, 0x04, 0x12, 0x34, 2, 2}));

  ASSERT_EQ(SplitLongMo(Bytes(266, 'x'), 8, true, 1, parts), "");
  ASSERT_EQ(parts.size(), 3u) << "132 + 132 + 2";
  EXPECT_EQ(parts[0].size(), 7u + 132u);
  EXPECT_EQ(parts[2].size(), 7u + 2u);
}

TEST(SplitLongMo, RefusesWhatCannotBeSent) {
  std::vector<Bytes> parts;
  EXPECT_NE(SplitLongMo(Bytes{}, 0, false, 1, parts), "");
  EXPECT_NE(SplitLongMo(Bytes(10), 0, false, 256, parts), "");
  EXPECT_EQ(SplitLongMo(Bytes(10), 0, true, 65535, parts), "");
  EXPECT_NE(SplitLongMo(Bytes(134 * 255 + 1), 0, false, 1, parts), "") << "256 parts";
  EXPECT_EQ(SplitLongMo(Bytes(134 * 255), 0, false, 1, parts), "");
  EXPECT_EQ(parts.size(), 255u);
}

// A SUBMIT body in the given version, encoded by the codec.
Bytes SubmitBody(std::uint8_t version, const char* service) {
  auto s = std::make_unique<cmpp::CmppSubmit>();
  s->Registered_Delivery = 1;
  std::strcpy(s->Service_Id, service);
  std::strcpy(s->Src_Id, "10658000");
  s->DestUsr_tl = 2;
  const std::size_t width = cmpp::LayoutFor(version).terminalWidth;
  std::strcpy(s->Dest_terminal_Id, "13800000001");
  std::strcpy(s->Dest_terminal_Id + width, "13800000002");
  s->Msg_Fmt = 15;
  s->Msg_Length = 3;
  std::memcpy(s->Msg_Content, "\x01\xAB\xFF", 3);
  Bytes pdu(cmpp::kMaxSubmitPduLength);
  std::size_t length = 0;
  EXPECT_EQ(cmpp::EncodeSubmit(pdu, *s, version, 5, length), 0);
  return Bytes(pdu.begin() + 12, pdu.begin() + static_cast<std::ptrdiff_t>(length));
}

TEST(SubmitLog, KeepsUpToItsCapacityAndRendersJson) {
  SubmitLog log(2);
  const MsgId id = MsgIdBytes(123456789012345ull);
  const Bytes v2 = SubmitBody(0x20, "A\x01\"");
  const Bytes v3 = SubmitBody(0x30, "B");
  EXPECT_TRUE(log.Add(7, 5, 0x20, true, id, v2));
  EXPECT_TRUE(log.Add(8, 6, 0x30, false, MsgId{}, v3));
  EXPECT_FALSE(log.Add(9, 7, 0x30, true, id, v3)) << "full";
  EXPECT_EQ(log.Size(), 2u);
  EXPECT_EQ(log.Dropped(), 1u);

  const auto lines = log.Json(0, 10);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("{\"index\":0,\"conn\":7,\"seq\":5,", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("\"Service_Id\":\"A\\u0001\\\"\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"DestUsr_tl\":2,\"Dest_terminal_Id\":\"13800000001,13800000002\""),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find("\"Msg_Content\":\"01ABFF\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"Msg_Id\":\"123456789012345\"}"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"index\":1,"), std::string::npos);
  EXPECT_NE(lines[1].find("\"Msg_Id\":\"\"}"), std::string::npos) << "never answered";

  EXPECT_EQ(log.Json(1, 10).size(), 1u);
  EXPECT_EQ(log.Json(2, 10).size(), 0u);
  EXPECT_EQ(log.Json(0, 1).size(), 1u);
  log.Clear();
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_TRUE(log.Add(1, 1, 0x30, true, id, v3));
}

TEST(SubmitLog, SpansChunksWithoutMixingBodies) {
  SubmitLog log(10000);
  const Bytes body = SubmitBody(0x30, "C");
  // About 230 bytes each: several 1 MiB chunks.
  for (std::uint32_t i = 0; i < 10000; ++i) {
    ASSERT_TRUE(log.Add(1, i, 0x30, true, MsgIdBytes(i), body));
  }
  const auto lines = log.Json(9998, 5);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("\"seq\":9999,"), std::string::npos);
  EXPECT_NE(lines[1].find("\"Msg_Content\":\"01ABFF\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"Msg_Id\":\"9999\""), std::string::npos);
}

TEST(ReportStat, PacksUpToSevenCharacters) {
  EXPECT_EQ(UnpackStat(PackStat("DELIVRD")), "DELIVRD");
  EXPECT_EQ(UnpackStat(PackStat("X")), "X");
  EXPECT_EQ(UnpackStat(PackStat("TOOLONGX")), "TOOLONG");
}

// Sets `setting` to each value on a fresh server and checks which values it
// takes (an empty answer) and which it refuses.
struct SettingCase {
  const char* value;
  bool accepted;
};

void ExpectSettingTakes(const char* setting, std::initializer_list<SettingCase> cases) {
  SmgOptions options;
  SmgLog log;
  SmgServer server(options, log);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(server.Set(setting, c.value).empty(), c.accepted);
  }
}

TEST(SegmentResult, TakesTwoNumbersWithinAByteAndRefusesTheRest) {
  ExpectSettingTakes("segment-result", {{"2,8", true},
                                        {"0,0", true},
                                        {"255,255", true},
                                        {"2", false},
                                        {"2,", false},
                                        {",8", false},
                                        {"256,8", false},
                                        {"2,256", false},
                                        {"-1,8", false},
                                        {"2,8x", false},
                                        {"x,8", false}});
}

TEST(AlternateResult, TakesAResultByteAndACountAndRefusesTheRest) {
  ExpectSettingTakes("alternate-result", {{"8,40", true},
                                          {"0,0", true},
                                          {"255,1000000000", true},
                                          {"8", false},
                                          {"8,", false},
                                          {",40", false},
                                          {"256,40", false},
                                          {"8,-1", false},
                                          {"8,1000000001", false},
                                          {"8,40x", false},
                                          {"x,40", false}});
}

}  // namespace
}  // namespace brivane::smg
