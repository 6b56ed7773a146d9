// CMPP_DELIVER (MO message and status report) and CMPP_DELIVER_RESP, both sides.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cmpp/pdu.h"
#include "cmpp/queued_deliver.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

const Bytes kMsgId = FromHex("8877665544332211");
const Bytes kReportMsgId = FromHex("0102030405060708");

// A DELIVER as the SMG sends it, from the body layout table.
Bytes MoDeliver(std::uint8_t version, const Bytes& content, std::uint8_t registered = 0,
                int totalAdjust = 0) {
  const bool v3 = version > 32;
  const std::uint32_t total =
      static_cast<std::uint32_t>(12 + (v3 ? 97 : 73) + content.size()) + totalAdjust;
  Wire w;
  w.U32(total).U32(kCmppDeliver).U32(0xA0B0C0D0);
  w.Raw(kMsgId).Text("10658", 21).Text("HELP", 10).U8(1).U8(0).U8(15);
  w.Text("13912345678", v3 ? 32 : 21);
  if (v3) w.U8(1);  // Src_terminal_type
  w.U8(registered).U8(static_cast<std::uint8_t>(content.size())).Raw(content);
  if (v3) {
    w.Text("LINKID-ABCDEFGHIJKLM", 20);
  } else {
    w.Text("RESERVE!", 8);
  }
  Bytes b = w.bytes();
  if (totalAdjust > 0) b.insert(b.end(), totalAdjust, 0);
  if (totalAdjust < 0) b.resize(b.size() + totalAdjust);
  return b;
}

Bytes ReportContent(std::uint8_t version) {
  return Wire()
      .Raw(kReportMsgId)
      .Text("DELIVRD", 7)
      .Text("1207023117", 10)
      .Text("1207023120", 10)
      .Text("13912345678", version > 32 ? 32 : 21)
      .U32(0xCAFEBABE)
      .bytes();
}

struct Decoded {
  int result = -99;
  CmppAnswer answer{};
};

// Decodes into a message that starts full of junk, so that anything the
// decoder forgets to clear shows.
Decoded Decode(const Bytes& pdu, std::uint8_t version, CmppMessage& msg,
               CmppReceiveStamp stamp = {12345, "2024-01-02 03:04:05"}) {
  std::memset(&msg, 0x5A, sizeof msg);
  Decoded d;
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  EXPECT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
  Bytes body(pdu.begin() + 12, pdu.end());
  d.result = DecodePdu(h, body, version, stamp, msg, d.answer);
  return d;
}

CmppMessage& Msg() {
  static CmppMessage msg;  // 8 KiB; kept off the test's stack
  return msg;
}

TEST(DeliverMo, Cmpp2FieldsFromTheirOffsets) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x20, Bytes{'h', 'i'}), 0x20, m);
  ASSERT_EQ(d.result, 0);
  const CmppDeliver& x = m.deliver;
  EXPECT_EQ(m.header.Sequence_Id, 0xA0B0C0D0u);
  EXPECT_EQ(Hex(x.Msg_Id, 8), Hex(kMsgId));
  EXPECT_STREQ(x.Dest_Id, "10658");
  EXPECT_STREQ(x.Service_Id, "HELP");
  EXPECT_EQ(x.TP_pid, 1);
  EXPECT_EQ(x.TP_udhi, 0);
  EXPECT_EQ(x.Msg_Fmt, 15);
  EXPECT_STREQ(x.Src_terminal_Id, "13912345678");
  EXPECT_EQ(x.Src_terminal_type, 0);
  EXPECT_EQ(x.Registered_Delivery, 0);
  EXPECT_EQ(x.Msg_Length, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(x.Msg_Content)), "hi");
  EXPECT_STREQ(x.LinkID, "");  // the 2.0 Reserve is not kept
  EXPECT_EQ(x.receiveTick, 12345u);
  EXPECT_STREQ(x.receiveTime, "2024-01-02 03:04:05");
  EXPECT_EQ(d.answer.kind, CmppAnswerKind::kDeliverResp);
  EXPECT_EQ(d.answer.Sequence_Id, 0xA0B0C0D0u);
  EXPECT_EQ(Hex(d.answer.Msg_Id, 8), Hex(kMsgId));
  EXPECT_EQ(d.answer.Result, 0u);
}

