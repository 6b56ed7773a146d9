#pragma once
// The CMPP 2.0 / 3.0 wire format: the plain records handed between layers,
// and pure encoders and decoders over byte spans. Nothing here touches a
// socket, a clock, the log or the configuration; the receive tick and time of
// a DELIVER are handed in by the caller. Every function may be called from
// any thread; the only shared state is the Sequence_Id counter.
//
// Conventions of every record: integers in host order, except Msg_Id, which
// is 8 opaque bytes in wire order; text fields are one byte wider than their
// wire field, so a decoded field is always zero-terminated; an encoder copies
// exactly the wire width from a text field, so records must be zero-filled
// before their fields are set (value-initialise them: `CmppSubmit s{};`).
//
// Version byte: a value above 32 (0x20) selects the CMPP 3.0 layouts, any
// other value the CMPP 2.0 layouts (LayoutFor).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "cmpp/result_codes.h"

namespace brivane::cmpp {

// --- Command_Id values ---
inline constexpr std::uint32_t kCmppConnect = 0x00000001;
inline constexpr std::uint32_t kCmppConnectResp = 0x80000001;
inline constexpr std::uint32_t kCmppTerminate = 0x00000002;
inline constexpr std::uint32_t kCmppTerminateResp = 0x80000002;
inline constexpr std::uint32_t kCmppSubmit = 0x00000004;
inline constexpr std::uint32_t kCmppSubmitResp = 0x80000004;
inline constexpr std::uint32_t kCmppDeliver = 0x00000005;
inline constexpr std::uint32_t kCmppDeliverResp = 0x80000005;
inline constexpr std::uint32_t kCmppActiveTest = 0x00000008;
inline constexpr std::uint32_t kCmppActiveTestResp = 0x80000008;

// --- versions and frame limits ---
inline constexpr std::uint8_t kCmppVersion20 = 0x20;
inline constexpr std::uint8_t kCmppVersion30 = 0x30;
inline constexpr std::size_t kHeaderLength = 12;
// The receive body buffer; a larger frame is a framing error (ParseHeader).
inline constexpr std::size_t kMaxBodyLength = 4096;
inline constexpr std::size_t kMaxPduLength = kHeaderLength + kMaxBodyLength;  // 4108

// --- record field sizes ---
inline constexpr std::size_t kMsgIdLength = 8;
inline constexpr std::size_t kDestAreaSize = 3201;     // CmppSubmit::Dest_terminal_Id
inline constexpr std::size_t kContentAreaSize = 8193;  // Msg_Content of CmppSubmit, CmppDeliver
// An MO DELIVER keeps at most this many content bytes; Msg_Length keeps L.
inline constexpr std::size_t kMoContentKept = 160;
inline constexpr std::size_t kMaxMsgLength = 255;

// The widths and lengths that depend on the version byte, fixed per codec.
// Computed from the field lists the encoders and decoders walk (pdu.cpp).
struct CmppLayout {
  bool v3;                          // CMPP 3.0 layouts
  std::uint32_t terminalWidth;      // 21 / 32: Fee_, Dest_, Src_terminal_Id
  std::uint32_t statusWidth;        // 1 / 4: Status, Result in the responses
  std::uint32_t connectRespLength;  // Total_Length of CONNECT_RESP: 30 / 33
  std::uint32_t submitRespLength;   // Total_Length of SUBMIT_RESP: 21 / 24
  std::uint32_t deliverRespLength;  // Total_Length of DELIVER_RESP: 21 / 24
  std::uint32_t deliverLengthAt;    // body offset of a DELIVER's Msg_Length: 64 / 76
  std::uint32_t deliverFixedBody;   // DELIVER body without Msg_Content: 73 / 97
  std::uint32_t reportLength;       // Msg_Length of a status report: 60 / 71
  std::uint32_t trailerWidth;       // SUBMIT's last field: Reserve 8 (2.0) / LinkID 20 (3.0)
  std::uint32_t submitFixed;        // SUBMIT length without dests and content: 138 / 163
  std::uint32_t submitDestCountAt;  // body offset of a SUBMIT's DestUsr_tl: 116 / 128
  std::uint32_t maxDestinations;    // kDestAreaSize / terminalWidth: 152 / 100
};

constexpr bool IsCmpp3(std::uint8_t version) { return version > 32; }

CmppLayout LayoutFor(std::uint8_t version);

// The process-wide Sequence_Id counter: the first call returns 1, each call
// one more, wrapping modulo 2^32. Atomic, so links never draw the same number.
std::uint32_t NextSequenceId();

// ============================================================== records

struct CmppHeader {
  std::uint32_t Total_Length;
  std::uint32_t Command_Id;
  std::uint32_t Sequence_Id;
};

struct CmppConnectResp {
  std::uint32_t Status;  // the byte in 2.0, the 4-byte value in 3.0
  std::uint8_t AuthenticatorISMG[17];
  std::uint8_t Version;
};

struct CmppSubmitResp {
  std::uint8_t Msg_Id[8];
  std::int32_t Result;        // 2.0: the byte's unsigned value 0..255
  std::uint32_t Sequence_Id;  // from the header: the key that finds the submit
};

struct CmppActiveTestResp {
  std::uint8_t Reserved;
};

// A status report; a DELIVER with Registered_Delivery 1 carries it at the start
// of its Msg_Content. Read and write it there with ReportOf / SetReport.
struct CmppStatusReport {
  std::uint8_t Msg_Id[8];  // of the submitted message
  char Stat[8];
  char Submit_time[11];
  char Done_time[11];
  char Dest_terminal_Id[33];
  std::uint32_t SMSC_sequence;
};

struct CmppDeliver {
  std::uint8_t Msg_Id[8];
  char Dest_Id[22];
  char Service_Id[11];
  std::uint8_t TP_pid;
  std::uint8_t TP_udhi;
  std::uint8_t Msg_Fmt;
  char Src_terminal_Id[33];
  std::uint8_t Src_terminal_type;    // 3.0 only; 0 in 2.0
  std::uint8_t Registered_Delivery;  // 0 MO message, 1 status report
  std::uint32_t Msg_Length;          // the wire byte, also when content was cut
  // MO: the first min(Msg_Length, 160) content bytes, the rest zero.
  // Report: the bytes of a CmppStatusReport (ReportOf).
  std::uint8_t Msg_Content[kContentAreaSize];
  char LinkID[21];            // 3.0 only; the 2.0 Reserve is not kept
  std::uint32_t receiveTick;  // ms since system start when decoded
  char receiveTime[20];       // local time when decoded, "YYYY-MM-DD hh:mm:ss"
};

// The MT submit record: built by the MT poller, split by the client, written
// by a link. The codec reads only the CMPP fields (up to LinkID).
struct CmppSubmit {
  std::uint8_t Msg_Id[8];
  std::uint8_t Pk_total;
  std::uint8_t Pk_number;
  std::uint8_t Registered_Delivery;
  std::uint8_t Msg_level;
  char Service_Id[11];
  std::uint8_t Fee_UserType;
  char Fee_terminal_Id[33];
  std::uint8_t Fee_terminal_type;  // 3.0 only
  std::uint8_t TP_pId;
  std::uint8_t TP_udhi;
  std::uint8_t Msg_Fmt;
  char Msg_src[7];
  char FeeType[3];
  char FeeCode[7];
  char ValId_Time[18];
  char At_Time[18];
  char Src_Id[22];
  std::uint8_t DestUsr_tl;
  // DestUsr_tl numbers packed back to back at the version's terminal width
  // (21 or 32 bytes each, zero-padded): number i starts at i * terminalWidth.
  char Dest_terminal_Id[kDestAreaSize];
  std::uint8_t Dest_terminal_type;  // 3.0 only
  std::uint32_t Msg_Length;         // at most 255 to be encodable
  std::uint8_t Msg_Content[kContentAreaSize];
  char LinkID[21];  // 3.0: 20 bytes as LinkID; 2.0: first 8 bytes as Reserve

