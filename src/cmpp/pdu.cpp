#include "cmpp/pdu.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "cmpp/auth.h"

namespace brivane::cmpp {

namespace {

std::atomic<std::uint32_t> g_sequenceId{1};

void PutU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t GetU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Sequential writer over a buffer whose size the caller has already checked.
class Writer {
 public:
  explicit Writer(std::uint8_t* p) : p_(p) {}
  void U8(std::uint8_t v) { *p_++ = v; }
  void U32(std::uint32_t v) {
    PutU32(p_, v);
    p_ += 4;
  }
  void Bytes(const void* src, std::size_t n) {
    std::memcpy(p_, src, n);
    p_ += n;
  }
  void Zeros(std::size_t n) {
    std::memset(p_, 0, n);
    p_ += n;
  }
  // 1 or 4 bytes, by the version's status width.
  void Status(std::uint32_t v, std::uint32_t width) {
    if (width == 1) {
      U8(static_cast<std::uint8_t>(v));
    } else {
      U32(v);
    }
  }

 private:
  std::uint8_t* p_;
};

// Sequential reader over a span whose size the caller has already checked.
class Reader {
 public:
  explicit Reader(const std::uint8_t* p) : p_(p) {}
  std::uint8_t U8() { return *p_++; }
  std::uint32_t U32() {
    std::uint32_t v = GetU32(p_);
    p_ += 4;
    return v;
  }
  // Copies exactly n wire bytes into a record field at least n + 1 wide whose
  // last byte stays as zero-filled.
  void Bytes(void* dst, std::size_t n) {
    std::memcpy(dst, p_, n);
    p_ += n;
  }
  void Skip(std::size_t n) { p_ += n; }
  std::uint32_t Status(std::uint32_t width) { return width == 1 ? U8() : U32(); }

