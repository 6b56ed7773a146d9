#pragma once
// The SMG side of a CMPP link, scripted by a test: a loopback listener and
// accepted connections that read and write whole PDUs with the codec. Used
// where a test needs a behaviour the simulator does not offer (a PDU before
// the CONNECT_RESP, a close instead of an answer, a peer that never answers
// submits) or exact control over timing. Header-only; link brivane_cmpp.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "cmpp/pdu.h"

namespace brivane::test {

struct PeerPdu {
  cmpp::CmppHeader header{};
  std::vector<std::uint8_t> body;
};

// One accepted connection. Every wait has a deadline.
class CmppPeer {
 public:
  CmppPeer(int fd, std::uint8_t version) : fd_(fd), version_(version) {}
  ~CmppPeer() { Close(); }
  CmppPeer(const CmppPeer&) = delete;
  CmppPeer& operator=(const CmppPeer&) = delete;

  int Fd() const { return fd_; }
  // The layout of the PDUs this side writes and reads.
  void SetVersion(std::uint8_t version) { version_ = version; }

  // Reads one whole PDU; false on timeout, close or error.
  bool Read(PeerPdu& pdu, std::chrono::milliseconds timeout) {
    std::array<std::uint8_t, 12> head;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!ReadExact(head.data(), head.size(), deadline)) return false;
    std::uint32_t bodyLength = 0;
    if (cmpp::ParseHeader(head, pdu.header, bodyLength) != 0) return false;
    pdu.body.assign(bodyLength, 0);
    return ReadExact(pdu.body.data(), bodyLength, deadline);
  }

  // Reads PDUs until one with `command` arrives (others are dropped).
  bool ReadUntil(std::uint32_t command, PeerPdu& pdu, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Read(pdu, left)) return false;
      if (pdu.header.Command_Id == command) return true;
    }
  }

  // True when the other side closed (or reset) within the timeout; PDUs
  // that arrive first are read and dropped.
  bool WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[512];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }

  bool Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool SendConnectResp(std::uint32_t sequenceId, std::uint32_t status) {
    std::array<std::uint8_t, 33> pdu{};
    const std::array<std::uint8_t, 16> auth{};
    const std::size_t n =
        cmpp::EncodeConnectResp(pdu, version_, sequenceId, status, auth, version_);
    return Write(std::span(pdu).first(n));
  }

  bool SendSubmitResp(std::uint32_t sequenceId, const std::uint8_t (&msgId)[8],
                      std::uint32_t result) {
    std::array<std::uint8_t, 24> pdu{};
    const std::size_t n = cmpp::EncodeSubmitResp(pdu, version_, sequenceId,
                                                 std::span<const std::uint8_t, 8>(msgId), result);
    return Write(std::span(pdu).first(n));
  }

  bool SendDeliver(const cmpp::CmppDeliver& deliver, std::uint32_t sequenceId) {
    std::vector<std::uint8_t> pdu(cmpp::kMaxDeliverPduLength);
    std::size_t n = 0;
    if (cmpp::EncodeDeliver(pdu, deliver, version_, sequenceId, n) != 0) return false;
    return Write(std::span(pdu).first(n));
  }

  bool SendActiveTest(std::uint32_t sequenceId) {
    std::array<std::uint8_t, 12> pdu{};
    return Write(std::span(pdu).first(cmpp::EncodeActiveTest(pdu, sequenceId)));
  }

  bool SendTerminate(std::uint32_t sequenceId) {
    std::array<std::uint8_t, 12> pdu{};
    return Write(std::span(pdu).first(cmpp::EncodeTerminate(pdu, sequenceId)));
  }

  // Reads the CMPP_CONNECT and answers it with `status`. Returns the
  // decoded CONNECT through `connect` when given.
  bool AnswerLogin(std::uint32_t status, std::chrono::milliseconds timeout,
                   cmpp::CmppConnect* connect = nullptr) {
    PeerPdu pdu;
    if (!Read(pdu, timeout) || pdu.header.Command_Id != cmpp::kCmppConnect) return false;
    if (connect && cmpp::DecodeConnect(pdu.header, pdu.body, *connect) != 0) return false;
    return SendConnectResp(pdu.header.Sequence_Id, status);
  }

  // Bytes the other side wrote that this side has not read yet.
  int Unread() const {
    int n = -1;
    ::ioctl(fd_, FIONREAD, &n);
    return n;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Closes with a reset instead of an orderly close.
  void Reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }

 private:
  bool ReadExact(std::uint8_t* p, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    std::size_t done = 0;
    while (done < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t r = ::recv(fd_, p + done, n - done, 0);
      if (r <= 0) return false;
      done += static_cast<std::size_t>(r);
    }
    return true;
  }

  int fd_;
  std::uint8_t version_;
};

// A listener on 127.0.0.1 with a free port.
class CmppListener {
 public:
  explicit CmppListener(std::uint8_t version = cmpp::kCmppVersion30) : version_(version) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~CmppListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  CmppListener(const CmppListener&) = delete;
  CmppListener& operator=(const CmppListener&) = delete;

  std::uint16_t Port() const { return port_; }

  // The next connection, or null when none arrives within the timeout.
  std::unique_ptr<CmppPeer> Accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return nullptr;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<CmppPeer>(fd, version_);
  }

  // Stops accepting: later connects are refused.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint8_t version_;
};

}  // namespace brivane::test
