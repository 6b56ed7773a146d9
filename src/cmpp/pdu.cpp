#include "cmpp/pdu.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "cmpp/auth.h"

namespace brivane::cmpp {

namespace {

std::atomic<std::uint32_t> g_sequenceId{1};

constexpr std::uint32_t TerminalWidth(bool v3) { return v3 ? 32 : 21; }
constexpr std::uint32_t StatusWidth(bool v3) { return v3 ? 4 : 1; }

// ------------------------------------------------------------------ field walks
// Each PDU body is listed once below, in wire order, as a walk over its
// record. The same walk encodes (Writer), decodes (Reader) and measures
// (Measure), so encoder, decoder and length checks read one list. A walk
// names a field's wire width; `io.v3` and `io.terminalWidth` give the widths
// that depend on the version byte, and Status is 1 byte in 2.0, 4 in 3.0.

// What every walker knows of the version.
struct Walker {
  constexpr explicit Walker(bool isV3) : v3(isV3), terminalWidth(TerminalWidth(isV3)) {}
  bool v3;
  std::size_t terminalWidth;
};

// Counts the bytes a walk covers and notes the offset of one marked field.
class Measure : public Walker {
 public:
  constexpr explicit Measure(bool isV3, const void* mark = nullptr) : Walker(isV3), mark_(mark) {}
  template <class T>
  constexpr void U8(const T& v) {
    Advance(&v, 1);
  }
  template <class T>
  constexpr void U32(const T& v) {
    Advance(&v, 4);
  }
  template <class T>
  constexpr void Status(const T& v) {
    Advance(&v, StatusWidth(v3));
  }
  template <class T, std::size_t N>
  constexpr void Bytes(const T (&field)[N], std::size_t n) {
    Advance(field, n);
  }
  constexpr void Reserve(std::size_t n) { Advance(nullptr, n); }

  constexpr std::size_t Length() const { return length_; }
  constexpr std::size_t MarkAt() const { return markAt_; }

 private:
  constexpr void Advance(const void* field, std::size_t n) {
    if (mark_ != nullptr && field == mark_) markAt_ = length_;
    length_ += n;
  }
  const void* mark_;
  std::size_t length_ = 0;
  std::size_t markAt_ = 0;
};

// Writes a walk into a buffer; a write past the end is dropped and remembered
// (callers check the length first, so that is our own fault, never a peer's).
class Writer : public Walker {
 public:
  Writer(std::span<std::uint8_t> out, bool isV3) : Walker(isV3), out_(out) {}
  template <class T>
  void U8(const T& v) {
    if (std::uint8_t* p = Take(1)) *p = static_cast<std::uint8_t>(v);
  }
  template <class T>
  void U32(const T& v) {
    const auto value = static_cast<std::uint32_t>(v);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    if (std::uint8_t* p = Take(4)) std::memcpy(p, bytes, sizeof bytes);
  }
  template <class T>
  void Status(const T& v) {
    if (v3) {
      U32(v);
    } else {
      U8(v);
    }
  }
  // Exactly n bytes of a record field, which must be at least n wide.
  template <class T, std::size_t N>
  void Bytes(const T (&field)[N], std::size_t n) {
    if (n > sizeof field) {
      ok_ = false;
      return;
    }
    if (std::uint8_t* p = Take(n)) std::memcpy(p, field, n);
  }
  void Reserve(std::size_t n) {
    if (std::uint8_t* p = Take(n)) std::memset(p, 0, n);
  }
  bool Ok() const { return ok_; }

