// Every PDU the decoders accept, cut short at every offset: never an
// overread (the body sits in a buffer of its exact size, so the sanitizer
// build catches one), always result 4, and the due answer still given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmpp/pdu.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

struct Vector {
  std::string name;
  std::uint8_t version;
  Bytes pdu;
};

std::vector<Vector> ReceivedVectors() {
  std::vector<Vector> v;
  std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t auth[16] = {9, 9, 9};
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    const std::string tag = version == 0x30 ? " 3.0" : " 2.0";
    Bytes b(64);
    b.resize(EncodeConnectResp(b, version, 1, 0, auth, version));
    v.push_back({"CONNECT_RESP" + tag, version, b});
    b.assign(64, 0);
    b.resize(EncodeSubmitResp(b, version, 2, id, 0));
    v.push_back({"SUBMIT_RESP" + tag, version, b});

    static CmppDeliver d;
    d = {};
    std::memcpy(d.Msg_Id, id, 8);
    std::strcpy(d.Src_terminal_Id, "13912345678");
    d.Msg_Length = 5;
    std::memcpy(d.Msg_Content, "hello", 5);
    b.assign(kMaxDeliverPduLength, 0);
    std::size_t n = 0;
    EXPECT_EQ(EncodeDeliver(b, d, version, 3, n), 0);
    b.resize(n);
    v.push_back({"DELIVER MO" + tag, version, b});

    d.Registered_Delivery = 1;
    CmppStatusReport r{};
    std::strcpy(r.Stat, "DELIVRD");
    r.SMSC_sequence = 42;
    SetReport(d, r);
    b.assign(kMaxDeliverPduLength, 0);
    EXPECT_EQ(EncodeDeliver(b, d, version, 4, n), 0);
    b.resize(n);
    v.push_back({"DELIVER report" + tag, version, b});
  }
  v.push_back({"ACTIVE_TEST", 0x20, Wire().U32(12).U32(kCmppActiveTest).U32(5).bytes()});
  v.push_back(
      {"ACTIVE_TEST_RESP", 0x20, Wire().U32(13).U32(kCmppActiveTestResp).U32(5).U8(0).bytes()});
  v.push_back({"TERMINATE", 0x20, Wire().U32(12).U32(kCmppTerminate).U32(5).bytes()});
  v.push_back({"TERMINATE_RESP", 0x20, Wire().U32(12).U32(kCmppTerminateResp).U32(5).bytes()});
  return v;
}

CmppMessage& Msg() {
  static CmppMessage msg;
  return msg;
}

TEST(Truncation, ReceivedPduCutAtEveryOffset) {
  for (const Vector& v : ReceivedVectors()) {
    CmppHeader full{};
    std::uint32_t bodyLength = 0;
    ASSERT_EQ(ParseHeader(std::span(v.pdu).first<12>(), full, bodyLength), 0) << v.name;
    CmppAnswer wholeAnswer{};
    ASSERT_EQ(
        DecodePdu(full, Bytes(v.pdu.begin() + 12, v.pdu.end()), v.version, {}, Msg(), wholeAnswer),
        0)
        << v.name;

    for (std::size_t cut = 12; cut < v.pdu.size(); ++cut) {
      const Bytes body(v.pdu.begin() + 12, v.pdu.begin() + static_cast<long>(cut));
      // The header still declares the whole PDU, but fewer bytes came ...
      CmppAnswer answer{};
      EXPECT_EQ(DecodePdu(full, body, v.version, {}, Msg(), answer), kResultBadLength)
          << v.name << " cut at " << cut;
      EXPECT_EQ(answer.kind, wholeAnswer.kind) << v.name << " cut at " << cut;
      // ... or the header was rewritten to the short length.
      CmppHeader shortHeader = full;
      shortHeader.Total_Length = static_cast<std::uint32_t>(cut);
      EXPECT_EQ(DecodePdu(shortHeader, body, v.version, {}, Msg(), answer), kResultBadLength)
          << v.name << " short header at " << cut;
      EXPECT_EQ(answer.kind, wholeAnswer.kind);
    }
  }
}

TEST(Truncation, SmgSideDecodersCutAtEveryOffset) {
  std::vector<Vector> sent;
  Bytes b(64);
  b.resize(EncodeConnect(b, "900001", "888888", 1021080510, 1, 0x30));
  sent.push_back({"CONNECT", 0x30, b});
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    static CmppSubmit s;
    s = {};
    s.DestUsr_tl = 2;
    s.Msg_Length = 7;
    b.assign(kMaxSubmitPduLength, 0);
    std::size_t n = 0;
    EXPECT_EQ(EncodeSubmit(b, s, version, 1, n), 0);
    b.resize(n);
    sent.push_back({"SUBMIT", version, b});
    std::uint8_t id[8] = {};
    b.assign(32, 0);
    b.resize(EncodeDeliverResp(b, version, 1, id, 0));
    sent.push_back({"DELIVER_RESP", version, b});
  }
  for (const Vector& v : sent) {
    CmppHeader full{};
    std::uint32_t bodyLength = 0;
    ASSERT_EQ(ParseHeader(std::span(v.pdu).first<12>(), full, bodyLength), 0);
    for (std::size_t cut = 12; cut <= v.pdu.size(); ++cut) {
      const Bytes body(v.pdu.begin() + 12, v.pdu.begin() + static_cast<long>(cut));
      CmppHeader shortHeader = full;
      shortHeader.Total_Length = static_cast<std::uint32_t>(cut);
      const int want = cut == v.pdu.size() ? 0 : kResultBadLength;
      static CmppSubmit submit;
      CmppConnect connect{};
      CmppDeliverResp resp{};
      for (const CmppHeader& h : {full, shortHeader}) {
        int got = -99;
        if (full.Command_Id == kCmppConnect) got = DecodeConnect(h, body, connect);
        if (full.Command_Id == kCmppSubmit) got = DecodeSubmit(h, body, v.version, submit);
        if (full.Command_Id == kCmppDeliverResp) got = DecodeDeliverResp(h, body, v.version, resp);
        EXPECT_EQ(got, want) << v.name << " " << int(v.version) << " cut at " << cut;
      }
    }
  }
}

}  // namespace
}  // namespace brivane::cmpp