TEST(DeliverMo, Cmpp3AddsSrcTerminalTypeAndLinkId) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x30, Bytes{'h', 'i'}), 0x30, m);
  ASSERT_EQ(d.result, 0);
  EXPECT_STREQ(m.deliver.Src_terminal_Id, "13912345678");
  EXPECT_EQ(m.deliver.Src_terminal_type, 1);
  EXPECT_EQ(m.deliver.Msg_Length, 2u);
  EXPECT_STREQ(m.deliver.LinkID, "LINKID-ABCDEFGHIJKLM");
}

TEST(DeliverMo, WideFieldsAreAlwaysTerminated) {
  // Every text field arrives full width with no zero in it.
  const Bytes content(10, 'c');
  Bytes pdu = MoDeliver(0x30, content);
  std::memset(pdu.data() + 12 + 8, 'D', 21);
  std::memset(pdu.data() + 12 + 29, 'S', 10);
  std::memset(pdu.data() + 12 + 42, 'T', 32);
  CmppMessage& m = Msg();
  ASSERT_EQ(Decode(pdu, 0x30, m).result, 0);
  EXPECT_EQ(std::string(m.deliver.Dest_Id), std::string(21, 'D'));
  EXPECT_EQ(std::string(m.deliver.Service_Id), std::string(10, 'S'));
  EXPECT_EQ(std::string(m.deliver.Src_terminal_Id), std::string(32, 'T'));
}

TEST(DeliverMo, Length200KeepsTheLengthButOnly160Bytes) {
  Bytes content(200);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i + 1);
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    CmppMessage& m = Msg();
    const Decoded d = Decode(MoDeliver(version, content), version, m);
    ASSERT_EQ(d.result, 0);
    EXPECT_EQ(m.deliver.Msg_Length, 200u);
    EXPECT_EQ(Hex(m.deliver.Msg_Content, 160), Hex(Bytes(content.begin(), content.begin() + 160)));
    EXPECT_EQ(Hex(m.deliver.Msg_Content + 160, 40), Hex(Bytes(40, 0)));
    EXPECT_EQ(m.deliver.Msg_Content[sizeof m.deliver.Msg_Content - 1], 0);
    if (version == 0x30) {
      EXPECT_STREQ(m.deliver.LinkID, "LINKID-ABCDEFGHIJKLM");
    }
  }
}

TEST(DeliverMo, ContentOf255Bytes) {
  CmppMessage& m = Msg();
  ASSERT_EQ(Decode(MoDeliver(0x20, Bytes(255, 'z')), 0x20, m).result, 0);
  EXPECT_EQ(m.deliver.Msg_Length, 255u);
}

TEST(DeliverMo, LongReceiveTimeIsCutToTheField) {
  CmppMessage& m = Msg();
  ASSERT_EQ(Decode(MoDeliver(0x20, {}), 0x20, m, {1, "2024-01-02 03:04:05 and more"}).result, 0);
  EXPECT_STREQ(m.deliver.receiveTime, "2024-01-02 03:04:05");
}