 private:
  std::uint8_t* Take(std::size_t n) {
    if (!ok_ || out_.size() - at_ < n) {
      ok_ = false;
      return nullptr;
    }
    std::uint8_t* p = out_.data() + at_;
    at_ += n;
    return p;
  }
  std::span<std::uint8_t> out_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// Reads a walk from received bytes. A read past the end reads nothing and
// marks the reader failed; the decoder then answers with a length error.
// Text fields are one byte wider than their wire width, so copying exactly
// the wire width into a zero-filled record leaves them terminated.
class Reader : public Walker {
 public:
  Reader(std::span<const std::uint8_t> in, bool isV3) : Walker(isV3), in_(in) {}
  template <class T>
  void U8(T& v) {
    if (const std::uint8_t* p = Take(1)) v = static_cast<T>(*p);
  }
  template <class T>
  void U32(T& v) {
    if (const std::uint8_t* p = Take(4)) {
      v = static_cast<T>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                         (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
    }
  }
  template <class T>
  void Status(T& v) {
    if (v3) {
      U32(v);
    } else {
      U8(v);
    }
  }
  template <class T, std::size_t N>
  void Bytes(T (&field)[N], std::size_t n) {
    if (n > sizeof field) {
      ok_ = false;
      return;
    }
    if (const std::uint8_t* p = Take(n)) std::memcpy(field, p, n);
  }
  void Reserve(std::size_t n) { Take(n); }
  bool Ok() const { return ok_; }
  // True when every byte was read and nothing was missing.
  bool Whole() const { return ok_ && at_ == in_.size(); }

 private:
  const std::uint8_t* Take(std::size_t n) {
    if (!ok_ || in_.size() - at_ < n) {
      ok_ = false;
      return nullptr;
    }
    const std::uint8_t* p = in_.data() + at_;
    at_ += n;
    return p;
  }
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// | 0 | 4 | Total_Length |  | 4 | 4 | Command_Id |  | 8 | 4 | Sequence_Id |
constexpr auto kHeaderFields = [](auto& io, auto& h) {
  io.U32(h.Total_Length);
  io.U32(h.Command_Id);
  io.U32(h.Sequence_Id);
};

// CMPP_CONNECT, after the header (Command_Id 0x00000001), both versions
// | off | size | field                                            |
// |  12 |    6 | Source_Addr: first 6 bytes of the name, 0-padded |
// |  18 |   16 | AuthenticatorSource (LoginAuthenticator)         |
// |  34 |    1 | Version                                          |
// |  35 |    4 | Timestamp (MMDDhhmmss as a number)               |
// Total_Length 39.
constexpr auto kConnectFields = [](auto& io, auto& c) {
  io.Bytes(c.Source_Addr, kSourceAddrLength);
  io.Bytes(c.AuthenticatorSource, 16);
  io.U8(c.Version);
  io.U32(c.Timestamp);
};

// CMPP_CONNECT_RESP, after the header (Command_Id 0x80000001)
// | off   | size 2.0 / 3.0 | field             |
// |  12   | 1 / 4          | Status            |
// | 13/16 | 16             | AuthenticatorISMG |
// | 29/32 | 1              | Version           |
// Total_Length 30 / 33.
constexpr auto kConnectRespFields = [](auto& io, auto& r) {
  io.Status(r.Status);
  io.Bytes(r.AuthenticatorISMG, 16);
  io.U8(r.Version);
};

// CMPP_SUBMIT_RESP (0x80000004) and CMPP_DELIVER_RESP (0x80000005), after
// the header
// | off | size 2.0 / 3.0 | field                                          |
// |  12 | 8              | Msg_Id                                         |
// |  20 | 1 / 4          | Result (2.0 unsigned byte / 3.0 big-endian)    |
// Total_Length 21 / 24. A DELIVER_RESP echoes the DELIVER's Sequence_Id and
// its Msg_Id byte for byte.
constexpr auto kResultFields = [](auto& io, auto& r) {
  io.Bytes(r.Msg_Id, kMsgIdLength);
  io.Status(r.Result);
};

// CMPP_ACTIVE_TEST_RESP (0x80000008): one Reserved byte at offset 12,
// Total_Length 13. ACTIVE_TEST, TERMINATE and TERMINATE_RESP are the header
// alone, Total_Length 12.
constexpr auto kActiveTestRespFields = [](auto& io, auto& r) { io.U8(r.Reserved); };

// CMPP_SUBMIT (Command_Id 0x00000004)
// N = DestUsr_tl, L = Msg_Length, w = terminal width (21 / 32).
// | 2.0 off     | 3.0 off     | size      | field                          |
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
// Total_Length = 138 + 21N + L (2.0) or 163 + 32N + L (3.0). The 2.0 Reserve
// carries the first 8 bytes of the record's LinkID. The walk reads and
// writes N and L from the record: encoders check them first (SubmitPduLength),
// DecodeSubmit checks N before it walks.
constexpr auto kSubmitFields = [](auto& io, auto& s) {
  io.Bytes(s.Msg_Id, kMsgIdLength);
  io.U8(s.Pk_total);
  io.U8(s.Pk_number);
  io.U8(s.Registered_Delivery);
  io.U8(s.Msg_level);
  io.Bytes(s.Service_Id, 10);
  io.U8(s.Fee_UserType);
  io.Bytes(s.Fee_terminal_Id, io.terminalWidth);
  if (io.v3) io.U8(s.Fee_terminal_type);
  io.U8(s.TP_pId);
  io.U8(s.TP_udhi);
  io.U8(s.Msg_Fmt);
  io.Bytes(s.Msg_src, 6);
  io.Bytes(s.FeeType, 2);
  io.Bytes(s.FeeCode, 6);
  io.Bytes(s.ValId_Time, 17);
  io.Bytes(s.At_Time, 17);
  io.Bytes(s.Src_Id, 21);
  io.U8(s.DestUsr_tl);
  io.Bytes(s.Dest_terminal_Id, io.terminalWidth * s.DestUsr_tl);
  if (io.v3) io.U8(s.Dest_terminal_type);
  io.U8(s.Msg_Length);
  io.Bytes(s.Msg_Content, s.Msg_Length);
  io.Bytes(s.LinkID, io.v3 ? 20 : 8);
};

// CMPP_DELIVER (Command_Id 0x00000005), after the header; L = Msg_Length.
// | 2.0 off | 3.0 off | size     | field                                 |
// |   0     |   0     | 8        | Msg_Id                                |
// |   8     |   8     | 21       | Dest_Id                               |
// |  29     |  29     | 10       | Service_Id                            |
// |  39     |  39     | 1 each   | TP_pid TP_udhi Msg_Fmt                |
// |  42     |  42     | 21 / 32  | Src_terminal_Id                       |
// |   -     |  74     | 1        | Src_terminal_type (3.0)               |
// |  63     |  75     | 1        | Registered_Delivery                   |
// |  64     |  76     | 1        | Msg_Length                            |
// |  65     |  77     | L        | Msg_Content                           |
// |  65 + L |  77 + L | 8 / 20   | Reserve (2.0, dropped) / LinkID (3.0) |
// Total_Length = 12 + 73 + L (2.0) or 12 + 97 + L (3.0). The content is not
// in the walks: an MO keeps its first 160 bytes, a report is read and written
// with kReportFields, so the codec handles it between the two walks.
constexpr auto kDeliverFieldsBeforeContent = [](auto& io, auto& d) {
  io.Bytes(d.Msg_Id, kMsgIdLength);
  io.Bytes(d.Dest_Id, 21);
  io.Bytes(d.Service_Id, 10);
  io.U8(d.TP_pid);
  io.U8(d.TP_udhi);
  io.U8(d.Msg_Fmt);
  io.Bytes(d.Src_terminal_Id, io.terminalWidth);
  if (io.v3) io.U8(d.Src_terminal_type);
  io.U8(d.Registered_Delivery);
  io.U8(d.Msg_Length);
};
constexpr auto kDeliverFieldsAfterContent = [](auto& io, auto& d) {
  if (io.v3) {
    io.Bytes(d.LinkID, 20);
  } else {
    io.Reserve(8);
  }
};

// Status report content of a DELIVER with Registered_Delivery 1, L = 60 / 71
// | off     | size     | field                  |
// |   0     | 8        | Msg_Id                 |
// |   8     | 7        | Stat                   |
// |  15     | 10       | Submit_time            |
// |  25     | 10       | Done_time              |
// |  35     | 21 / 32  | Dest_terminal_Id       |
// | 56 / 67 | 4        | SMSC_sequence          |
constexpr auto kReportFields = [](auto& io, auto& r) {
  io.Bytes(r.Msg_Id, kMsgIdLength);
  io.Bytes(r.Stat, 7);
  io.Bytes(r.Submit_time, 10);
  io.Bytes(r.Done_time, 10);
  io.Bytes(r.Dest_terminal_Id, io.terminalWidth);
  io.U32(r.SMSC_sequence);
};

// The bytes a walk covers for this record (its length fields as they stand).
template <class Walk, class Record>
constexpr std::size_t WalkLength(Walk walk, const Record& record, bool v3) {
  Measure m(v3);
  walk(m, record);
  return m.Length();
}

// Where a walk puts one field of the record.
template <class Walk, class Record, class Field>
constexpr std::size_t OffsetOf(Walk walk, const Record& record, const Field& field, bool v3) {
  Measure m(v3, &field);
  walk(m, record);
  return m.MarkAt();
}

constexpr CmppLayout MakeLayout(bool v3) {
  const CmppSubmit submit{};  // no destinations, no content
  const CmppDeliver deliver{};
  CmppLayout l{};
  l.v3 = v3;
  l.terminalWidth = TerminalWidth(v3);
  l.statusWidth = StatusWidth(v3);
  l.connectRespLength = kHeaderLength + WalkLength(kConnectRespFields, CmppConnectResp{}, v3);
  l.submitRespLength = kHeaderLength + WalkLength(kResultFields, CmppSubmitResp{}, v3);
  l.deliverRespLength = kHeaderLength + WalkLength(kResultFields, CmppDeliverResp{}, v3);
  l.deliverLengthAt = OffsetOf(kDeliverFieldsBeforeContent, deliver, deliver.Msg_Length, v3);
  l.deliverFixedBody = WalkLength(kDeliverFieldsBeforeContent, deliver, v3) +
                       WalkLength(kDeliverFieldsAfterContent, deliver, v3);
  l.reportLength = WalkLength(kReportFields, CmppStatusReport{}, v3);
  l.submitFixed = kHeaderLength + WalkLength(kSubmitFields, submit, v3);
  l.submitDestCountAt = OffsetOf(kSubmitFields, submit, submit.DestUsr_tl, v3);
  l.trailerWidth =
      l.submitFixed - kHeaderLength - OffsetOf(kSubmitFields, submit, submit.LinkID, v3);
  l.maxDestinations = kDestAreaSize / l.terminalWidth;
  return l;
}

constexpr CmppLayout kLayout20 = MakeLayout(false);
constexpr CmppLayout kLayout30 = MakeLayout(true);

// The figures the layout tables above state, held to the walks.
static_assert(kHeaderLength + WalkLength(kConnectFields, CmppConnect{}, false) == 39);
static_assert(kLayout20.connectRespLength == 30 && kLayout30.connectRespLength == 33);
static_assert(kLayout20.submitRespLength == 21 && kLayout30.submitRespLength == 24);
static_assert(kLayout20.deliverRespLength == 21 && kLayout30.deliverRespLength == 24);
static_assert(kLayout20.submitFixed == 138 && kLayout30.submitFixed == 163);
static_assert(kLayout20.submitDestCountAt == 128 - kHeaderLength &&
              kLayout30.submitDestCountAt == 140 - kHeaderLength);
static_assert(kLayout20.deliverLengthAt == 64 && kLayout30.deliverLengthAt == 76);
static_assert(kLayout20.deliverFixedBody == 73 && kLayout30.deliverFixedBody == 97);
static_assert(kLayout20.reportLength == 60 && kLayout30.reportLength == 71);
static_assert(kLayout20.trailerWidth == 8 && kLayout30.trailerWidth == 20);
static_assert(kLayout20.maxDestinations == 152 && kLayout30.maxDestinations == 100);
static_assert(kMaxSubmitPduLength == kLayout30.submitFixed +
                                         kLayout30.terminalWidth * kLayout30.maxDestinations +
                                         kMaxMsgLength);
static_assert(kMaxDeliverPduLength == kHeaderLength + kLayout30.deliverFixedBody + kMaxMsgLength);
static_assert(kMaxAnswerLength == kLayout30.deliverRespLength);

// Writes the header and the body a walk lists into `out`, which the caller
// has checked holds `total` bytes.
template <class Walk, class Record>
void WritePdu(std::span<std::uint8_t> out, bool v3, std::size_t total, std::uint32_t commandId,
              std::uint32_t sequenceId, Walk walk, const Record& record) {
  Writer w(out, v3);
  const CmppHeader header{static_cast<std::uint32_t>(total), commandId, sequenceId};
  kHeaderFields(w, header);
  walk(w, record);
}

// One whole fixed-size PDU; its length, or 0 when `out` is too small.
template <class Walk, class Record>
std::size_t EncodeFixed(std::span<std::uint8_t> out, bool v3, std::uint32_t commandId,
                        std::uint32_t sequenceId, Walk walk, const Record& record) {
  const std::size_t total = kHeaderLength + WalkLength(walk, record, v3);
  if (out.size() < total) return 0;
  WritePdu(out, v3, total, commandId, sequenceId, walk, record);
  return total;
}

// SUBMIT_RESP or DELIVER_RESP: the same two fields in either record.
template <class Record>
std::size_t EncodeResult(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                         std::uint32_t commandId, std::uint32_t sequenceId,
                         std::span<const std::uint8_t, kMsgIdLength> msgId, std::uint32_t result) {
  Record resp{};
  std::copy(msgId.begin(), msgId.end(), resp.Msg_Id);
  resp.Result = static_cast<decltype(resp.Result)>(result);
  return EncodeFixed(out, IsCmpp3(codecVersion), commandId, sequenceId, kResultFields, resp);
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

// Reads a fixed-size body: the header must declare exactly the walk's length.
template <class Walk, class Record>
int DecodeFixed(const CmppHeader& h, std::span<const std::uint8_t> body, bool v3, Walk walk,
                Record& out) {
  if (!LengthIs(h, body, kHeaderLength + WalkLength(walk, out, v3))) return kResultBadLength;
  Reader r(body, v3);
  walk(r, out);
  return kOk;
}

}  // namespace

CmppLayout LayoutFor(std::uint8_t version) { return IsCmpp3(version) ? kLayout30 : kLayout20; }

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
int ParseHeader(std::span<const std::uint8_t, kHeaderLength> bytes, CmppHeader& header,
                std::uint32_t& bodyLength) {
  Reader r(bytes, false);
  kHeaderFields(r, header);
  if (header.Total_Length > kMaxPduLength) {
    bodyLength = 0;
    return kErrFrameTooLong;
  }
  bodyLength = static_cast<std::uint32_t>(DeclaredBody(header));
  return kOk;
}

std::size_t EncodeHeader(std::span<std::uint8_t> out, const CmppHeader& header) {
  if (out.size() < kHeaderLength) return 0;
  Writer w(out, false);
  kHeaderFields(w, header);
  return kHeaderLength;
}

// ================================================================== SP side

std::size_t EncodeConnect(std::span<std::uint8_t> out, std::string_view loginName,
                          std::string_view secret, std::uint32_t timestamp,
                          std::uint32_t sequenceId, std::uint8_t version) {
  CmppConnect connect{};
  std::copy_n(loginName.begin(), std::min(loginName.size(), kSourceAddrLength),
              connect.Source_Addr);
  const Md5Digest auth = LoginAuthenticator(loginName, secret, timestamp);
  std::copy(auth.begin(), auth.end(), connect.AuthenticatorSource);
  connect.Version = version;
  connect.Timestamp = timestamp;
  return EncodeFixed(out, false, kCmppConnect, sequenceId, kConnectFields, connect);
}

int SubmitPduLength(const CmppSubmit& submit, std::uint8_t codecVersion, std::size_t& length) {
  const CmppLayout layout = LayoutFor(codecVersion);
  length = 0;
  if (submit.DestUsr_tl > layout.maxDestinations) return kErrTooManyDestinations;
  if (submit.Msg_Length > kMaxMsgLength) return kErrContentTooLong;
  length = kHeaderLength + WalkLength(kSubmitFields, submit, layout.v3);
  return kOk;
}

int EncodeSubmit(std::span<std::uint8_t> out, const CmppSubmit& s, std::uint8_t codecVersion,
                 std::uint32_t sequenceId, std::size_t& length) {
  std::size_t total = 0;
  length = 0;
  if (int code = SubmitPduLength(s, codecVersion, total); code != kOk) return code;
  if (out.size() < total) return kErrBufferTooSmall;
  WritePdu(out, IsCmpp3(codecVersion), total, kCmppSubmit, sequenceId, kSubmitFields, s);
  length = total;
  return kOk;
}

std::size_t EncodeDeliverResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId,
                              std::span<const std::uint8_t, kMsgIdLength> msgId,
                              std::uint32_t result) {
  return EncodeResult<CmppDeliverResp>(out, codecVersion, kCmppDeliverResp, sequenceId, msgId,
                                       result);
}

namespace {

std::size_t EncodeHeaderOnly(std::span<std::uint8_t> out, std::uint32_t commandId,
                             std::uint32_t sequenceId) {
  return EncodeHeader(out, CmppHeader{kHeaderLength, commandId, sequenceId});
}

}  // namespace

std::size_t EncodeActiveTest(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return EncodeHeaderOnly(out, kCmppActiveTest, sequenceId);
}
std::size_t EncodeActiveTestResp(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return EncodeFixed(out, false, kCmppActiveTestResp, sequenceId, kActiveTestRespFields,
                     CmppActiveTestResp{});
}
std::size_t EncodeTerminate(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return EncodeHeaderOnly(out, kCmppTerminate, sequenceId);
}
std::size_t EncodeTerminateResp(std::span<std::uint8_t> out, std::uint32_t sequenceId) {
  return EncodeHeaderOnly(out, kCmppTerminateResp, sequenceId);
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

int DecodeSubmitResp(const CmppHeader& h, std::span<const std::uint8_t> body, bool v3,
                     CmppSubmitResp& out) {
  const int result = DecodeFixed(h, body, v3, kResultFields, out);
  if (result == kOk) out.Sequence_Id = h.Sequence_Id;
  return result;
}

// The content of a DELIVER: an MO keeps its first 160 bytes; a report must
// be the version's report length and is stored as a CmppStatusReport.
int ReadDeliverContent(Reader content, const CmppLayout& layout, std::size_t contentLength,
                       CmppDeliver& out) {
  if (out.Registered_Delivery == 0) {
    content.Bytes(out.Msg_Content, std::min<std::size_t>(contentLength, kMoContentKept));
    return kOk;
  }
  if (out.Registered_Delivery != 1) return kResultBadRegisteredDelivery;
  if (contentLength != layout.reportLength) return kResultBadLength;
  CmppStatusReport report{};
  kReportFields(content, report);
  SetReport(out, report);
  return kOk;
}

int DecodeDeliver(const CmppHeader& h, std::span<const std::uint8_t> body, const CmppLayout& layout,
                  const CmppReceiveStamp& stamp, CmppDeliver& out) {
  if (body.size() != DeclaredBody(h) || body.size() <= layout.deliverLengthAt) {
    return kResultBadLength;
  }
  const std::uint32_t contentLength = body[layout.deliverLengthAt];
  if (!LengthIs(h, body, kHeaderLength + layout.deliverFixedBody + contentLength)) {
    return kResultBadLength;
  }

  Reader r(body, layout.v3);
  kDeliverFieldsBeforeContent(r, out);
  const int result = ReadDeliverContent(r, layout, contentLength, out);
  r.Reserve(contentLength);
  kDeliverFieldsAfterContent(r, out);

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
      return DecodeFixed(header, body, layout.v3, kConnectRespFields, out.connectResp);
    case kCmppSubmitResp:
      return DecodeSubmitResp(header, body, layout.v3, out.submitResp);
    case kCmppActiveTestResp:
      return DecodeFixed(header, body, layout.v3, kActiveTestRespFields, out.activeTestResp);
    case kCmppActiveTest:
      answer.kind = CmppAnswerKind::kActiveTestResp;
      return LengthIs(header, body, kHeaderLength) ? kOk : kResultBadLength;
    case kCmppTerminate:
      answer.kind = CmppAnswerKind::kTerminateResp;
      return LengthIs(header, body, kHeaderLength) ? kOk : kResultBadLength;
    case kCmppTerminateResp:
      return LengthIs(header, body, kHeaderLength) ? kOk : kResultBadLength;
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

std::size_t EncodeConnectResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId, std::uint32_t status,
                              std::span<const std::uint8_t, 16> authenticatorIsmg,
                              std::uint8_t version) {
  CmppConnectResp resp{};
  resp.Status = status;
  std::copy(authenticatorIsmg.begin(), authenticatorIsmg.end(), resp.AuthenticatorISMG);
  resp.Version = version;
  return EncodeFixed(out, IsCmpp3(codecVersion), kCmppConnectResp, sequenceId, kConnectRespFields,
                     resp);
}

std::size_t EncodeSubmitResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                             std::uint32_t sequenceId,
                             std::span<const std::uint8_t, kMsgIdLength> msgId,
                             std::uint32_t result) {
  return EncodeResult<CmppSubmitResp>(out, codecVersion, kCmppSubmitResp, sequenceId, msgId,
                                      result);
}

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
  const std::size_t content = total - kHeaderLength - layout.deliverFixedBody;
  if (d.Msg_Length != content) {
    // A report goes out with the version's report length whatever the
    // record says; the walk writes the record's field, so encode a copy.
    CmppDeliver report = d;
    report.Msg_Length = static_cast<std::uint32_t>(content);
    return EncodeDeliver(out, report, codecVersion, sequenceId, length);
  }