 private:
  const std::uint8_t* p_;
};

std::size_t WriteHeaderOnly(std::span<std::uint8_t> out, std::uint32_t length,
                            std::uint32_t commandId, std::uint32_t sequenceId) {
  if (out.size() < length) return 0;
  Writer w(out.data());
  w.U32(length);
  w.U32(commandId);
  w.U32(sequenceId);
  if (length > kHeaderLength) w.Zeros(length - kHeaderLength);
  return length;
}

// The body length the header declares (0 below 12).
std::size_t DeclaredBody(const CmppHeader& h) {
  return h.Total_Length > kHeaderLength ? h.Total_Length - kHeaderLength : 0;
}

// A length check passes only when the header declares `total` and the caller
// really handed over that many body bytes.
bool LengthIs(const CmppHeader& h, std::span<const std::uint8_t> body, std::size_t total) {
  return h.Total_Length == total && body.size() == total - kHeaderLength;
}

}  // namespace

std::uint32_t NextSequenceId() { return g_sequenceId.fetch_add(1, std::memory_order_relaxed); }

CmppStatusReport ReportOf(const CmppDeliver& deliver) {
  CmppStatusReport report;
  std::memcpy(&report, deliver.Msg_Content, sizeof report);
  return report;
}

void SetReport(CmppDeliver& deliver, const CmppStatusReport& report) {
  std::memcpy(deliver.Msg_Content, &report, sizeof report);
}

// ------------------------------------------------------------------ header
// | 0 | 4 | Total_Length |  | 4 | 4 | Command_Id |  | 8 | 4 | Sequence_Id |
int ParseHeader(std::span<const std::uint8_t, kHeaderLength> bytes, CmppHeader& header,
                std::uint32_t& bodyLength) {
  header.Total_Length = GetU32(bytes.data());
  header.Command_Id = GetU32(bytes.data() + 4);
  header.Sequence_Id = GetU32(bytes.data() + 8);
  if (header.Total_Length > kMaxPduLength) {
    bodyLength = 0;
    return kErrFrameTooLong;
  }
  bodyLength = static_cast<std::uint32_t>(DeclaredBody(header));
  return kOk;
}

std::size_t EncodeHeader(std::span<std::uint8_t> out, const CmppHeader& header) {
  if (out.size() < kHeaderLength) return 0;
  Writer w(out.data());
  w.U32(header.Total_Length);
  w.U32(header.Command_Id);
  w.U32(header.Sequence_Id);
  return kHeaderLength;
}

// ------------------------------------------------------------------ CMPP_CONNECT
// | off | size | field                                           |
// |   0 |    4 | Total_Length = 39                               |
// |   4 |    4 | Command_Id = 0x00000001                         |
// |   8 |    4 | Sequence_Id                                     |
// |  12 |    6 | Source_Addr: first 6 bytes of the name, 0-padded |
// |  18 |   16 | AuthenticatorSource (LoginAuthenticator)        |
// |  34 |    1 | Version                                         |
// |  35 |    4 | Timestamp (MMDDhhmmss as a number)              |
std::size_t EncodeConnect(std::span<std::uint8_t> out, std::string_view loginName,
                          std::string_view secret, std::uint32_t timestamp,
                          std::uint32_t sequenceId, std::uint8_t version) {
  constexpr std::size_t kLength = 39;
  if (out.size() < kLength) return 0;
  const Md5Digest auth = LoginAuthenticator(loginName, secret, timestamp);
  std::uint8_t source[kSourceAddrLength] = {};
  std::copy_n(loginName.begin(), std::min(loginName.size(), kSourceAddrLength), source);

  Writer w(out.data());
  w.U32(kLength);
  w.U32(kCmppConnect);
  w.U32(sequenceId);
  w.Bytes(source, sizeof source);
  w.Bytes(auth.data(), auth.size());
  w.U8(version);
  w.U32(timestamp);
  return kLength;
}

// ------------------------------------------------------------------ CMPP_SUBMIT
// N = DestUsr_tl, L = Msg_Length, w = terminal width (21 / 32).
// | 2.0 off     | 3.0 off     | size      | field                          |
// |   0         |   0         | 12        | header, Command_Id 0x00000004  |
// |  12         |  12         | 8         | Msg_Id                         |
// |  20         |  20         | 1 each    | Pk_total Pk_number             |
// |  22         |  22         | 1 each    | Registered_Delivery Msg_level  |
// |  24         |  24         | 10        | Service_Id                     |
// |  34         |  34         | 1         | Fee_UserType                   |
// |  35         |  35         | 21 / 32   | Fee_terminal_Id                |
// |   -         |  67         | 1         | Fee_terminal_type (3.0)        |
// |  56         |  68         | 1 each    | TP_pId TP_udhi Msg_Fmt         |
// |  59         |  71         | 6         | Msg_src                        |
// |  65         |  77         | 2         | FeeType                        |
// |  67         |  79         | 6         | FeeCode                        |
// |  73         |  85         | 17        | ValId_Time                     |
// |  90         | 102         | 17        | At_Time                        |
// | 107         | 119         | 21        | Src_Id (21 in both)            |
// | 128         | 140         | 1         | DestUsr_tl                     |
// | 129         | 141         | N * w     | Dest_terminal_Id               |
// |   -         | 141 + 32N   | 1         | Dest_terminal_type (3.0)       |
// | 129 + 21N   | 142 + 32N   | 1         | Msg_Length                     |
// | 130 + 21N   | 143 + 32N   | L         | Msg_Content                    |
// | 130 + 21N+L | 143 + 32N+L | 8 / 20    | Reserve (2.0) / LinkID (3.0)   |
// Total_Length = 138 + 21N + L (2.0) or 163 + 32N + L (3.0).
int SubmitPduLength(const CmppSubmit& submit, std::uint8_t codecVersion, std::size_t& length) {
  const CmppLayout layout = LayoutFor(codecVersion);
  length = 0;
  if (submit.DestUsr_tl > layout.maxDestinations) return kErrTooManyDestinations;
  if (submit.Msg_Length > kMaxMsgLength) return kErrContentTooLong;
  length = layout.submitFixed + std::size_t{layout.terminalWidth} * submit.DestUsr_tl +
           submit.Msg_Length;
  return kOk;
}

int EncodeSubmit(std::span<std::uint8_t> out, const CmppSubmit& s, std::uint8_t codecVersion,
                 std::uint32_t sequenceId, std::size_t& length) {
  std::size_t total = 0;
  length = 0;
  if (int code = SubmitPduLength(s, codecVersion, total); code != kOk) return code;
  if (out.size() < total) return kErrBufferTooSmall;
  const CmppLayout layout = LayoutFor(codecVersion);
  const std::size_t width = layout.terminalWidth;

  Writer w(out.data());
  w.U32(static_cast<std::uint32_t>(total));
  w.U32(kCmppSubmit);
  w.U32(sequenceId);
  w.Bytes(s.Msg_Id, 8);
  w.U8(s.Pk_total);
  w.U8(s.Pk_number);
  w.U8(s.Registered_Delivery);
  w.U8(s.Msg_level);
  w.Bytes(s.Service_Id, 10);
  w.U8(s.Fee_UserType);
  w.Bytes(s.Fee_terminal_Id, width);
  if (layout.v3) w.U8(s.Fee_terminal_type);
  w.U8(s.TP_pId);
  w.U8(s.TP_udhi);
  w.U8(s.Msg_Fmt);
  w.Bytes(s.Msg_src, 6);
  w.Bytes(s.FeeType, 2);
  w.Bytes(s.FeeCode, 6);
  w.Bytes(s.ValId_Time, 17);
  w.Bytes(s.At_Time, 17);
  w.Bytes(s.Src_Id, 21);
  w.U8(s.DestUsr_tl);
  w.Bytes(s.Dest_terminal_Id, width * s.DestUsr_tl);
  if (layout.v3) w.U8(s.Dest_terminal_type);
  w.U8(static_cast<std::uint8_t>(s.Msg_Length));
  w.Bytes(s.Msg_Content, s.Msg_Length);
  w.Bytes(s.LinkID, layout.trailerWidth);
  length = total;
  return kOk;
}

// ------------------------------------------------------------------ CMPP_DELIVER_RESP
// | off | size  | field                                   |
// |   0 | 12    | header, Command_Id 0x80000005, DELIVER's Sequence_Id |
// |  12 | 8     | Msg_Id of the DELIVER, byte for byte    |
// |  20 | 1 / 4 | Result (2.0 byte / 3.0 big-endian)      |
std::size_t EncodeDeliverResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId,
                              std::span<const std::uint8_t, kMsgIdLength> msgId,
                              std::uint32_t result) {
  const CmppLayout layout = LayoutFor(codecVersion);
  if (out.size() < layout.deliverRespLength) return 0;
  Writer w(out.data());
  w.U32(layout.deliverRespLength);
  w.U32(kCmppDeliverResp);
  w.U32(sequenceId);
  w.Bytes(msgId.data(), kMsgIdLength);
  w.Status(result, layout.statusWidth);
  return layout.deliverRespLength;
}

