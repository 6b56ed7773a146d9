// Fuzz entry for the CMPP decoders. Input: one byte taken as the codec's
// version byte, then the PDU as it comes off the wire (12 header bytes and
// whatever body bytes follow, possibly fewer than declared).
//
// Beyond "no crash, no overread" it checks what must hold for any input:
// result codes and answers as the protocol fixes them, and that every PDU the
// decoders accept re-encodes to the same bytes (so decoding loses or invents
// nothing). A broken property aborts with a message.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cmpp/pdu.h"

namespace {

using namespace brivane::cmpp;

#define CHECK(cond)                                                                     \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "decoder property broken: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// The bytes [12, 12 + n) of the PDU re-encoded must equal the input's.
void CheckSame(const std::vector<std::uint8_t>& encoded, const std::uint8_t* pdu, std::size_t n) {
  CHECK(encoded.size() == n);
  CHECK(std::memcmp(encoded.data(), pdu, n) == 0);
}

CmppMessage g_msg;  // 8 KiB, reused between inputs as the link reuses its own
CmppSubmit g_submit;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + kHeaderLength) return 0;
  const std::uint8_t version = data[0];
  const std::uint8_t* pdu = data + 1;
  const CmppLayout layout = LayoutFor(version);

  CmppHeader header{};
  std::uint32_t bodyLength = 0;
  const int frame = ParseHeader(std::span<const std::uint8_t, kHeaderLength>(pdu, kHeaderLength),
                                header, bodyLength);
  if (frame != kOk) {
    CHECK(frame == kErrFrameTooLong && header.Total_Length > kMaxPduLength && bodyLength == 0);
    return 0;
  }
  CHECK(bodyLength <= kMaxBodyLength);
  CHECK(bodyLength == (header.Total_Length > 12 ? header.Total_Length - 12 : 0));

  // The body as the link would hold it: what arrived, at most what was declared.
  const std::size_t arrived = std::min<std::size_t>(size - 1 - kHeaderLength, bodyLength);
  const std::vector<std::uint8_t> body(pdu + kHeaderLength, pdu + kHeaderLength + arrived);
  const bool whole = arrived == bodyLength;
  const std::size_t pduLength = kHeaderLength + arrived;

  CmppAnswer answer{};
  const int result = DecodePdu(header, body, version, {7, "2024-01-02 03:04:05"}, g_msg, answer);
  CHECK(result == 0 || result == kResultUnknownCommand || result == kResultBadLength ||
        result == kResultBadRegisteredDelivery);
  CHECK(g_msg.header.Total_Length == header.Total_Length);
  CHECK(answer.Sequence_Id == header.Sequence_Id);
  if (!whole) CHECK(result != 0);

  std::vector<std::uint8_t> out(kMaxAnswerLength);
  out.resize(EncodeAnswer(out, version, answer));
  switch (header.Command_Id) {
    case kCmppActiveTest:
      CHECK(answer.kind == CmppAnswerKind::kActiveTestResp && out.size() == 13);
      break;
    case kCmppTerminate:
      CHECK(answer.kind == CmppAnswerKind::kTerminateResp && out.size() == 12);
      break;
    case kCmppDeliver:
      CHECK(answer.kind == CmppAnswerKind::kDeliverResp);
      CHECK(answer.Result == static_cast<std::uint32_t>(result));
      CHECK(out.size() == layout.deliverRespLength);
      CHECK(body.empty() ||
            std::memcmp(answer.Msg_Id, body.data(), std::min<std::size_t>(body.size(), 8)) == 0);
      break;
    default:
      CHECK(answer.kind == CmppAnswerKind::kNone && out.empty());
  }

  if (result == 0) {
    std::vector<std::uint8_t> again(kMaxPduLength);
    switch (header.Command_Id) {
      case kCmppConnectResp: {
        std::uint8_t auth[16];
        std::memcpy(auth, g_msg.connectResp.AuthenticatorISMG, 16);
        CHECK(g_msg.connectResp.AuthenticatorISMG[16] == 0);
        again.resize(EncodeConnectResp(again, version, header.Sequence_Id, g_msg.connectResp.Status,
                                       auth, g_msg.connectResp.Version));
        CheckSame(again, pdu, pduLength);
        break;
      }
      case kCmppSubmitResp:
        CHECK(g_msg.submitResp.Sequence_Id == header.Sequence_Id);
        if (!layout.v3) CHECK(g_msg.submitResp.Result >= 0 && g_msg.submitResp.Result <= 255);
        again.resize(EncodeSubmitResp(again, version, header.Sequence_Id, g_msg.submitResp.Msg_Id,
                                      static_cast<std::uint32_t>(g_msg.submitResp.Result)));
        CheckSame(again, pdu, pduLength);
        break;
      case kCmppDeliver: {
        const CmppDeliver& d = g_msg.deliver;
        CHECK(d.Registered_Delivery <= 1);
        CHECK(d.Dest_Id[21] == 0 && d.Service_Id[10] == 0 && d.Src_terminal_Id[32] == 0);
        CHECK(d.LinkID[20] == 0 && d.receiveTick == 7);
        CHECK(d.Msg_Content[kMoContentKept] == 0 || d.Registered_Delivery == 1);
        if (!layout.v3) CHECK(d.Src_terminal_type == 0 && d.LinkID[0] == 0);
        if (d.Registered_Delivery == 1) {
          CHECK(d.Msg_Length == layout.reportLength);
          const CmppStatusReport r = ReportOf(d);
          CHECK(r.Stat[7] == 0 && r.Submit_time[10] == 0 && r.Dest_terminal_Id[32] == 0);
        }
        // Content beyond 160 bytes is dropped by design; the rest must survive.
        if (d.Registered_Delivery == 1 || d.Msg_Length <= kMoContentKept) {
          std::size_t n = 0;
          CHECK(EncodeDeliver(again, d, version, header.Sequence_Id, n) == kOk);
          again.resize(n);
          // The 2.0 Reserve is not kept and goes out as zeros.
          const std::size_t compared = layout.v3 ? pduLength : pduLength - 8;
          CHECK(n == pduLength);
          CHECK(std::memcmp(again.data(), pdu, compared) == 0);
        }
        break;
      }
      case kCmppActiveTestResp:
        CHECK(g_msg.activeTestResp.Reserved == body[0]);
        break;
      default:
        CHECK(header.Command_Id == kCmppActiveTest || header.Command_Id == kCmppTerminate ||
              header.Command_Id == kCmppTerminateResp);
    }
  }

  // The SMG side's decoders, for the PDUs the SP sends.
  std::vector<std::uint8_t> again(kMaxPduLength);
  if (header.Command_Id == kCmppConnect) {
    CmppConnect c{};
    if (DecodeConnect(header, body, c) == kOk) {
      CHECK(whole && pduLength == 39 && c.Source_Addr[6] == 0);
      CHECK(std::strncmp(c.Source_Addr, reinterpret_cast<const char*>(pdu + 12), 6) == 0);
      CHECK(std::memcmp(c.AuthenticatorSource, pdu + 18, 16) == 0);
      CHECK(c.Version == pdu[34]);
      CHECK(c.Timestamp == (std::uint32_t{pdu[35]} << 24 | std::uint32_t{pdu[36]} << 16 |
                            std::uint32_t{pdu[37]} << 8 | pdu[38]));
    }
  } else if (header.Command_Id == kCmppSubmit) {
    const int code = DecodeSubmit(header, body, version, g_submit);
    CHECK(code == kOk || code == kResultBadLength || code == kErrTooManyDestinations);
    if (code == kOk) {
      CHECK(whole);
      std::size_t n = 0;
      CHECK(EncodeSubmit(again, g_submit, version, header.Sequence_Id, n) == kOk);
      again.resize(n);
      CheckSame(again, pdu, pduLength);
    }
  } else if (header.Command_Id == kCmppDeliverResp) {
    CmppDeliverResp resp{};
    if (DecodeDeliverResp(header, body, version, resp) == kOk) {
      if (!layout.v3) CHECK(resp.Result <= 255);
      again.resize(EncodeDeliverResp(again, version, header.Sequence_Id, resp.Msg_Id, resp.Result));
      CheckSame(again, pdu, pduLength);
    }
  }
  return 0;
}