  Writer w(out, layout.v3);
  const CmppHeader header{static_cast<std::uint32_t>(total), kCmppDeliver, sequenceId};
  kHeaderFields(w, header);
  kDeliverFieldsBeforeContent(w, d);
  if (d.Registered_Delivery == 1) {
    const CmppStatusReport report = ReportOf(d);
    kReportFields(w, report);
  } else {
    w.Bytes(d.Msg_Content, content);
  }
  kDeliverFieldsAfterContent(w, d);
  length = total;
  return kOk;
}

int DecodeConnect(const CmppHeader& header, std::span<const std::uint8_t> body, CmppConnect& out) {
  out = {};
  return DecodeFixed(header, body, false, kConnectFields, out);
}

int DecodeSubmit(const CmppHeader& header, std::span<const std::uint8_t> body,
                 std::uint8_t codecVersion, CmppSubmit& out) {
  out = {};
  const CmppLayout layout = LayoutFor(codecVersion);
  // DestUsr_tl sizes the destination area, so it is checked before the walk
  // copies N numbers into the record.
  if (body.size() != DeclaredBody(header) || body.size() <= layout.submitDestCountAt) {
    return kResultBadLength;
  }
  if (body[layout.submitDestCountAt] > layout.maxDestinations) return kErrTooManyDestinations;
  Reader r(body, layout.v3);
  kSubmitFields(r, out);
  return r.Whole() ? kOk : kResultBadLength;
}

int DecodeDeliverResp(const CmppHeader& header, std::span<const std::uint8_t> body,
                      std::uint8_t codecVersion, CmppDeliverResp& out) {
  out = {};
  return DecodeFixed(header, body, IsCmpp3(codecVersion), kResultFields, out);
}

}  // namespace brivane::cmpp