// ------------------------------------------------------------------ control PDUs
// ACTIVE_TEST 0x00000008, TERMINATE 0x00000002, TERMINATE_RESP 0x80000002:
// header only, Total_Length 12. ACTIVE_TEST_RESP 0x80000008: header and one
// Reserved byte 0 at offset 12, Total_Length 13.
std::size_t EncodeActiveTest(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return WriteHeaderOnly(out, 12, kCmppActiveTest, sequenceId);
}
std::size_t EncodeActiveTestResp(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return WriteHeaderOnly(out, 13, kCmppActiveTestResp, sequenceId);
}
std::size_t EncodeTerminate(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return WriteHeaderOnly(out, 12, kCmppTerminate, sequenceId);
}
std::size_t EncodeTerminateResp(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return WriteHeaderOnly(out, 12, kCmppTerminateResp, sequenceId);
}

std::size_t EncodeAnswer(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                         const CmppAnswer& answer) {
  switch (answer.kind) {
    case CmppAnswerKind::kTerminateResp:
      return EncodeTerminateResp(out, answer.Sequence_Id);
    case CmppAnswerKind::kActiveTestResp:
      return EncodeActiveTestResp(out, answer.Sequence_Id);
    case CmppAnswerKind::kDeliverResp:
      return EncodeDeliverResp(out, codecVersion, answer.Sequence_Id, answer.Msg_Id, answer.Result);
    case CmppAnswerKind::kNone:
      break;
  }
  return 0;
}

