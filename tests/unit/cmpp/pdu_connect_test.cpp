// CMPP_CONNECT and CMPP_CONNECT_RESP, both sides.
#include <gtest/gtest.h>

#include "cmpp/auth.h"
#include "cmpp/pdu.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

Bytes Connect(std::string_view name, std::string_view secret, std::uint32_t ts, std::uint32_t seq,
              std::uint8_t version) {
  Bytes out(64, 0xEE);
  const std::size_t n = EncodeConnect(out, name, secret, ts, seq, version);
  out.resize(n);
  return out;
}

TEST(Connect, PublishedVectorGivesTheWholePdu) {
  const Bytes expected = Wire()
                             .U32(39)
                             .U32(0x00000001)
                             .U32(7)
                             .Text("900001", 6)
                             .Raw(FromHex("90d00c1d517abd0b4f65f6bcf8535d16"))
                             .U8(0x30)
                             .U32(1021080510)
                             .bytes();
  EXPECT_EQ(Hex(Connect("900001", "888888", 1021080510, 7, 0x30)), Hex(expected));
  EXPECT_EQ(Hex(expected.data() + 35, 4), "3cdc73be");  // 1021080510 big-endian
}

TEST(Connect, FourCharacterNameIsPaddedWithTwoZeros) {
  const Bytes pdu = Connect("abcd", "secret", 101000000, 1, 0x20);
  ASSERT_EQ(pdu.size(), 39u);
  EXPECT_EQ(Hex(pdu.data() + 12, 6), Hex(Wire().Text("abcd", 6).bytes()));
  EXPECT_EQ(Hex(pdu.data() + 18, 16), Hex(FromHex("c167e7d7c669ffb8ce26ae35c4b90fb0")));
}

TEST(Connect, FirstOfJanuaryTimestampKeepsItsValue) {
  const Bytes pdu = Connect("abcd", "secret", 101000000, 1, 0x20);
  EXPECT_EQ(Hex(pdu.data() + 35, 4), Hex(Wire().U32(101000000).bytes()));
}

TEST(Connect, VersionFieldIsTheArgumentNotTheCodecVersion) {
  // The gateway variant sends Version 0 or 1 on a CMPP 3.0 link.
  EXPECT_EQ(Connect("900001", "888888", 1021080510, 1, 0)[34], 0);
  EXPECT_EQ(Connect("900001", "888888", 1021080510, 1, 1)[34], 1);
}

TEST(Connect, LongLoginNameSendsItsFirstSixBytes) {
  const Bytes pdu = Connect("abcdefghij", "s", 1207023117, 1, 0x20);
  EXPECT_EQ(Hex(pdu.data() + 12, 6), Hex(Wire().Text("abcdef", 6).bytes()));
}

TEST(Connect, TooSmallBufferWritesNothing) {
  Bytes out(38, 0xEE);
  EXPECT_EQ(EncodeConnect(out, "900001", "888888", 1021080510, 1, 0x20), 0u);
  EXPECT_EQ(out, Bytes(38, 0xEE));
}

TEST(Connect, SmgSideDecodesWhatTheSpSends) {
  const Bytes pdu = Connect("900001", "888888", 1021080510, 42, 0x30);
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  ASSERT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
  EXPECT_EQ(h.Command_Id, kCmppConnect);
  EXPECT_EQ(h.Sequence_Id, 42u);
  CmppConnect c{};
  ASSERT_EQ(DecodeConnect(h, std::span(pdu).subspan(12, bodyLength), c), 0);
  EXPECT_STREQ(c.Source_Addr, "900001");
  EXPECT_EQ(c.Version, 0x30);
  EXPECT_EQ(c.Timestamp, 1021080510u);
  const Md5Digest expected = LoginAuthenticator("900001", "888888", c.Timestamp);
  EXPECT_EQ(Hex(c.AuthenticatorSource, 16), Hex(expected.data(), 16));
}