  // Send bookkeeping; never on the wire.
  std::uint64_t recordId;       // SubmitID of the database row (64-bit)
  std::uint32_t sequenceId;     // drawn when the record is written to a link
  std::uint32_t lastWriteTick;  // ms since system start at the last write
  std::uint32_t writeAttempts;
  std::int32_t lastError;  // code of the last failed write
};

// One decoded PDU. Only the record that goes with header.Command_Id is
// meaningful after DecodePdu; that record is filled whole, with zeros in the
// fields the PDU does not carry. The other records keep what they held.
struct CmppMessage {
  CmppHeader header;
  CmppConnectResp connectResp;        // kCmppConnectResp
  CmppSubmitResp submitResp;          // kCmppSubmitResp
  CmppActiveTestResp activeTestResp;  // kCmppActiveTestResp
  CmppDeliver deliver;                // kCmppDeliver
};

// The answer a received PDU requires, written by the link whatever the result
// code: TERMINATE_RESP for a TERMINATE, ACTIVE_TEST_RESP for an ACTIVE_TEST,
// DELIVER_RESP (the DELIVER's Msg_Id, Result = the result code) for a DELIVER.
enum class CmppAnswerKind : std::uint8_t { kNone, kTerminateResp, kActiveTestResp, kDeliverResp };

struct CmppAnswer {
  CmppAnswerKind kind;
  std::uint32_t Sequence_Id;  // the request's
  std::uint8_t Msg_Id[8];     // kDeliverResp only
  std::uint32_t Result;       // kDeliverResp only
};

// What the caller hands the decoder for the receive stamp of a DELIVER.
struct CmppReceiveStamp {
  std::uint32_t tick = 0;
  std::string_view time;  // at most 19 characters are kept
};

// The SMG side's view of a CMPP_CONNECT (for the simulator).
struct CmppConnect {
  char Source_Addr[7];
  std::uint8_t AuthenticatorSource[16];
  std::uint8_t Version;
  std::uint32_t Timestamp;  // MMDDhhmmss as a number
};

// The SMG side's view of a CMPP_DELIVER_RESP (for the simulator).
struct CmppDeliverResp {
  std::uint8_t Msg_Id[8];
  std::uint32_t Result;
};

static_assert(std::is_trivially_copyable_v<CmppSubmit> &&
              std::is_trivially_copyable_v<CmppDeliver> &&
              std::is_trivially_copyable_v<CmppMessage>);

// The status report at the start of a report DELIVER's Msg_Content.
CmppStatusReport ReportOf(const CmppDeliver& deliver);
void SetReport(CmppDeliver& deliver, const CmppStatusReport& report);

// ============================================================== framing

// Reads the 12 header bytes. Fills `header` (host order) and `bodyLength`, the
// number of body bytes to read next (0 when Total_Length is below 12; the
// decoder then answers with result 4, or 2 for an unknown Command_Id).
// Returns 0, or kErrFrameTooLong when Total_Length exceeds kMaxPduLength: the
// frame does not fit the body buffer and the connection must be dropped.
int ParseHeader(std::span<const std::uint8_t, kHeaderLength> bytes, CmppHeader& header,
                std::uint32_t& bodyLength);

// Writes a header; `out` must hold 12 bytes. Returns 12, or 0 when too small.
std::size_t EncodeHeader(std::span<std::uint8_t> out, const CmppHeader& header);

// ============================================================== SP side

// Each fixed-size encoder writes one whole PDU at the start of `out` and
// returns its length, or 0 when `out` is too small (nothing written).
//
// CMPP_CONNECT, 39 bytes in both versions. `timestamp` is MMDDhhmmss read as a
// decimal number; `version` is the Version field sent (chosen by the link).
std::size_t EncodeConnect(std::span<std::uint8_t> out, std::string_view loginName,
                          std::string_view secret, std::uint32_t timestamp,
                          std::uint32_t sequenceId, std::uint8_t version);

// The exact length of the SUBMIT the record encodes to in `codecVersion`, or
// the reason it cannot be encoded: kErrTooManyDestinations, kErrContentTooLong.
int SubmitPduLength(const CmppSubmit& submit, std::uint8_t codecVersion, std::size_t& length);
// Largest encodable SUBMIT in either version (3.0, 100 destinations, 255 bytes).
inline constexpr std::size_t kMaxSubmitPduLength = 163 + 32 * 100 + 255;

// CMPP_SUBMIT in the codec's version. Returns 0 with `length` set, or
// kErrTooManyDestinations / kErrContentTooLong / kErrBufferTooSmall with
// nothing written.
int EncodeSubmit(std::span<std::uint8_t> out, const CmppSubmit& submit, std::uint8_t codecVersion,
                 std::uint32_t sequenceId, std::size_t& length);

// CMPP_DELIVER_RESP: 21 bytes (2.0, Result as its low byte) or 24 bytes (3.0).
std::size_t EncodeDeliverResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId,
                              std::span<const std::uint8_t, kMsgIdLength> msgId,
                              std::uint32_t result);