// ------------------------------------------------------------------ decoding
namespace {

// CMPP_CONNECT_RESP body
// | off | size 2.0 / 3.0 | field             |
// |   0 | 1 / 4          | Status            |
// | 1/4 | 16             | AuthenticatorISMG |
// | 17/20 | 1            | Version           |
// Total_Length 30 / 33.
int DecodeConnectResp(const CmppHeader& h, std::span<const std::uint8_t> body,
                      const CmppLayout& layout, CmppConnectResp& out) {
  if (!LengthIs(h, body, layout.connectRespLength)) return kResultBadLength;
  Reader r(body.data());
  out.Status = r.Status(layout.statusWidth);
  r.Bytes(out.AuthenticatorISMG, 16);
  out.Version = r.U8();
  return kOk;
}

// CMPP_SUBMIT_RESP body
// | off | size 2.0 / 3.0 | field                             |
// |   0 | 8              | Msg_Id                            |
// |   8 | 1 / 4          | Result (2.0: unsigned byte 0..255) |
// Total_Length 21 / 24.
int DecodeSubmitResp(const CmppHeader& h, std::span<const std::uint8_t> body,
                     const CmppLayout& layout, CmppSubmitResp& out) {
  if (!LengthIs(h, body, layout.submitRespLength)) return kResultBadLength;
  Reader r(body.data());
  r.Bytes(out.Msg_Id, 8);
  out.Result = static_cast<std::int32_t>(r.Status(layout.statusWidth));
  out.Sequence_Id = h.Sequence_Id;
  return kOk;
}

// CMPP_DELIVER body (L = Msg_Length, w = 21 / 32)
// | 2.0 off | 3.0 off | size     | field                                |
// |   0     |   0     | 8        | Msg_Id                               |
// |   8     |   8     | 21       | Dest_Id                              |
// |  29     |  29     | 10       | Service_Id                           |
// |  39     |  39     | 1 each   | TP_pid TP_udhi Msg_Fmt               |
// |  42     |  42     | 21 / 32  | Src_terminal_Id                      |
// |   -     |  74     | 1        | Src_terminal_type (3.0)              |
// |  63     |  75     | 1        | Registered_Delivery                  |
// |  64     |  76     | 1        | Msg_Length                           |
// |  65     |  77     | L        | Msg_Content                          |
// |  65 + L |  77 + L | 8 / 20   | Reserve (2.0, dropped) / LinkID (3.0) |
// Total_Length = 12 + 73 + L (2.0) or 12 + 97 + L (3.0).
//
// Status report content (Registered_Delivery 1, L = 60 / 71):
// | off     | size     | field                  |
// |   0     | 8        | Msg_Id                 |
// |   8     | 7        | Stat                   |
// |  15     | 10       | Submit_time            |
// |  25     | 10       | Done_time              |
// |  35     | 21 / 32  | Dest_terminal_Id       |
// | 56 / 67 | 4        | SMSC_sequence          |
int DecodeDeliver(const CmppHeader& h, std::span<const std::uint8_t> body, const CmppLayout& layout,
                  const CmppReceiveStamp& stamp, CmppDeliver& out) {
  if (body.size() != DeclaredBody(h) || body.size() <= layout.deliverLengthAt) {
    return kResultBadLength;
  }
  const std::uint32_t contentLength = body[layout.deliverLengthAt];
  if (!LengthIs(h, body, kHeaderLength + layout.deliverFixedBody + contentLength)) {
    return kResultBadLength;
  }
  const std::size_t width = layout.terminalWidth;

  Reader r(body.data());
  r.Bytes(out.Msg_Id, 8);
  r.Bytes(out.Dest_Id, 21);
  r.Bytes(out.Service_Id, 10);
  out.TP_pid = r.U8();
  out.TP_udhi = r.U8();
  out.Msg_Fmt = r.U8();
  r.Bytes(out.Src_terminal_Id, width);
  if (layout.v3) out.Src_terminal_type = r.U8();
  out.Registered_Delivery = r.U8();
  out.Msg_Length = r.U8();

  int result = kOk;
  if (out.Registered_Delivery == 0) {
    Reader content = r;
    content.Bytes(out.Msg_Content, std::min<std::size_t>(contentLength, kMoContentKept));
  } else if (out.Registered_Delivery == 1) {
    if (contentLength != layout.reportLength) {
      result = kResultBadLength;
    } else {
      CmppStatusReport report{};
      Reader content = r;
      content.Bytes(report.Msg_Id, 8);
      content.Bytes(report.Stat, 7);
      content.Bytes(report.Submit_time, 10);
      content.Bytes(report.Done_time, 10);
      content.Bytes(report.Dest_terminal_Id, width);
      report.SMSC_sequence = content.U32();
      SetReport(out, report);
    }
  } else {
    result = kResultBadRegisteredDelivery;
  }
  r.Skip(contentLength);
  if (layout.v3) r.Bytes(out.LinkID, 20);

  out.receiveTick = stamp.tick;
  const std::size_t timeLength = std::min(stamp.time.size(), sizeof out.receiveTime - 1);
  if (timeLength > 0) std::memcpy(out.receiveTime, stamp.time.data(), timeLength);
  return result;
}

}  // namespace

