// CMPP_SUBMIT and CMPP_SUBMIT_RESP, both sides.
#include <gtest/gtest.h>

#include <cstring>

#include "cmpp/pdu.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

const Bytes kMsgId = FromHex("0102030405060708");

// A record as the MT poller builds it, with every field set to something
// recognisable so that a field at the wrong offset shows in the dump.
CmppSubmit SampleSubmit(std::string_view content = "0123456789") {
  CmppSubmit s{};
  std::memcpy(s.Msg_Id, kMsgId.data(), 8);
  s.Pk_total = 1;
  s.Pk_number = 1;
  s.Registered_Delivery = 1;
  s.Msg_level = 3;
  std::strcpy(s.Service_Id, "HELP");
  s.Fee_UserType = 2;
  std::strcpy(s.Fee_terminal_Id, "13800138000");
  s.Fee_terminal_type = 1;
  s.TP_pId = 4;
  s.TP_udhi = 5;
  s.Msg_Fmt = 15;
  std::strcpy(s.Msg_src, "901234");
  std::strcpy(s.FeeType, "02");
  std::strcpy(s.FeeCode, "000010");
  std::strcpy(s.ValId_Time, "091231235959032+");
  std::strcpy(s.At_Time, "090101000000000+");
  std::strcpy(s.Src_Id, "1065801234");
  s.DestUsr_tl = 1;
  std::strcpy(s.Dest_terminal_Id, "13900139000");
  s.Dest_terminal_type = 1;
  s.Msg_Length = static_cast<std::uint32_t>(content.size());
  std::memcpy(s.Msg_Content, content.data(), content.size());
  std::strcpy(s.LinkID, "LINK-0123456789ABCDE");  // 20 characters
  s.recordId = 77;
  return s;
}

Bytes Encode(const CmppSubmit& s, std::uint8_t version, std::uint32_t seq, int* code = nullptr) {
  Bytes out(kMaxSubmitPduLength, 0xEE);
  std::size_t n = 0;
  const int c = EncodeSubmit(out, s, version, seq, n);
  if (code) *code = c;
  out.resize(n);
  return out;
}

// The expected PDU, field by field from the layout tables.
Wire ExpectedHead(std::uint32_t total, std::uint32_t seq) {
  return Wire()
      .U32(total)
      .U32(kCmppSubmit)
      .U32(seq)
      .Raw(kMsgId)
      .U8(1)
      .U8(1)
      .U8(1)
      .U8(3)
      .Text("HELP", 10)
      .U8(2);
}

TEST(Submit, Cmpp2OneDestinationTenBytesIs169) {
  const Bytes expected = ExpectedHead(169, 0x11223344)
                             .Text("13800138000", 21)  // Fee_terminal_Id at 35
                             .U8(4)
                             .U8(5)
                             .U8(15)  // TP_pId TP_udhi Msg_Fmt at 56
                             .Text("901234", 6)
                             .Text("02", 2)
                             .Text("000010", 6)
                             .Text("091231235959032+", 17)
                             .Text("090101000000000+", 17)
                             .Text("1065801234", 21)  // Src_Id at 107
                             .U8(1)                   // DestUsr_tl at 128
                             .Text("13900139000", 21)
                             .U8(10)
                             .Text("0123456789", 10)
                             .Text("LINK-012", 8)  // Reserve: first 8 LinkID bytes
                             .bytes();
  ASSERT_EQ(expected.size(), 169u);
  const Bytes pdu = Encode(SampleSubmit(), 0x20, 0x11223344);
  EXPECT_EQ(Hex(pdu), Hex(expected));
  EXPECT_EQ(pdu[128], 1);   // DestUsr_tl
  EXPECT_EQ(pdu[150], 10);  // Msg_Length at 129 + 21
}

TEST(Submit, Cmpp3OneDestinationTenBytesIs205) {
  const Bytes expected = ExpectedHead(205, 9)
                             .Text("13800138000", 32)
                             .U8(1)  // Fee_terminal_type at 67
                             .U8(4)
                             .U8(5)
                             .U8(15)
                             .Text("901234", 6)
                             .Text("02", 2)
                             .Text("000010", 6)
                             .Text("091231235959032+", 17)
                             .Text("090101000000000+", 17)
                             .Text("1065801234", 21)  // Src_Id stays 21, at 119
                             .U8(1)                   // DestUsr_tl at 140
                             .Text("13900139000", 32)
                             .U8(1)  // Dest_terminal_type
                             .U8(10)
                             .Text("0123456789", 10)
                             .Text("LINK-0123456789ABCDE", 20)
                             .bytes();
  ASSERT_EQ(expected.size(), 205u);
  const Bytes pdu = Encode(SampleSubmit(), 0x30, 9);
  EXPECT_EQ(Hex(pdu), Hex(expected));
  EXPECT_EQ(pdu[140], 1);
  EXPECT_EQ(pdu[174], 10);  // Msg_Length at 142 + 32
}