// Header-only PDUs (12 bytes) and the 13-byte ACTIVE_TEST_RESP (Reserved 0).
std::size_t EncodeActiveTest(std::span<std::uint8_t> out, std::uint32_t sequenceId);
std::size_t EncodeActiveTestResp(std::span<std::uint8_t> out, std::uint32_t sequenceId);
std::size_t EncodeTerminate(std::span<std::uint8_t> out, std::uint32_t sequenceId);
std::size_t EncodeTerminateResp(std::span<std::uint8_t> out, std::uint32_t sequenceId);

// The answer DecodePdu said is due; 0 bytes for kNone. At most 24 bytes.
std::size_t EncodeAnswer(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                         const CmppAnswer& answer);
inline constexpr std::size_t kMaxAnswerLength = 24;

// Decodes one received PDU: `header` as ParseHeader gave it, `body` the
// Total_Length - 12 bytes that followed. Stores the header in `out`, fills the
// record that goes with Command_Id and sets `answer`. Returns the result code:
// 0, kResultUnknownCommand (2), kResultBadLength (4) or
// kResultBadRegisteredDelivery (7). Never reads outside `body`: a body shorter
// than the header declares gives 4.
int DecodePdu(const CmppHeader& header, std::span<const std::uint8_t> body,
              std::uint8_t codecVersion, const CmppReceiveStamp& stamp, CmppMessage& out,
              CmppAnswer& answer);