int DecodePdu(const CmppHeader& header, std::span<const std::uint8_t> body,
              std::uint8_t codecVersion, const CmppReceiveStamp& stamp, CmppMessage& out,
              CmppAnswer& answer) {
  const CmppLayout layout = LayoutFor(codecVersion);
  out.header = header;
  out.connectResp = {};
  out.submitResp = {};
  out.activeTestResp = {};
  answer = {};
  answer.Sequence_Id = header.Sequence_Id;

  switch (header.Command_Id) {
    case kCmppConnectResp:
      return DecodeConnectResp(header, body, layout, out.connectResp);
    case kCmppSubmitResp:
      return DecodeSubmitResp(header, body, layout, out.submitResp);
    case kCmppActiveTestResp:
      if (!LengthIs(header, body, 13)) return kResultBadLength;
      out.activeTestResp.Reserved = body[0];
      return kOk;
    case kCmppActiveTest:
      answer.kind = CmppAnswerKind::kActiveTestResp;
      return LengthIs(header, body, 12) ? kOk : kResultBadLength;
    case kCmppTerminate:
      answer.kind = CmppAnswerKind::kTerminateResp;
      return LengthIs(header, body, 12) ? kOk : kResultBadLength;
    case kCmppTerminateResp:
      return LengthIs(header, body, 12) ? kOk : kResultBadLength;
    case kCmppDeliver: {
      out.deliver = {};
      const int result = DecodeDeliver(header, body, layout, stamp, out.deliver);
      // The answer carries the first 8 body bytes even when the length check
      // failed; bytes that never arrived read as zero.
      answer.kind = CmppAnswerKind::kDeliverResp;
      if (!body.empty()) {
        std::memcpy(answer.Msg_Id, body.data(), std::min(body.size(), kMsgIdLength));
      }
      answer.Result = static_cast<std::uint32_t>(result);
      return result;
    }
    default:
      return kResultUnknownCommand;
  }
}

// ================================================================== SMG side

