#pragma once
// HostilePeer: a scripted SMG that brivane's MO pool logs in to, played by a
// thread of the test. It answers every CMPP_CONNECT with a chosen status,
// answers ACTIVE_TEST and TERMINATE like a real SMG and keeps count of what
// brivane sends back (DELIVER_RESP results, ACTIVE_TEST_RESPs). Between
// those chores it writes whatever the test hands it on the connection that
// logged in last: raw bytes, or a flood of PDUs at a given rate, reading
// brivane's answers while it floods so neither side blocks on a full
// socket buffer.
//
// Threads: the peer thread owns the listener and every connection; test
// threads only post work (Inject, Flood) and read counters, under mutex_.

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cmpp/pdu.h"
#include "support/cmpp_peer.h"
#include "support/e2e_fixture.h"

namespace brivane::test {

class HostilePeer {
 public:
  // Builds the PDU number `i` of a flood (its Sequence_Id is up to it).
  using PduMaker = std::function<std::vector<std::uint8_t>(std::uint32_t i)>;

  explicit HostilePeer(std::uint8_t version = cmpp::kCmppVersion30)
      : version_(version), listener_(version) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~HostilePeer() {
    stop_.store(true);
    thread_.join();
  }
  HostilePeer(const HostilePeer&) = delete;
  HostilePeer& operator=(const HostilePeer&) = delete;

  std::uint16_t Port() const { return listener_.Port(); }

  // The Status of later CONNECT_RESPs (0 accepts the login).
  void SetLoginStatus(std::uint32_t status) { loginStatus_.store(status); }

  // Writes `bytes` on the connection that logged in last, on the peer
  // thread. False when no logged-in connection turned up within `timeout`
  // or the write failed (brivane may already have closed it).
  bool Inject(std::vector<std::uint8_t> bytes,
              std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return Post([bytes = std::move(bytes)](CmppPeer& peer) { return peer.Write(bytes); }, timeout);
  }

  // Writes `bytes`, then closes the connection at once.
  bool InjectAndClose(std::vector<std::uint8_t> bytes,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return Post(
        [bytes = std::move(bytes)](CmppPeer& peer) {
          const bool written = peer.Write(bytes);
          peer.Close();
          return written;
        },
        timeout);
  }

  // Writes `count` PDUs from `make` at about `perSecond`, reading brivane's
  // answers in between. Returns once they are all written, with the number
  // written (fewer when the connection went away).
  std::uint32_t Flood(PduMaker make, std::uint32_t perSecond, std::uint32_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    std::uint32_t written = 0;
    Post(
        [&](CmppPeer& peer) {
          const auto start = std::chrono::steady_clock::now();
          while (written < count && !stop_.load()) {
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const auto due =
                std::min<std::uint32_t>(count, static_cast<std::uint32_t>(elapsed * perSecond) + 1);
            std::vector<std::uint8_t> batch;
            for (; written < due; ++written) {
              const std::vector<std::uint8_t> pdu = make(written);
              batch.insert(batch.end(), pdu.begin(), pdu.end());
            }
            if (!batch.empty() && !peer.Write(batch)) return false;
            if (!Drain(peer, 1)) return false;
          }
          return true;
        },
        timeout);
    return written;
  }

  // CONNECTs answered (with any status) since the peer started.
  int Logins() const { return logins_.load(); }
  // Connections accepted since the peer started.
  int Connections() const { return connections_.load(); }
  std::uint32_t ActiveTestResps() const { return activeTestResps_.load(); }
  // Result of every DELIVER_RESP received, in order.
  std::vector<std::uint32_t> DeliverResults() const {
    std::lock_guard lock(mutex_);
    return deliverResults_;
  }
  std::uint32_t DeliverResps() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(deliverResults_.size());
  }

  // A DELIVER (an MO message from `mobile`) in this peer's version.
  std::vector<std::uint8_t> Deliver(std::uint32_t sequenceId, const std::string& text,
                                    const std::string& mobile = "13912345678") const {
    cmpp::CmppDeliver d{};
    const std::uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(d.Msg_Id, id, 8);
    std::snprintf(d.Dest_Id, sizeof d.Dest_Id, "%s", "10661234");
    std::snprintf(d.Service_Id, sizeof d.Service_Id, "%s", "HOSTILE");
    std::snprintf(d.Src_terminal_Id, sizeof d.Src_terminal_Id, "%s", mobile.c_str());
    d.Msg_Fmt = 0;
    d.Msg_Length = static_cast<std::uint32_t>(text.size());
    std::memcpy(d.Msg_Content, text.data(), text.size());
    std::vector<std::uint8_t> pdu(cmpp::kMaxDeliverPduLength);
    std::size_t n = 0;
    if (cmpp::EncodeDeliver(pdu, d, version_, sequenceId, n) != 0) return {};
    pdu.resize(n);
    return pdu;
  }

 private:
  using Work = std::function<bool(CmppPeer&)>;