// ============================================================== SMG side
// The other end of the link, for the SMG simulator and the tests.

// CMPP_CONNECT_RESP: 30 bytes (2.0) or 33 bytes (3.0).
std::size_t EncodeConnectResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                              std::uint32_t sequenceId, std::uint32_t status,
                              std::span<const std::uint8_t, 16> authenticatorIsmg,
                              std::uint8_t version);

// CMPP_SUBMIT_RESP: 21 bytes (2.0, Result as its low byte) or 24 bytes (3.0).
std::size_t EncodeSubmitResp(std::span<std::uint8_t> out, std::uint8_t codecVersion,
                             std::uint32_t sequenceId,
                             std::span<const std::uint8_t, kMsgIdLength> msgId,
                             std::uint32_t result);

// Length of the DELIVER the record encodes to, or kErrContentTooLong.
int DeliverPduLength(const CmppDeliver& deliver, std::uint8_t codecVersion, std::size_t& length);
inline constexpr std::size_t kMaxDeliverPduLength = 12 + 97 + 255;

// CMPP_DELIVER. Registered_Delivery 1: the content is the report of ReportOf
// and Msg_Length the version's report length, whatever the record's
// Msg_Length says. Any other value: Msg_Length bytes of Msg_Content (at most
// 255, else kErrContentTooLong). The 2.0 Reserve goes out as zeros. Returns 0
// with `length` set, or an error code with nothing written.
int EncodeDeliver(std::span<std::uint8_t> out, const CmppDeliver& deliver,
                  std::uint8_t codecVersion, std::uint32_t sequenceId, std::size_t& length);

// CMPP_CONNECT (Total_Length must be 39). Returns 0 or kResultBadLength.
int DecodeConnect(const CmppHeader& header, std::span<const std::uint8_t> body, CmppConnect& out);

// CMPP_SUBMIT in the codec's version into a zero-filled record. Returns 0,
// kResultBadLength when Total_Length is not fixed + N * width + L (or the body
// is shorter than that), or kErrTooManyDestinations.
int DecodeSubmit(const CmppHeader& header, std::span<const std::uint8_t> body,
                 std::uint8_t codecVersion, CmppSubmit& out);

// CMPP_DELIVER_RESP (Total_Length 21 / 24). Returns 0 or kResultBadLength.
int DecodeDeliverResp(const CmppHeader& header, std::span<const std::uint8_t> body,
                      std::uint8_t codecVersion, CmppDeliverResp& out);

}  // namespace brivane::cmpp