// CMPP_CONNECT_RESP
// | off | size 2.0 / 3.0 | field                                 |
// |   0 | 12             | header, Command_Id 0x80000001         |
// |  12 | 1 / 4          | Status                                |
// | 13/16 | 16           | AuthenticatorISMG                     |
// | 29/32 | 1            | Version                               |
std::size_t EncodeConnectResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId, std::uint32_t status,
                              std::span<const std::uint8_t, 16> authenticatorIsmg,
                              std::uint8_t version) {
  const CmppLayout layout = LayoutFor(codecVersion);
  if (out.size() < layout.connectRespLength) return 0;
  Writer w(out.data());
  w.U32(layout.connectRespLength);
  w.U32(kCmppConnectResp);
  w.U32(sequenceId);
  w.Status(status, layout.statusWidth);
  w.Bytes(authenticatorIsmg.data(), 16);
  w.U8(version);
  return layout.connectRespLength;
}

// CMPP_SUBMIT_RESP
// | off | size 2.0 / 3.0 | field                          |
// |   0 | 12             | header, Command_Id 0x80000004  |
// |  12 | 8              | Msg_Id                         |
// |  20 | 1 / 4          | Result                         |
std::size_t EncodeSubmitResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                             std::uint32_t sequenceId,
                             std::span<const std::uint8_t, kMsgIdLength> msgId,
                             std::uint32_t result) {
  const CmppLayout layout = LayoutFor(codecVersion);
  if (out.size() < layout.submitRespLength) return 0;
  Writer w(out.data());
  w.U32(layout.submitRespLength);
  w.U32(kCmppSubmitResp);
  w.U32(sequenceId);
  w.Bytes(msgId.data(), kMsgIdLength);
  w.Status(result, layout.statusWidth);
  return layout.submitRespLength;
}

// CMPP_DELIVER: the layout table above DecodeDeliver, after a 12-byte header
// with Command_Id 0x00000005.
int DeliverPduLength(const CmppDeliver& deliver, std::uint8_t codecVersion, std::size_t& length) {
  const CmppLayout layout = LayoutFor(codecVersion);
  length = 0;
  std::size_t content = deliver.Msg_Length;
  if (deliver.Registered_Delivery == 1) {
    content = layout.reportLength;
  } else if (content > kMaxMsgLength) {
    return kErrContentTooLong;
  }
  length = kHeaderLength + layout.deliverFixedBody + content;
  return kOk;
}

int EncodeDeliver(std::span<std::uint8_t> out, const CmppDeliver& d, std::uint8_t codecVersion,
                  std::uint32_t sequenceId, std::size_t& length) {
  std::size_t total = 0;
  length = 0;
  if (int code = DeliverPduLength(d, codecVersion, total); code != kOk) return code;
  if (out.size() < total) return kErrBufferTooSmall;
  const CmppLayout layout = LayoutFor(codecVersion);
  const std::size_t width = layout.terminalWidth;
  const std::size_t content = total - kHeaderLength - layout.deliverFixedBody;

  Writer w(out.data());
  w.U32(static_cast<std::uint32_t>(total));
  w.U32(kCmppDeliver);
  w.U32(sequenceId);
  w.Bytes(d.Msg_Id, 8);
  w.Bytes(d.Dest_Id, 21);
  w.Bytes(d.Service_Id, 10);
  w.U8(d.TP_pid);
  w.U8(d.TP_udhi);
  w.U8(d.Msg_Fmt);
  w.Bytes(d.Src_terminal_Id, width);
  if (layout.v3) w.U8(d.Src_terminal_type);
  w.U8(d.Registered_Delivery);
  w.U8(static_cast<std::uint8_t>(content));
  if (d.Registered_Delivery == 1) {
    const CmppStatusReport report = ReportOf(d);
    w.Bytes(report.Msg_Id, 8);
    w.Bytes(report.Stat, 7);
    w.Bytes(report.Submit_time, 10);
    w.Bytes(report.Done_time, 10);
    w.Bytes(report.Dest_terminal_Id, width);
    w.U32(report.SMSC_sequence);
  } else {
    w.Bytes(d.Msg_Content, content);
  }
  if (layout.v3) {
    w.Bytes(d.LinkID, 20);
  } else {
    w.Zeros(8);
  }
  length = total;
  return kOk;
}