// A DELIVER waiting in the worker pool is held in its compact form. What a
// worker gets back must be the decoded record to the byte, whatever the
// buffer it is expanded into held before.
TEST(QueuedDeliver, GivesBackTheDecodedRecordByteForByte) {
  Bytes longContent(255);
  for (std::size_t i = 0; i < longContent.size(); ++i)
    longContent[i] = static_cast<std::uint8_t>(i + 1);
  const struct {
    const char* name;
    std::uint8_t version;
    Bytes content;
    std::uint8_t registered;
  } cases[] = {
      {"2.0 short MO", 0x20, Bytes{'h', 'i'}, 0},
      {"3.0 MO of 255 bytes", 0x30, longContent, 0},
      {"2.0 report", 0x20, ReportContent(0x20), 1},
      {"3.0 report", 0x30, ReportContent(0x30), 1},
  };
  static CmppDeliver back;  // 8 KiB; kept off the test's stack
  for (const auto& c : cases) {
    CmppMessage& m = Msg();
    ASSERT_EQ(Decode(MoDeliver(c.version, c.content, c.registered), c.version, m).result, 0)
        << c.name;
    const QueuedDeliver queued(m.deliver);
    std::memset(&back, 0xA5, sizeof back);
    EXPECT_EQ(&queued.Expand(back), &back);
    const auto* got = reinterpret_cast<const std::uint8_t*>(&back);
    const auto* want = reinterpret_cast<const std::uint8_t*>(&m.deliver);
    const auto differ = std::mismatch(got, got + sizeof back, want).first - got;
    EXPECT_EQ(differ, static_cast<std::ptrdiff_t>(sizeof back)) << c.name << ": first byte off";
  }
  EXPECT_LE(sizeof(QueuedDeliver), 512u) << "the queued form no longer saves the content area";
}

TEST(DeliverReport, Cmpp2ReportFields) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x20, ReportContent(0x20), 1), 0x20, m);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(m.deliver.Registered_Delivery, 1);
  EXPECT_EQ(m.deliver.Msg_Length, 60u);
  const CmppStatusReport r = ReportOf(m.deliver);
  EXPECT_EQ(Hex(r.Msg_Id, 8), Hex(kReportMsgId));
  EXPECT_STREQ(r.Stat, "DELIVRD");
  EXPECT_STREQ(r.Submit_time, "1207023117");
  EXPECT_STREQ(r.Done_time, "1207023120");
  EXPECT_STREQ(r.Dest_terminal_Id, "13912345678");
  EXPECT_EQ(r.SMSC_sequence, 0xCAFEBABEu);
  EXPECT_EQ(Hex(d.answer.Msg_Id, 8), Hex(kMsgId));  // the DELIVER's own, not the report's
}

TEST(DeliverReport, Cmpp3ReportFields) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x30, ReportContent(0x30), 1), 0x30, m);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(m.deliver.Msg_Length, 71u);
  const CmppStatusReport r = ReportOf(m.deliver);
  EXPECT_STREQ(r.Stat, "DELIVRD");
  EXPECT_STREQ(r.Dest_terminal_Id, "13912345678");
  EXPECT_EQ(r.SMSC_sequence, 0xCAFEBABEu);
  EXPECT_STREQ(m.deliver.LinkID, "LINKID-ABCDEFGHIJKLM");
}

TEST(DeliverReport, Length59IsAnsweredWithResult4) {
  Bytes content = ReportContent(0x20);
  content.pop_back();
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x20, content, 1), 0x20, m);
  EXPECT_EQ(d.result, kResultBadLength);
  EXPECT_EQ(d.answer.kind, CmppAnswerKind::kDeliverResp);
  EXPECT_EQ(d.answer.Result, 4u);
  // A 2.0-sized report on a 3.0 link is wrong too.
  EXPECT_EQ(Decode(MoDeliver(0x30, ReportContent(0x20), 1), 0x30, m).result, kResultBadLength);
}

TEST(Deliver, OneByteTooLongIsAnsweredWith4AndItsOwnMsgId) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    CmppMessage& m = Msg();
    const Decoded d = Decode(MoDeliver(version, Bytes{'a', 'b'}, 0, 1), version, m);
    EXPECT_EQ(d.result, kResultBadLength);
    EXPECT_EQ(d.answer.kind, CmppAnswerKind::kDeliverResp);
    EXPECT_EQ(d.answer.Result, 4u);
    EXPECT_EQ(d.answer.Sequence_Id, 0xA0B0C0D0u);
    EXPECT_EQ(Hex(d.answer.Msg_Id, 8), Hex(kMsgId));
    // Nothing more is decoded; the record reads as zero.
    EXPECT_EQ(m.deliver.Msg_Length, 0u);
    EXPECT_STREQ(m.deliver.Src_terminal_Id, "");
  }
}

