#pragma once
// CCmpp: the codec and transport half of every CMPP link. It holds the link's
// version byte (which picks the CMPP 2.0 or 3.0 layouts) and the send timeout,
// and writes each PDU the SP sends: built by the pure encoders of pdu.h into a
// buffer of its own, written whole with TCPSocket::Send. It owns no socket:
// the link (CMPPConnection, derived from it) owns the handle and passes it in.
//
// Threads: every Send* may be called from any thread; two writes to one
// socket must not overlap, so the link serialises them under its lock. The
// send timeout is set by the owning link before its threads start.
//
// Each Send* returns the transport's code unchanged (0, kTimeout, kPeerClosed
// or an errno value); SendSubmit also refuses records it cannot encode
// (kErrTooManyDestinations, kErrContentTooLong) without writing anything.
// Nothing is retried and a partly written PDU is not resumed.

#include <cstdint>
#include <span>
#include <string_view>

#include "cmpp/pdu.h"
#include "cmpp/transport.h"

namespace brivane::cmpp {

class CCmpp {
 public:
  explicit CCmpp(std::uint8_t version);
  virtual ~CCmpp();
  CCmpp(const CCmpp&) = delete;
  CCmpp& operator=(const CCmpp&) = delete;

  std::uint8_t Version() const { return version_; }
  std::int32_t SendTimeout() const { return sendTimeout_; }
  void SetSendTimeout(std::int32_t seconds) { sendTimeout_ = seconds; }

  // CMPP_CONNECT with the authenticator over the local time of this moment.
  // `version` is the Version field to send; the layouts follow Version().
  int SendConnect(std::string_view loginName, std::string_view secret, SocketHandle socket,
                  std::uint32_t sequenceId, std::uint8_t version);
  // CMPP_SUBMIT of the record's CMPP fields, in the codec's version.
  int SendSubmit(const CmppSubmit& submit, SocketHandle socket, std::uint32_t sequenceId);
  // CMPP_DELIVER_RESP with the DELIVER's Sequence_Id and Msg_Id.
  int SendDeliverResp(SocketHandle socket, std::uint32_t sequenceId,
                      std::span<const std::uint8_t, kMsgIdLength> msgId, std::uint32_t result);
  int SendActiveTest(SocketHandle socket, std::uint32_t sequenceId);
  int SendActiveTestResp(SocketHandle socket, std::uint32_t sequenceId);
  int SendTerminate(SocketHandle socket, std::uint32_t sequenceId);
  int SendTerminateResp(SocketHandle socket, std::uint32_t sequenceId);
  // The answer DecodePdu said is due; 0 without writing when none is.
  int SendAnswer(SocketHandle socket, const CmppAnswer& answer);

 private:
  int Write(SocketHandle socket, std::span<const std::uint8_t> pdu) const;

  const std::uint8_t version_;
  std::int32_t sendTimeout_ = 0;
};

}  // namespace brivane::cmpp