TEST(Submit, VersionByteAbove32SelectsCmpp3) {
  EXPECT_EQ(Encode(SampleSubmit(), 33, 1).size(), 205u);
  EXPECT_EQ(Encode(SampleSubmit(), 32, 1).size(), 169u);
  EXPECT_EQ(Encode(SampleSubmit(), 0, 1).size(), 169u);
}

TEST(Submit, DestinationsArePackedAtTheTerminalWidth) {
  CmppSubmit s = SampleSubmit("");
  s.DestUsr_tl = 3;
  std::memset(s.Dest_terminal_Id, 0, sizeof s.Dest_terminal_Id);
  for (int i = 0; i < 3; ++i)
    std::strcpy(s.Dest_terminal_Id + 32 * i, std::to_string(1390000 + i).c_str());
  const Bytes v3 = Encode(s, 0x30, 1);
  ASSERT_EQ(v3.size(), 163u + 3 * 32);
  EXPECT_EQ(Hex(v3.data() + 141, 96),
            Hex(Wire().Text("1390000", 32).Text("1390001", 32).Text("1390002", 32).bytes()));

  std::memset(s.Dest_terminal_Id, 0, sizeof s.Dest_terminal_Id);
  for (int i = 0; i < 3; ++i)
    std::strcpy(s.Dest_terminal_Id + 21 * i, std::to_string(1390000 + i).c_str());
  const Bytes v2 = Encode(s, 0x20, 1);
  ASSERT_EQ(v2.size(), 138u + 3 * 21);
  EXPECT_EQ(Hex(v2.data() + 129, 63),
            Hex(Wire().Text("1390000", 21).Text("1390001", 21).Text("1390002", 21).bytes()));
}

TEST(Submit, LargestContentAndDestinationCountsStillEncode) {
  CmppSubmit s = SampleSubmit(std::string(255, 'x'));
  s.DestUsr_tl = 100;
  int code = -99;
  EXPECT_EQ(Encode(s, 0x30, 1, &code).size(), 163u + 3200 + 255);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(kMaxSubmitPduLength, 163u + 3200 + 255);
  s.DestUsr_tl = 152;  // 152 * 21 = 3192 fits the 3201-byte area
  EXPECT_EQ(Encode(s, 0x20, 1, &code).size(), 138u + 152 * 21 + 255);
  EXPECT_EQ(code, 0);
}

TEST(Submit, MoreDestinationsThanTheAreaHoldsAreRefused) {
  CmppSubmit s = SampleSubmit();
  int code = 0;
  s.DestUsr_tl = 101;
  EXPECT_TRUE(Encode(s, 0x30, 1, &code).empty());
  EXPECT_EQ(code, kErrTooManyDestinations);
  s.DestUsr_tl = 153;
  EXPECT_TRUE(Encode(s, 0x20, 1, &code).empty());
  EXPECT_EQ(code, kErrTooManyDestinations);
  s.DestUsr_tl = 255;
  EXPECT_TRUE(Encode(s, 0x20, 1, &code).empty());
  EXPECT_EQ(code, kErrTooManyDestinations);
}

TEST(Submit, ContentOverOneLengthByteIsRefusedNotCut) {
  CmppSubmit s = SampleSubmit();
  int code = 0;
  for (std::uint32_t length : {256u, 300u, 8192u, 0xFFFFFFFFu}) {
    s.Msg_Length = length;
    EXPECT_TRUE(Encode(s, 0x20, 1, &code).empty()) << length;
    EXPECT_EQ(code, kErrContentTooLong) << length;
  }
  std::size_t n = 0;
  s.Msg_Length = 256;
  EXPECT_EQ(SubmitPduLength(s, 0x30, n), kErrContentTooLong);
}

TEST(Submit, TooSmallBufferIsRefusedAndUntouched) {
  Bytes out(204, 0xEE);
  std::size_t n = 99;
  EXPECT_EQ(EncodeSubmit(out, SampleSubmit(), 0x30, 1, n), kErrBufferTooSmall);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out, Bytes(204, 0xEE));
}

TEST(Submit, SmgSideRoundTripKeepsEveryCmppField) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    CmppSubmit s = SampleSubmit(std::string(140, 'm'));
    s.DestUsr_tl = 2;
    std::strcpy(s.Dest_terminal_Id + LayoutFor(version).terminalWidth, "13700137000");
    const Bytes pdu = Encode(s, version, 5);
    CmppHeader h{};
    std::uint32_t bodyLength = 0;
    ASSERT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
    Bytes body(pdu.begin() + 12, pdu.end());
    static CmppSubmit back;
    std::memset(&back, 0x5A, sizeof back);  // decoding must zero-fill first
    ASSERT_EQ(DecodeSubmit(h, body, version, back), 0) << int(version);

    // Every wire byte comes back, and what the wire does not carry is zero.
    EXPECT_EQ(Hex(Encode(back, version, 5)), Hex(pdu));
    EXPECT_STREQ(back.Service_Id, "HELP");
    EXPECT_STREQ(back.Src_Id, "1065801234");
    EXPECT_EQ(back.Msg_Length, 140u);
    EXPECT_EQ(back.Msg_Content[140], 0);
    EXPECT_EQ(back.Msg_Content[sizeof back.Msg_Content - 1], 0);
    EXPECT_EQ(back.recordId, 0u);
    EXPECT_EQ(back.Fee_terminal_type, version == 0x30 ? 1 : 0);
    EXPECT_STREQ(back.LinkID, version == 0x30 ? "LINK-0123456789ABCDE" : "LINK-012");
    EXPECT_STREQ(back.Dest_terminal_Id + LayoutFor(version).terminalWidth, "13700137000");
  }
}