// CMPP_CONNECT body: the layout above EncodeConnect, from offset 12.
int DecodeConnect(const CmppHeader& header, std::span<const std::uint8_t> body, CmppConnect& out) {
  out = {};
  if (!LengthIs(header, body, 39)) return kResultBadLength;
  Reader r(body.data());
  r.Bytes(out.Source_Addr, 6);
  r.Bytes(out.AuthenticatorSource, 16);
  out.Version = r.U8();
  out.Timestamp = r.U32();
  return kOk;
}

// CMPP_SUBMIT body: the layout above SubmitPduLength, from offset 12.
int DecodeSubmit(const CmppHeader& header, std::span<const std::uint8_t> body,
                 std::uint8_t codecVersion, CmppSubmit& out) {
  out = {};
  const CmppLayout layout = LayoutFor(codecVersion);
  const std::size_t width = layout.terminalWidth;
  // Body offsets of DestUsr_tl: 116 (2.0) / 128 (3.0).
  const std::size_t destCountAt = layout.v3 ? 128 : 116;
  if (body.size() != DeclaredBody(header) || body.size() <= destCountAt) return kResultBadLength;
  const std::size_t destinations = body[destCountAt];
  if (destinations > layout.maxDestinations) return kErrTooManyDestinations;
  const std::size_t lengthAt = destCountAt + 1 + width * destinations + (layout.v3 ? 1 : 0);
  if (body.size() <= lengthAt) return kResultBadLength;
  const std::size_t contentLength = body[lengthAt];
  if (!LengthIs(header, body, layout.submitFixed + width * destinations + contentLength)) {
    return kResultBadLength;
  }

  Reader r(body.data());
  r.Bytes(out.Msg_Id, 8);
  out.Pk_total = r.U8();
  out.Pk_number = r.U8();
  out.Registered_Delivery = r.U8();
  out.Msg_level = r.U8();
  r.Bytes(out.Service_Id, 10);
  out.Fee_UserType = r.U8();
  r.Bytes(out.Fee_terminal_Id, width);
  if (layout.v3) out.Fee_terminal_type = r.U8();
  out.TP_pId = r.U8();
  out.TP_udhi = r.U8();
  out.Msg_Fmt = r.U8();
  r.Bytes(out.Msg_src, 6);
  r.Bytes(out.FeeType, 2);
  r.Bytes(out.FeeCode, 6);
  r.Bytes(out.ValId_Time, 17);
  r.Bytes(out.At_Time, 17);
  r.Bytes(out.Src_Id, 21);
  out.DestUsr_tl = r.U8();
  r.Bytes(out.Dest_terminal_Id, width * destinations);
  if (layout.v3) out.Dest_terminal_type = r.U8();
  out.Msg_Length = r.U8();
  r.Bytes(out.Msg_Content, contentLength);
  r.Bytes(out.LinkID, layout.trailerWidth);
  return kOk;
}

// CMPP_DELIVER_RESP body: Msg_Id 8, Result 1 / 4 (Total_Length 21 / 24).
int DecodeDeliverResp(const CmppHeader& header, std::span<const std::uint8_t> body,
                      std::uint8_t codecVersion, CmppDeliverResp& out) {
  out = {};
  const CmppLayout layout = LayoutFor(codecVersion);
  if (!LengthIs(header, body, layout.deliverRespLength)) return kResultBadLength;
  Reader r(body.data());
  r.Bytes(out.Msg_Id, 8);
  out.Result = r.Status(layout.statusWidth);
  return kOk;
}

}  // namespace brivane::cmpp