TEST(Deliver, OneByteTooShortIsAnsweredWith4) {
  CmppMessage& m = Msg();
  EXPECT_EQ(Decode(MoDeliver(0x30, Bytes{'a', 'b'}, 0, -1), 0x30, m).result, kResultBadLength);
}

TEST(Deliver, RegisteredDelivery2IsAnsweredWith7) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x20, Bytes{'x'}, 2), 0x20, m);
  EXPECT_EQ(d.result, kResultBadRegisteredDelivery);
  EXPECT_EQ(d.answer.kind, CmppAnswerKind::kDeliverResp);
  EXPECT_EQ(d.answer.Result, 7u);
}

TEST(Deliver, HeaderOnlyDeliverIsAnsweredWithAZeroMsgId) {
  const Bytes pdu = Wire().U32(12).U32(kCmppDeliver).U32(3).bytes();
  CmppMessage& m = Msg();
  const Decoded d = Decode(pdu, 0x20, m);
  EXPECT_EQ(d.result, kResultBadLength);
  EXPECT_EQ(d.answer.kind, CmppAnswerKind::kDeliverResp);
  EXPECT_EQ(Hex(d.answer.Msg_Id, 8), Hex(Bytes(8, 0)));
}

TEST(Deliver, ShortBodyGivesTheBytesThatArrivedAsMsgId) {
  // Total_Length 17: five body bytes; the rest of the Msg_Id reads as zero.
  const Bytes pdu = Wire().U32(17).U32(kCmppDeliver).U32(3).Raw(FromHex("0102030405")).bytes();
  CmppMessage& m = Msg();
  const Decoded d = Decode(pdu, 0x20, m);
  EXPECT_EQ(d.result, kResultBadLength);
  EXPECT_EQ(Hex(d.answer.Msg_Id, 8), "01020304 05000000");
}

TEST(Deliver, SmallerPduAfterALargerLeavesNoStaleBytes) {
  CmppMessage& m = Msg();
  ASSERT_EQ(Decode(MoDeliver(0x20, Bytes(150, 'L')), 0x20, m).result, 0);
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  const Bytes small = MoDeliver(0x20, Bytes{'s'});
  ASSERT_EQ(ParseHeader(std::span(small).first<12>(), h, bodyLength), 0);
  CmppAnswer answer{};
  ASSERT_EQ(DecodePdu(h, Bytes(small.begin() + 12, small.end()), 0x20, {}, m, answer), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.deliver.Msg_Content)), "s");
}

// ---------------------------------------------------------------- DELIVER_RESP

TEST(DeliverResp, BothVersionsByteForByte) {
  std::uint8_t id[8];
  std::memcpy(id, kMsgId.data(), 8);
  Bytes out(32, 0xEE);
  out.resize(EncodeDeliverResp(out, 0x20, 0xA0B0C0D0, id, 4));
  EXPECT_EQ(Hex(out),
            Hex(Wire().U32(21).U32(kCmppDeliverResp).U32(0xA0B0C0D0).Raw(kMsgId).U8(4).bytes()));
  out.assign(32, 0xEE);
  out.resize(EncodeDeliverResp(out, 0x30, 0xA0B0C0D0, id, 7));
  EXPECT_EQ(Hex(out),
            Hex(Wire().U32(24).U32(kCmppDeliverResp).U32(0xA0B0C0D0).Raw(kMsgId).U32(7).bytes()));
  Bytes tiny(23);
  EXPECT_EQ(EncodeDeliverResp(tiny, 0x30, 1, id, 0), 0u);
}

