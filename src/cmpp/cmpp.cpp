#include "cmpp/cmpp.h"

#include <array>
#include <charconv>
#include <string>

#include "base/ticks.h"

namespace brivane::cmpp {

namespace {

// MMDDhhmmss of the local time as a number (the CMPP_CONNECT Timestamp).
std::uint32_t TimestampNow() {
  const std::string text = base::CmppTimestampText();
  std::uint32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

// Linux needs no socket library start-up, so construction only keeps the
// version; SIGPIPE is avoided per write (MSG_NOSIGNAL), not process-wide.
CCmpp::CCmpp(std::uint8_t version) : version_(version) {}

CCmpp::~CCmpp() = default;

int CCmpp::Write(SocketHandle socket, std::span<const std::uint8_t> pdu) const {
  return TCPSocket::Send(socket, pdu, sendTimeout_);
}

int CCmpp::SendConnect(std::string_view loginName, std::string_view secret, SocketHandle socket,
                       std::uint32_t sequenceId, std::uint8_t version) {
  std::array<std::uint8_t, 39> pdu;
  const std::size_t n = EncodeConnect(pdu, loginName, secret, TimestampNow(), sequenceId, version);
  return Write(socket, std::span(pdu).first(n));
}

int CCmpp::SendSubmit(const CmppSubmit& submit, SocketHandle socket, std::uint32_t sequenceId) {
  // Large enough for every encodable record; EncodeSubmit refuses the rest.
  std::array<std::uint8_t, kMaxSubmitPduLength> pdu;
  std::size_t n = 0;
  if (int code = EncodeSubmit(pdu, submit, version_, sequenceId, n); code != kOk) return code;
  return Write(socket, std::span(pdu).first(n));
}

int CCmpp::SendDeliverResp(SocketHandle socket, std::uint32_t sequenceId,
                           std::span<const std::uint8_t, kMsgIdLength> msgId,
                           std::uint32_t result) {
  std::array<std::uint8_t, kMaxAnswerLength> pdu;
  const std::size_t n = EncodeDeliverResp(pdu, version_, sequenceId, msgId, result);
  return Write(socket, std::span(pdu).first(n));
}

int CCmpp::SendActiveTest(SocketHandle socket, std::uint32_t sequenceId) {
  std::array<std::uint8_t, 12> pdu;
  return Write(socket, std::span(pdu).first(EncodeActiveTest(pdu, sequenceId)));
}

int CCmpp::SendActiveTestResp(SocketHandle socket, std::uint32_t sequenceId) {
  std::array<std::uint8_t, 13> pdu;
  return Write(socket, std::span(pdu).first(EncodeActiveTestResp(pdu, sequenceId)));
}

int CCmpp::SendTerminate(SocketHandle socket, std::uint32_t sequenceId) {
  std::array<std::uint8_t, 12> pdu;
  return Write(socket, std::span(pdu).first(EncodeTerminate(pdu, sequenceId)));
}

int CCmpp::SendTerminateResp(SocketHandle socket, std::uint32_t sequenceId) {
  std::array<std::uint8_t, 12> pdu;
  return Write(socket, std::span(pdu).first(EncodeTerminateResp(pdu, sequenceId)));
}

int CCmpp::SendAnswer(SocketHandle socket, const CmppAnswer& answer) {
  std::array<std::uint8_t, kMaxAnswerLength> pdu;
  return Write(socket, std::span(pdu).first(EncodeAnswer(pdu, version_, answer)));
}

}  // namespace brivane::cmpp