TEST(Submit, SmgSideRefusesWrongTotalLength) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    Bytes pdu = Encode(SampleSubmit(), version, 5);
    pdu.push_back(0);  // one byte too long, header adjusted to match
    CmppHeader h{static_cast<std::uint32_t>(pdu.size()), kCmppSubmit, 5};
    Bytes body(pdu.begin() + 12, pdu.end());
    CmppSubmit back{};
    EXPECT_EQ(DecodeSubmit(h, body, version, back), kResultBadLength);
    // A destination count above the area is refused before any copy.
    body[version == 0x30 ? 128 : 116] = 200;
    EXPECT_EQ(DecodeSubmit(h, body, version, back), kErrTooManyDestinations);
  }
}

// ---------------------------------------------------------------- SUBMIT_RESP

int DecodeResp(const Bytes& pdu, std::uint8_t version, CmppMessage& msg, CmppAnswer& answer) {
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  EXPECT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
  Bytes body(pdu.begin() + 12, pdu.end());
  return DecodePdu(h, body, version, {}, msg, answer);
}

TEST(SubmitResp, Cmpp2ResultByte0xFFIs255) {
  static CmppMessage msg;
  CmppAnswer answer{};
  const Bytes pdu = Wire().U32(21).U32(kCmppSubmitResp).U32(1234).Raw(kMsgId).U8(0xFF).bytes();
  ASSERT_EQ(DecodeResp(pdu, 0x20, msg, answer), 0);
  EXPECT_EQ(msg.submitResp.Result, 255);
  EXPECT_EQ(msg.submitResp.Sequence_Id, 1234u);
  EXPECT_EQ(Hex(msg.submitResp.Msg_Id, 8), Hex(kMsgId));  // wire order, not swapped
  EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
}

TEST(SubmitResp, Cmpp3ResultIsFourBytesBigEndian) {
  static CmppMessage msg;
  CmppAnswer answer{};
  Bytes pdu = Wire().U32(24).U32(kCmppSubmitResp).U32(8).Raw(kMsgId).U32(0x00000108).bytes();
  ASSERT_EQ(DecodeResp(pdu, 0x30, msg, answer), 0);
  EXPECT_EQ(msg.submitResp.Result, 0x108);
  pdu = Wire().U32(24).U32(kCmppSubmitResp).U32(8).Raw(kMsgId).U32(0xFFFFFFFF).bytes();
  ASSERT_EQ(DecodeResp(pdu, 0x30, msg, answer), 0);
  EXPECT_EQ(msg.submitResp.Result, -1);
}

TEST(SubmitResp, WrongLengthForTheVersionGivesResult4) {
  static CmppMessage msg;
  CmppAnswer answer{};
  const Bytes v2 = Wire().U32(21).U32(kCmppSubmitResp).U32(1).Raw(kMsgId).U8(0).bytes();
  const Bytes v3 = Wire().U32(24).U32(kCmppSubmitResp).U32(1).Raw(kMsgId).U32(0).bytes();
  EXPECT_EQ(DecodeResp(v2, 0x30, msg, answer), kResultBadLength);
  EXPECT_EQ(DecodeResp(v3, 0x20, msg, answer), kResultBadLength);
  EXPECT_EQ(answer.kind, CmppAnswerKind::kNone);
}

TEST(SubmitResp, SmgSideEncodesBothVersions) {
  std::uint8_t id[8];
  std::memcpy(id, kMsgId.data(), 8);
  Bytes out(32);
  out.resize(EncodeSubmitResp(out, 0x20, 3, id, 0x1FF));  // 2.0 keeps the low byte
  EXPECT_EQ(Hex(out), Hex(Wire().U32(21).U32(kCmppSubmitResp).U32(3).Raw(kMsgId).U8(0xFF).bytes()));
  out.assign(32, 0);
  out.resize(EncodeSubmitResp(out, 0x30, 3, id, 0x1FF));
  EXPECT_EQ(Hex(out),
            Hex(Wire().U32(24).U32(kCmppSubmitResp).U32(3).Raw(kMsgId).U32(0x1FF).bytes()));
}

}  // namespace
}  // namespace brivane::cmpp
