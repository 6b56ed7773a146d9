// CCmpp: each Send* writes exactly the encoder's bytes on a real socket.
#include "cmpp/cmpp.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "cmpp/auth.h"
#include "wire.h"

namespace brivane::cmpp {
namespace {

using test::LoopbackPair;

// Reads one whole PDU from the peer's end with the transport.
Bytes ReadPdu(SocketHandle s) {
  std::uint8_t head[kHeaderLength];
  if (TCPSocket::Recv(s, head, 2) != 0) return {};
  CmppHeader h{};
  std::uint32_t bodyLength = 0;
  if (ParseHeader(head, h, bodyLength) != 0) return {};
  Bytes pdu(head, head + kHeaderLength);
  pdu.resize(kHeaderLength + bodyLength);
  if (TCPSocket::Recv(s, std::span(pdu).subspan(kHeaderLength), 2) != 0) return {};
  return pdu;
}

CmppSubmit OneDestination(std::size_t contentLength) {
  CmppSubmit s{};
  s.Pk_total = s.Pk_number = 1;
  s.Registered_Delivery = 1;
  std::strcpy(s.Src_Id, "10658");
  s.DestUsr_tl = 1;
  std::strcpy(s.Dest_terminal_Id, "13900139000");
  s.Msg_Length = static_cast<std::uint32_t>(contentLength);
  std::memset(s.Msg_Content, 'a', contentLength);
  return s;
}

TEST(CCmpp, SendConnectCarriesAnAuthenticatorOverItsOwnTimestamp) {
  LoopbackPair pair;
  CCmpp codec(0x30);
  codec.SetSendTimeout(2);
  ASSERT_EQ(codec.SendConnect("900001", "888888", pair.client, 31, 0), 0);
  const Bytes pdu = ReadPdu(pair.server);
  ASSERT_EQ(pdu.size(), 39u);
  CmppHeader h{39, kCmppConnect, 31};
  CmppConnect c{};
  ASSERT_EQ(DecodeConnect(h, std::span(pdu).subspan(12), c), 0);
  EXPECT_EQ(Hex(pdu.data(), 12), "00000027 00000001 0000001f");
  EXPECT_STREQ(c.Source_Addr, "900001");
  EXPECT_EQ(c.Version, 0);  // the argument, not the codec's 0x30
  // MMDDhhmmss of now: month 1..12, day 1..31, hour < 24, minute and second < 60.
  const std::uint32_t t = c.Timestamp;
  EXPECT_GE(t / 100000000, 1u);
  EXPECT_LE(t / 100000000, 12u);
  EXPECT_GE(t / 1000000 % 100, 1u);
  EXPECT_LE(t / 1000000 % 100, 31u);
  EXPECT_LT(t / 10000 % 100, 24u);
  EXPECT_LT(t / 100 % 100, 60u);
  EXPECT_LT(t % 100, 60u);
  const Md5Digest expected = LoginAuthenticator("900001", "888888", t);
  EXPECT_EQ(Hex(c.AuthenticatorSource, 16), Hex(expected.data(), 16));
}

TEST(CCmpp, SendSubmitWritesTheEncodedPduInTheCodecVersion) {
  for (std::uint8_t version : {std::uint8_t{0x20}, std::uint8_t{0x30}}) {
    LoopbackPair pair;
    CCmpp codec(version);
    codec.SetSendTimeout(2);
    const CmppSubmit s = OneDestination(10);
    ASSERT_EQ(codec.SendSubmit(s, pair.client, 500), 0);
    Bytes want(kMaxSubmitPduLength);
    std::size_t n = 0;
    ASSERT_EQ(EncodeSubmit(want, s, version, 500, n), 0);
    want.resize(n);
    EXPECT_EQ(n, version == 0x30 ? 205u : 169u);
    EXPECT_EQ(Hex(ReadPdu(pair.server)), Hex(want));
  }
}

TEST(CCmpp, SendSubmitRefusesWhatItCannotEncodeAndWritesNothing) {
  LoopbackPair pair;
  CCmpp codec(0x30);
  codec.SetSendTimeout(2);
  EXPECT_EQ(codec.SendSubmit(OneDestination(256), pair.client, 1), kErrContentTooLong);
  CmppSubmit many = OneDestination(10);
  many.DestUsr_tl = 101;
  EXPECT_EQ(codec.SendSubmit(many, pair.client, 2), kErrTooManyDestinations);
  // The next PDU on the wire is the active test: nothing came before it.
  ASSERT_EQ(codec.SendActiveTest(pair.client, 3), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "0000000c 00000008 00000003");
}

TEST(CCmpp, ControlPdusAndResponses) {
  LoopbackPair pair;
  CCmpp codec(0x20);
  codec.SetSendTimeout(2);
  const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(codec.SendDeliverResp(pair.client, 7, id, 9), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "00000015 80000005 00000007 01020304 05060708 09");
  ASSERT_EQ(codec.SendActiveTestResp(pair.client, 8), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "0000000d 80000008 00000008 00");
  ASSERT_EQ(codec.SendTerminate(pair.client, 9), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "0000000c 00000002 00000009");
  ASSERT_EQ(codec.SendTerminateResp(pair.client, 10), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "0000000c 80000002 0000000a");

  CmppAnswer answer{CmppAnswerKind::kDeliverResp, 11, {8, 7, 6, 5, 4, 3, 2, 1}, 4};
  ASSERT_EQ(codec.SendAnswer(pair.client, answer), 0);
  EXPECT_EQ(Hex(ReadPdu(pair.server)), "00000015 80000005 0000000b 08070605 04030201 04");
  answer.kind = CmppAnswerKind::kNone;
  EXPECT_EQ(codec.SendAnswer(pair.client, answer), 0);
  int unread = -1;
  ::ioctl(pair.server, FIONREAD, &unread);
  EXPECT_EQ(unread, 0);
}

TEST(CCmpp, WritesReportTheTransportCode) {
  CCmpp codec(0x30);
  codec.SetSendTimeout(1);
  EXPECT_EQ(codec.SendActiveTest(kNoSocket, 1), EBADF);
  EXPECT_EQ(codec.SendSubmit(OneDestination(10), kNoSocket, 1), EBADF);
  EXPECT_EQ(codec.SendConnect("a", "b", kNoSocket, 1, 0x30), EBADF);
}

}  // namespace
}  // namespace brivane::cmpp