TEST(DeliverResp, TheDueAnswerEncodesAsTheResponse) {
  CmppMessage& m = Msg();
  const Decoded d = Decode(MoDeliver(0x30, Bytes{'x'}, 2), 0x30, m);
  Bytes out(kMaxAnswerLength);
  out.resize(EncodeAnswer(out, 0x30, d.answer));
  EXPECT_EQ(Hex(out),
            Hex(Wire().U32(24).U32(kCmppDeliverResp).U32(0xA0B0C0D0).Raw(kMsgId).U32(7).bytes()));

  // The SMG side reads it back.
  CmppDeliverResp resp{};
  CmppHeader h{24, kCmppDeliverResp, 0xA0B0C0D0};
  ASSERT_EQ(DecodeDeliverResp(h, std::span(out).subspan(12), 0x30, resp), 0);
  EXPECT_EQ(resp.Result, 7u);
  EXPECT_EQ(Hex(resp.Msg_Id, 8), Hex(kMsgId));
  EXPECT_EQ(DecodeDeliverResp(h, std::span(out).subspan(12), 0x20, resp), kResultBadLength);
}

// ---------------------------------------------------------------- SMG side

TEST(DeliverSmg, MoRoundTripsByteForByte) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    CmppMessage& m = Msg();
    const Bytes wire = MoDeliver(version, Bytes(140, 'q'));
    ASSERT_EQ(Decode(wire, version, m).result, 0);
    Bytes out(kMaxDeliverPduLength);
    std::size_t n = 0;
    ASSERT_EQ(EncodeDeliver(out, m.deliver, version, 0xA0B0C0D0, n), 0);
    out.resize(n);
    Bytes want = wire;
    if (version == 0x20)
      std::memset(want.data() + want.size() - 8, 0, 8);  // Reserve goes out as zeros
    EXPECT_EQ(Hex(out), Hex(want)) << int(version);
  }
}

TEST(DeliverSmg, ReportIsBuiltFromTheRecordReport) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    static CmppDeliver d;
    d = {};
    std::memcpy(d.Msg_Id, kMsgId.data(), 8);
    std::strcpy(d.Dest_Id, "10658");
    std::strcpy(d.Service_Id, "HELP");
    d.TP_pid = 1;
    d.Msg_Fmt = 15;
    std::strcpy(d.Src_terminal_Id, "13912345678");
    d.Src_terminal_type = 1;
    d.Registered_Delivery = 1;
    d.Msg_Length = 999;  // ignored for a report
    std::strcpy(d.LinkID, "LINKID-ABCDEFGHIJKLM");
    CmppStatusReport r{};
    std::memcpy(r.Msg_Id, kReportMsgId.data(), 8);
    std::strcpy(r.Stat, "DELIVRD");
    std::strcpy(r.Submit_time, "1207023117");
    std::strcpy(r.Done_time, "1207023120");
    std::strcpy(r.Dest_terminal_Id, "13912345678");
    r.SMSC_sequence = 0xCAFEBABE;
    SetReport(d, r);

    Bytes out(kMaxDeliverPduLength);
    std::size_t n = 0;
    ASSERT_EQ(EncodeDeliver(out, d, version, 0xA0B0C0D0, n), 0);
    out.resize(n);
    Bytes want = MoDeliver(version, ReportContent(version), 1);
    if (version == 0x20) std::memset(want.data() + want.size() - 8, 0, 8);
    EXPECT_EQ(Hex(out), Hex(want)) << int(version);
  }
}

TEST(DeliverSmg, OverlongMoIsRefused) {
  static CmppDeliver d;
  d = {};
  d.Msg_Length = 256;
  Bytes out(kMaxDeliverPduLength, 0xEE);
  std::size_t n = 0;
  EXPECT_EQ(EncodeDeliver(out, d, 0x30, 1, n), kErrContentTooLong);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out, Bytes(kMaxDeliverPduLength, 0xEE));
}

}  // namespace
}  // namespace brivane::cmpp