TEST(Connect, SmgSideRefusesAWrongLength) {
  Bytes pdu = Connect("900001", "888888", 1021080510, 42, 0x30);
  pdu.push_back(0);
  CmppHeader h{40, kCmppConnect, 42};
  CmppConnect c{};
  EXPECT_EQ(DecodeConnect(h, std::span(pdu).subspan(12), c), kResultBadLength);
}

// ---------------------------------------------------------------- CONNECT_RESP

struct Decoded {
  int result;
  CmppMessage msg;
  CmppAnswer answer;
};

Decoded Decode(const Bytes& pdu, std::uint8_t version) {
  Decoded d{};
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  EXPECT_EQ(ParseHeader(std::span(pdu).first<12>(), h, bodyLength), 0);
  // The body in a buffer of its own exact size, so an overread is caught.
  Bytes body(pdu.begin() + 12, pdu.end());
  d.result = DecodePdu(h, body, version, {}, d.msg, d.answer);
  return d;
}

const Bytes kIsmgAuth = FromHex("00112233445566778899aabbccddeeff");

TEST(ConnectResp, Cmpp2StatusIsOneByte) {
  const Bytes pdu =
      Wire().U32(30).U32(kCmppConnectResp).U32(9).U8(3).Raw(kIsmgAuth).U8(0x20).bytes();
  Decoded d = Decode(pdu, 0x20);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.msg.header.Sequence_Id, 9u);
  EXPECT_EQ(d.msg.connectResp.Status, 3u);
  EXPECT_EQ(Hex(d.msg.connectResp.AuthenticatorISMG, 16), Hex(kIsmgAuth));
  EXPECT_EQ(d.msg.connectResp.AuthenticatorISMG[16], 0);
  EXPECT_EQ(d.msg.connectResp.Version, 0x20);
  EXPECT_EQ(d.answer.kind, CmppAnswerKind::kNone);
}

TEST(ConnectResp, Cmpp3StatusIsFourBytesBigEndian) {
  const Bytes pdu =
      Wire().U32(33).U32(kCmppConnectResp).U32(9).U32(0x01020304).Raw(kIsmgAuth).U8(0x30).bytes();
  Decoded d = Decode(pdu, 0x30);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.msg.connectResp.Status, 0x01020304u);
  EXPECT_EQ(d.msg.connectResp.Version, 0x30);
}

TEST(ConnectResp, VersionByte33AlreadySelectsCmpp3) {
  const Bytes v3 =
      Wire().U32(33).U32(kCmppConnectResp).U32(1).U32(0).Raw(kIsmgAuth).U8(0x30).bytes();
  const Bytes v2 =
      Wire().U32(30).U32(kCmppConnectResp).U32(1).U8(0).Raw(kIsmgAuth).U8(0x20).bytes();
  EXPECT_EQ(Decode(v3, 33).result, 0);
  EXPECT_EQ(Decode(v2, 33).result, kResultBadLength);
  EXPECT_EQ(Decode(v2, 32).result, 0);
  EXPECT_EQ(Decode(v2, 0).result, 0);
  EXPECT_EQ(Decode(v3, 32).result, kResultBadLength);
}

TEST(ConnectResp, SmgSideEncodesBothVersions) {
  std::uint8_t auth[16];
  std::copy(kIsmgAuth.begin(), kIsmgAuth.end(), auth);
  Bytes out(64);
  out.resize(EncodeConnectResp(out, 0x20, 5, 0, auth, 0x20));
  EXPECT_EQ(Hex(out),
            Hex(Wire().U32(30).U32(kCmppConnectResp).U32(5).U8(0).Raw(kIsmgAuth).U8(0x20).bytes()));
  out.assign(64, 0);
  out.resize(EncodeConnectResp(out, 0x30, 5, 3, auth, 0x30));
  EXPECT_EQ(
      Hex(out),
      Hex(Wire().U32(33).U32(kCmppConnectResp).U32(5).U32(3).Raw(kIsmgAuth).U8(0x30).bytes()));
  Decoded d = Decode(out, 0x30);
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.msg.connectResp.Status, 3u);
}

}  // namespace
}  // namespace brivane::cmpp
