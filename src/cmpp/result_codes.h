#pragma once
// The integer result codes of the CMPP engine, in one place. Every layer of
// the engine returns these unchanged; nothing here throws. Besides the named
// values a transport call may return a Linux errno value (ECONNRESET, EBADF,
// ENOTSOCK, ...), which lies well below 2000 and so never meets a 16xxx code.
//
// Also the SubmitResult values recorded for a submit (the SMG's Result, or
// an outcome of our own) and the texts that explain codes in the log.

#include <cstdint>
#include <string>

namespace brivane::cmpp {

// --- transport (socket operations and every encoder that writes) ---
inline constexpr int kOk = 0;
// The socket did not become ready within the timeout. The socket stays open.
inline constexpr int kTimeout = 5;
// The peer closed the connection (a read transferred 0 bytes).
inline constexpr int kPeerClosed = -1;

// --- decoder result codes (also sent as Result of a CMPP_DELIVER_RESP) ---
// Command_Id not one the decoder knows: no answer, nothing handed up.
inline constexpr int kResultUnknownCommand = 2;
// Total_Length, or the length of a status report, not as the PDU requires.
inline constexpr int kResultBadLength = 4;
// A CMPP_DELIVER whose Registered_Delivery is neither 0 nor 1.
inline constexpr int kResultBadRegisteredDelivery = 7;

// --- engine codes ---
// Submit on a link that was logged out and could not log in.
inline constexpr int kErrNotLoggedIn = 16001;
// Start on a link that is already started.
inline constexpr int kErrAlreadyStarted = 16002;
// Framing error: a received Total_Length above kMaxPduLength. The frame
// cannot be read into the body buffer, so the stream cannot be resynchronised;
// the link drops the connection and logs in again.
inline constexpr int kErrFrameTooLong = 16003;
// A record declares more destinations than its Dest_terminal_Id area holds
// at the version's terminal width (152 in CMPP 2.0, 100 in CMPP 3.0).
inline constexpr int kErrTooManyDestinations = 16004;
// No link could be found for a submit.
inline constexpr int kErrNoLink = 16005;
// The client's before-submit hook declined the submit.
inline constexpr int kErrSubmitDeclined = 16006;
// A record's Msg_Length exceeds 255, the most one Msg_Length byte can say.
// Such a record is refused, never cut.
inline constexpr int kErrContentTooLong = 16007;
// An encoder was handed an output buffer too small for the PDU (a caller's
// fault; nothing is written).
inline constexpr int kErrBufferTooSmall = 16008;
// The SMG refused a login with a CONNECT_RESP Status too large to report as
// Status + 10 (CMPP 3.0 carries it in four bytes).
inline constexpr int kErrLoginRefused = 16009;

// --- SubmitResult: what is recorded for a submit (SP_DelSubmit) ---
// The SMG's Result is a number from 0 up (one byte in CMPP 2.0, four in
// 3.0). Outcomes decided here, without an answer from the SMG, are
// negative, so that neither can be taken for the other. (Until version 7.1
// they were recorded as 5 for no answer, which is also the SMG's fee-code
// error, and as the errno or engine code of a failed write.)
// No SUBMIT_RESP within SubmitRespTimeout, or the client stopped first.
inline constexpr std::int32_t kOutcomeNoResponse = -1;
// Writing the SUBMIT failed (a socket error; the log names the errno).
inline constexpr std::int32_t kOutcomeWriteFailed = -2;
// The link was logged out and could not log in again.
inline constexpr std::int32_t kOutcomeNotLoggedIn = -3;
// No logged-in link could take the submit. Reserved, never recorded: the
// row stays waiting in Submit and the next pass tries again.
inline constexpr std::int32_t kOutcomeNoLink = -4;
// The client's before-submit hook declined the submit: nothing was
// written. The service's own client never declines, so only a client
// with such a check records it.
inline constexpr std::int32_t kOutcomeDeclined = -5;
// The record cannot be a SUBMIT PDU (content over 255 bytes, too many
// destinations): nothing was written.
inline constexpr std::int32_t kOutcomeUnsendable = -6;

// The outcome recorded for a submit whose write did not happen, from the
// engine's code for it (submit.lastError).
std::int32_t SubmitOutcomeOf(int engineCode);
// The SubmitResult recorded for an SMG's Result. A CMPP 3.0 Result above
// 2^31 - 1 (none is defined) would read as negative; it is recorded as
// 2^31 - 1 so that it never looks like an outcome of ours.
std::int32_t StoredSmgResult(std::int32_t result);

// What a SubmitResult value means, for the log and the guide: an SMG
// Result as CMPP defines it, or one of ours.
std::string SubmitResultText(std::int32_t submitResult);
// What a CONNECT_RESP Status means and which keys to check.
std::string LoginStatusText(std::uint32_t status);
// What an engine code or errno means: the engine's own texts, strerror for
// an errno ("Connection refused").
std::string CodeText(int code);

}  // namespace brivane::cmpp