  bool Post(Work work, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = ++posted_;
    work_ = std::move(work);
    workResult_ = false;
    // Once the peer thread took the work it may use the caller's variables:
    // wait for its end whatever the timeout.
    if (!cv_.wait_for(lock, timeout, [&] { return started_ >= ticket; })) {
      work_ = nullptr;
      return false;
    }
    cv_.wait(lock, [&] { return done_ >= ticket; });
    return workResult_;
  }

  // Reads and handles what brivane sent, waiting up to `waitMs` for the
  // first byte. False when the connection closed.
  bool Drain(CmppPeer& peer, int waitMs) {
    pollfd p{peer.Fd(), POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return true;
    std::uint8_t buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(peer.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      rx_.insert(rx_.end(), buffer, buffer + n);
      if (!HandleFrames(peer)) return false;
    }
  }

  bool HandleFrames(CmppPeer& peer) {
    std::size_t at = 0;
    while (rx_.size() - at >= cmpp::kHeaderLength) {
      cmpp::CmppHeader h{};
      std::uint32_t bodyLength = 0;
      if (cmpp::ParseHeader(std::span<const std::uint8_t, cmpp::kHeaderLength>(rx_.data() + at,
                                                                               cmpp::kHeaderLength),
                            h, bodyLength) != 0)
        return false;  // brivane never sends such a frame
      if (rx_.size() - at < cmpp::kHeaderLength + bodyLength) break;
      const std::span<const std::uint8_t> body(rx_.data() + at + cmpp::kHeaderLength, bodyLength);
      at += cmpp::kHeaderLength + bodyLength;
      bool ok = true;
      switch (h.Command_Id) {
        case cmpp::kCmppConnect:
          ++logins_;
          ok = peer.SendConnectResp(h.Sequence_Id, loginStatus_.load());
          if (loginStatus_.load() == 0) loggedIn_ = &peer;
          break;
        case cmpp::kCmppActiveTest: {
          std::uint8_t resp[13];
          ok = peer.Write(std::span(resp, cmpp::EncodeActiveTestResp(resp, h.Sequence_Id)));
          break;
        }
        case cmpp::kCmppActiveTestResp:
          ++activeTestResps_;
          break;
        case cmpp::kCmppTerminate: {
          std::uint8_t resp[12];
          ok = peer.Write(std::span(resp, cmpp::EncodeTerminateResp(resp, h.Sequence_Id)));
          break;
        }
        case cmpp::kCmppDeliverResp: {
          cmpp::CmppDeliverResp resp{};
          if (cmpp::DecodeDeliverResp(h, body, version_, resp) == 0) {
            std::lock_guard lock(mutex_);
            deliverResults_.push_back(resp.Result);
          }
          break;
        }
        default:
          break;
      }
      if (!ok) return false;
    }
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }

  void Loop() {
    std::unique_ptr<CmppPeer> current;
    while (!stop_.load()) {
      if (auto next = listener_.Accept(std::chrono::milliseconds(current ? 0 : 20))) {
        // brivane logs in again on a fresh connection; the old one is done.
        current = std::move(next);
        ++connections_;
        loggedIn_ = nullptr;
        rx_.clear();
      }
      if (!current) continue;
      if (!Drain(*current, 20)) {
        current.reset();
        loggedIn_ = nullptr;
        rx_.clear();
        continue;
      }
      Work work;
      {
        std::lock_guard lock(mutex_);
        if (work_ && loggedIn_ == current.get()) {
          work = std::move(work_);
          work_ = nullptr;
          ++started_;
        }
      }
      if (!work) continue;
      cv_.notify_all();
      const bool result = work(*current);
      if (current->Fd() < 0) {  // the work closed it
        current.reset();
        loggedIn_ = nullptr;
        rx_.clear();
      }
      {
        std::lock_guard lock(mutex_);
        workResult_ = result;
        ++done_;
      }
      cv_.notify_all();
    }
  }

  const std::uint8_t version_;
  CmppListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint32_t> loginStatus_{0};
  std::atomic<int> logins_{0};
  std::atomic<int> connections_{0};
  std::atomic<std::uint32_t> activeTestResps_{0};
  // Peer thread only.
  std::vector<std::uint8_t> rx_;
  const CmppPeer* loggedIn_ = nullptr;

  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable cv_;
  Work work_;
  std::uint64_t posted_ = 0;
  std::uint64_t started_ = 0;
  std::uint64_t done_ = 0;
  bool workResult_ = false;
  std::vector<std::uint32_t> deliverResults_;
  std::thread thread_;
};

// The system for a hostile-peer test: one MT link to the simulator and one
// MO link to the peer listening on `peerPort`.
inline E2eOptions MoPoolAtPeer(int peerPort) {
  E2eOptions o;
  o.mtAndMOConnections = 0;
  o.mtConnections = 1;
  o.moConnections = 1;
  o.extraIni["MOPort"] = std::to_string(peerPort);
  return o;
}

}  // namespace brivane::test
