#pragma once
// CmppPeer: the SP end of one CMPP connection for the simulator tests, built
// from the codec and the transport only. It reads whole PDUs with a deadline
// and keeps nothing but its socket.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cmpp/pdu.h"
#include "cmpp/transport.h"

namespace brivane::test {

// One received PDU: the raw bytes and what DecodePdu made of them.
struct ReceivedPdu {
  cmpp::CmppHeader header{};
  std::vector<std::uint8_t> bytes;
  int result = 0;
  std::unique_ptr<cmpp::CmppMessage> message = std::make_unique<cmpp::CmppMessage>();
  cmpp::CmppAnswer answer{};
};

class CmppPeer {
 public:
  explicit CmppPeer(std::uint8_t version) : version_(version) {}
  ~CmppPeer() { cmpp::TCPSocket::Close(socket_); }
  CmppPeer(const CmppPeer&) = delete;
  CmppPeer& operator=(const CmppPeer&) = delete;

  bool Connect(int port);
  // Sends CONNECT and reads CONNECT_RESP; the Status, or -1 when none came.
  long Login(const std::string& name, const std::string& secret,
             std::uint32_t timestamp = 1207023117);
  // Connect and Login with Status 0.
  bool ConnectAndLogin(int port, const std::string& name = "900001",
                       const std::string& secret = "888888");

  // A SUBMIT from an SP number to one destination; returns its Sequence_Id.
  std::uint32_t Submit(const std::string& dest, const std::string& text,
                       std::uint8_t registeredDelivery, std::uint8_t msgFmt = 15);
  std::uint32_t Submit(const cmpp::CmppSubmit& submit);
  bool SendRaw(std::span<const std::uint8_t> bytes);
  bool SendDeliverResp(const ReceivedPdu& deliver, std::uint32_t result = 0);
  bool SendActiveTest(std::uint32_t sequenceId);
  bool SendActiveTestResp(std::uint32_t sequenceId);
  bool SendTerminate(std::uint32_t sequenceId);
  bool SendTerminateResp(std::uint32_t sequenceId);

  // The next PDU within the timeout; false on timeout or close.
  bool Read(ReceivedPdu& pdu, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Exactly n raw bytes within the timeout.
  bool ReadBytes(std::vector<std::uint8_t>& bytes, std::size_t n,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the simulator closes the connection within the timeout
  // (anything it sends meanwhile is read and dropped).
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  std::uint8_t Version() const { return version_; }

 private:
  std::uint8_t version_;
  cmpp::SocketHandle socket_ = cmpp::kNoSocket;
  std::uint32_t nextSequence_ = 1000;
};

// A zero-filled SUBMIT record with typical SP fields.
std::unique_ptr<cmpp::CmppSubmit> MakeSubmit(std::uint8_t version, const std::string& dest,
                                             const std::string& text,
                                             std::uint8_t registeredDelivery,
                                             std::uint8_t msgFmt = 15);

std::vector<std::uint8_t> Bytes(const std::string& text);
std::string HexText(std::span<const std::uint8_t> bytes);

}  // namespace brivane::test
