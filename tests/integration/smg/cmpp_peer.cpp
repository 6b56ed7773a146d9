#include "cmpp_peer.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace brivane::test {

using namespace cmpp;

namespace {

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string HexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

std::unique_ptr<CmppSubmit> MakeSubmit(std::uint8_t version, const std::string& dest,
                                       const std::string& text, std::uint8_t registeredDelivery,
                                       std::uint8_t msgFmt) {
  auto s = std::make_unique<CmppSubmit>();
  s->Pk_total = 1;
  s->Pk_number = 1;
  s->Registered_Delivery = registeredDelivery;
  s->Msg_level = 1;
  std::strcpy(s->Service_Id, "HELP");
  s->Fee_UserType = 2;
  s->TP_pId = 0;
  s->TP_udhi = 0;
  s->Msg_Fmt = msgFmt;
  std::strcpy(s->Msg_src, "900001");
  std::strcpy(s->FeeType, "01");
  std::strcpy(s->FeeCode, "000000");
  std::strcpy(s->Src_Id, "10658000");
  s->DestUsr_tl = 1;
  std::memcpy(s->Dest_terminal_Id, dest.data(),
              std::min<std::size_t>(dest.size(), LayoutFor(version).terminalWidth));
  s->Msg_Length = static_cast<std::uint32_t>(text.size());
  std::memcpy(s->Msg_Content, text.data(), text.size());
  if (IsCmpp3(version)) std::strcpy(s->LinkID, "LINK0001");
  return s;
}

bool CmppPeer::Connect(int port) {
  TCPSocket::Close(socket_);
  if (TCPSocket::Create(socket_) != 0) return false;
  return TCPSocket::Connect(socket_, "127.0.0.1", static_cast<std::uint16_t>(port)) == 0;
}

long CmppPeer::Login(const std::string& name, const std::string& secret, std::uint32_t timestamp) {
  std::uint8_t pdu[39];
  const std::uint32_t seq = nextSequence_++;
  if (EncodeConnect(pdu, name, secret, timestamp, seq, version_) != 39) return -1;
  if (!SendRaw(pdu)) return -1;
  ReceivedPdu resp;
  if (!Read(resp) || resp.header.Command_Id != kCmppConnectResp || resp.result != 0 ||
      resp.header.Sequence_Id != seq) {
    return -1;
  }
  return static_cast<long>(resp.message->connectResp.Status);
}

bool CmppPeer::ConnectAndLogin(int port, const std::string& name, const std::string& secret) {
  return Connect(port) && Login(name, secret) == 0;
}

std::uint32_t CmppPeer::Submit(const std::string& dest, const std::string& text,
                               std::uint8_t registeredDelivery, std::uint8_t msgFmt) {
  return Submit(*MakeSubmit(version_, dest, text, registeredDelivery, msgFmt));
}

std::uint32_t CmppPeer::Submit(const CmppSubmit& submit) {
  std::vector<std::uint8_t> pdu(kMaxSubmitPduLength);
  std::size_t length = 0;
  const std::uint32_t seq = nextSequence_++;
  if (EncodeSubmit(pdu, submit, version_, seq, length) != 0) return 0;
  return SendRaw(std::span(pdu.data(), length)) ? seq : 0;
}

bool CmppPeer::SendRaw(std::span<const std::uint8_t> bytes) {
  return TCPSocket::Send(socket_, bytes, 5) == 0;
}

bool CmppPeer::SendDeliverResp(const ReceivedPdu& deliver, std::uint32_t result) {
  std::uint8_t pdu[kMaxAnswerLength];
  const std::size_t n =
      EncodeDeliverResp(pdu, version_, deliver.header.Sequence_Id,
                        std::span<const std::uint8_t, 8>(deliver.bytes.data() + 12, 8), result);
  return SendRaw(std::span(pdu, n));
}

bool CmppPeer::SendActiveTest(std::uint32_t sequenceId) {
  std::uint8_t pdu[12];
  return SendRaw(std::span(pdu, EncodeActiveTest(pdu, sequenceId)));
}

bool CmppPeer::SendActiveTestResp(std::uint32_t sequenceId) {
  std::uint8_t pdu[13];
  return SendRaw(std::span(pdu, EncodeActiveTestResp(pdu, sequenceId)));
}

bool CmppPeer::SendTerminate(std::uint32_t sequenceId) {
  std::uint8_t pdu[12];
  return SendRaw(std::span(pdu, EncodeTerminate(pdu, sequenceId)));
}

bool CmppPeer::SendTerminateResp(std::uint32_t sequenceId) {
  std::uint8_t pdu[12];
  return SendRaw(std::span(pdu, EncodeTerminateResp(pdu, sequenceId)));
}

bool CmppPeer::ReadBytes(std::vector<std::uint8_t>& bytes, std::size_t n,
                         std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::size_t start = bytes.size();
  bytes.resize(start + n);
  std::size_t got = 0;
  while (got < n) {
    pollfd p{socket_, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    const ssize_t r = recv(socket_, bytes.data() + start + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

bool CmppPeer::Read(ReceivedPdu& pdu, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  pdu.bytes.clear();
  if (!ReadBytes(pdu.bytes, kHeaderLength, timeout)) return false;
  std::uint32_t bodyLength = 0;
  if (ParseHeader(std::span<const std::uint8_t, 12>(pdu.bytes.data(), 12), pdu.header,
                  bodyLength) != 0) {
    return false;
  }
  if (!ReadBytes(pdu.bytes, bodyLength, std::chrono::milliseconds(std::max(MsLeft(deadline), 1)))) {
    return false;
  }
  pdu.answer = {};
  pdu.result = DecodePdu(pdu.header, std::span(pdu.bytes).subspan(kHeaderLength), version_, {},
                         *pdu.message, pdu.answer);
  return true;
}

bool CmppPeer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    pollfd p{socket_, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) return false;
    std::uint8_t buffer[4096];
    const ssize_t r = recv(socket_, buffer, sizeof buffer, 0);
    if (r == 0) return true;
    if (r < 0) return errno == ECONNRESET;
  }
}

}  // namespace brivane::test
